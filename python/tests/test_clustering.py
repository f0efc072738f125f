"""DBSCAN, KMeans, the event cluster generators and the matcher through the Python bindings.

The labels of DBSCAN and KMeans on numpy arrays are compared with the C++ library run by the
reference program on the same points; the generators are fed event arrays with known clusters.
"""
import threading

import numpy as np
import pytest

import vireo
from vireo import clustering

from algo_reference import cxx_dbscan_labels, cxx_kmeans, partition


def blobs(seed, dims, dtype, centres=((0, 0, 0), (40, 5, 10), (10, 45, 30)), per_blob=300, noise=120,
          sigma=2.0):
    """Gaussian blobs around `centres` plus uniform noise over the area, shuffled."""
    rng = np.random.default_rng(seed)
    parts = [rng.normal(np.array(c[:dims], dtype=np.float64), sigma, size=(per_blob, dims)) for c in centres]
    parts.append(rng.uniform(-20, 70, size=(noise, dims)))
    points = np.concatenate(parts)
    rng.shuffle(points)
    return points.astype(dtype)


def events_of(xs, ys, ps=1, ts=0):
    events = vireo.empty_events(len(xs))
    events["x"], events["y"], events["p"], events["t"] = xs, ys, ps, ts
    return events


def square_events(x0, y0, side, t0=0, polarity=1):
    """One event per pixel of a side x side square, timestamps t0, t0 + 1, ..."""
    ys, xs = np.mgrid[y0:y0 + side, x0:x0 + side]
    n = side * side
    return events_of(xs.ravel(), ys.ravel(), polarity, t0 + np.arange(n))


# ---------------------------------------------------------------------------------------------
# DBSCAN against the C++ library


@pytest.mark.parametrize("dims", [2, 3])
@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_dbscan_single_thread_labels_equal_the_cxx_labels(tmp_path, dims, dtype):
    points = blobs(7, dims, dtype)
    labels = clustering.DBSCAN(3.0, 8).fit_labels(points, n_jobs=1)
    expected = cxx_dbscan_labels(points, 3.0, 8, 1, tmp_path)
    assert labels.dtype == np.int64 and labels.shape == (len(points),)
    np.testing.assert_array_equal(labels, expected)
    # The data holds three blobs and noise: a run that put everything in one cluster (or none)
    # would equal a broken reference as well.
    assert len(partition(labels)) == 3 and (labels == -1).sum() > 0


def test_dbscan_parallel_clusters_equal_the_cxx_clusters(tmp_path):
    points = blobs(11, 2, np.float32, per_blob=2000, noise=800)
    result = clustering.DBSCAN(2.5, 10).fit_labels(points, n_jobs=3)
    expected = cxx_dbscan_labels(points, 2.5, 10, 3, tmp_path)
    # The parallel path gives clusters in no particular order: compare them as sets of members.
    assert partition(result) == partition(expected)
    np.testing.assert_array_equal(result == -1, expected == -1)


def test_dbscan_clusters_and_boxes_agree_with_a_brute_force_core_check():
    points = blobs(3, 2, np.float64, per_blob=80, noise=40)
    eps, min_pts = 3.0, 6
    clusters, boxes = clustering.DBSCAN(eps, min_pts).generate_clusters_multi_thread(points)
    distances = np.linalg.norm(points[:, None, :] - points[None, :, :], axis=2)
    core = (distances < eps).sum(axis=1) >= min_pts
    labels = np.full(len(points), -1)
    for c, members in enumerate(clusters):
        assert members.dtype == np.int64
        labels[members] = c
        # Boxes: the minimum of every coordinate, then the extents.
        np.testing.assert_allclose(boxes[c, :2], points[members].min(axis=0))
        np.testing.assert_allclose(boxes[c, 2:], np.ptp(points[members], axis=0))
    assert boxes.shape == (len(clusters), 4)
    assert (labels[core] >= 0).all(), "every core point belongs to a cluster"
    # Core points within eps of each other share their cluster.
    i, j = np.nonzero((distances < eps) & core[:, None] & core[None, :])
    assert (labels[i] == labels[j]).all()


def test_dbscan_integer_points_run_as_float64():
    points = np.round(blobs(5, 2, np.float64)).astype(np.int32)
    dbscan = clustering.DBSCAN(2.5, 5)
    np.testing.assert_array_equal(dbscan.fit_labels(points), dbscan.fit_labels(points.astype(np.float64)))
    _, boxes = dbscan.generate_clusters_multi_thread(points)
    assert boxes.dtype == np.float64


def test_dbscan_reads_a_non_contiguous_view_as_its_values(tmp_path):
    wide = blobs(9, 3, np.float32)
    view = wide[:, :2]  # strided: every row skips the third column
    assert not view.flags.c_contiguous
    np.testing.assert_array_equal(clustering.DBSCAN(3.0, 8).fit_labels(view),
                                  cxx_dbscan_labels(np.ascontiguousarray(view), 3.0, 8, 1, tmp_path))


def test_dbscan_runs_from_several_python_threads_at_once():
    points = blobs(13, 2, np.float32, per_blob=1500)
    dbscan = clustering.DBSCAN(2.5, 8)
    expected = dbscan.fit_labels(points)
    results = [None] * 4

    def work(slot):
        results[slot] = dbscan.fit_labels(points)

    threads = [threading.Thread(target=work, args=(slot,)) for slot in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for result in results:
        np.testing.assert_array_equal(result, expected)


# ---------------------------------------------------------------------------------------------
# KMeans against the C++ library


@pytest.mark.parametrize("dims,dtype", [(2, np.float32), (3, np.float64)])
def test_kmeans_clusters_and_centroids_equal_the_cxx_result(tmp_path, dims, dtype):
    # Far-apart blobs and no noise: farthest-point seeding puts one seed in every blob whatever
    # the random first pick, so both runs converge to the same clusters.
    centres = ((0, 0, 0), (200, 0, 50), (0, 200, 100), (200, 200, 150))
    points = blobs(21, dims, dtype, centres=centres, per_blob=250, noise=0)
    kmeans = clustering.KMeans(4, 100, 1e-4)
    labels = kmeans.fit_labels(points)
    expected_labels, expected_centroids = cxx_kmeans(points, 4, 100, 1e-4, tmp_path)
    assert partition(labels) == partition(expected_labels)
    assert len(partition(labels)) == 4
    centroids = kmeans.get_centroids()
    assert centroids.dtype == dtype and centroids.shape == (4, dims)
    # Same clusters in possibly another order: match each centroid to the nearest C++ one.
    order = [int(np.argmin(np.linalg.norm(expected_centroids - c, axis=1))) for c in centroids]
    assert sorted(order) == [0, 1, 2, 3]
    np.testing.assert_allclose(centroids, expected_centroids[order], rtol=1e-5, atol=1e-4)
    np.testing.assert_array_equal(np.sort(kmeans.get_num_points_per_cluster()), [250, 250, 250, 250])


def test_kmeans_with_fewer_points_than_clusters_gives_nothing():
    kmeans = clustering.KMeans(5)
    clusters, boxes = kmeans.generate_clusters(np.zeros((3, 2), dtype=np.float32))
    assert clusters == [] and boxes.shape == (0, 4)
    np.testing.assert_array_equal(kmeans.fit_labels(np.zeros((3, 2))), [-1, -1, -1])


def test_kmeans_cluster_number_applies_to_the_next_run():
    points = blobs(2, 2, np.float64, centres=((0, 0), (100, 0), (0, 100)), noise=0)
    kmeans = clustering.KMeans(2)
    assert kmeans.set_cluster_number(3) and kmeans.cluster_number == 3
    assert not kmeans.set_cluster_number(0) and kmeans.cluster_number == 3
    clusters, _ = kmeans.generate_clusters(points)
    assert len(clusters) == 3 and sorted(len(c) for c in clusters) == [300, 300, 300]


# ---------------------------------------------------------------------------------------------
# Event cluster generators


def test_dbscan_generator_reports_the_rectangles_of_event_squares():
    events = np.concatenate([square_events(10, 20, 8), square_events(100, 50, 6, t0=1000)])
    generator = clustering.DBSCANBasedClusterGenerator(640, 480, 1.5, 4, 1)
    generator.add_events(events)
    clusters = generator.generate_clusters(1234)
    rects = sorted(c.get_2d_bounding_box() for c in clusters)
    assert rects == [(10, 20, 7, 7), (100, 50, 5, 5)]
    assert all(c.timestamp == 1234 and c.id == -1 for c in clusters)
    points = generator.get_cluster_points(unscale=True)
    assert sorted(len(p) for p in points) == [36, 64]
    assert all(p.dtype == np.float32 and p.shape[1] == 2 for p in points)
    # A second run without new events clusters nothing.
    assert generator.generate_clusters(1300) == []


def test_dbscan_generator_scales_filters_and_spans_time_in_three_dimensions():
    events = np.concatenate([square_events(10, 10, 10, t0=5000, polarity=0),
                             square_events(200, 200, 10, t0=9000, polarity=1)])
    generator = clustering.DBSCANBasedClusterGenerator(
        640, 480, 2.0, 4, 1, scale_width=0.5, scale_height=0.5, scale_time=0.01,
        filter_type=clustering.POSITIVE_FREE, dimensions=3, dtype=np.float64)
    assert generator.dimensions == 3 and generator.dtype == np.float64
    generator.add_events(events)
    clusters = generator.generate_clusters(0)
    # POSITIVE_FREE drops the polarity-1 square; rectangles and time come back in pixels and µs.
    assert len(clusters) == 1
    cluster = clusters[0]
    assert cluster.get_2d_bounding_box() == (10, 10, 9, 9)
    assert cluster.start_time == 5000 and cluster.duration == pytest.approx(99, abs=1)
    scaled = generator.get_cluster_points(unscale=False)[0]
    np.testing.assert_allclose(scaled[:, 0].min(), 5.0)
    np.testing.assert_allclose(scaled[:, 2].min(), 50.0)


def test_dbscan_generator_max_capacity_keeps_the_newest_points():
    events = np.concatenate([square_events(10, 10, 6), square_events(300, 300, 6, t0=100)])
    generator = clustering.DBSCANBasedClusterGenerator(640, 480, 1.5, 3, 1, max_capacity=36)
    generator.add_events(events)
    clusters = generator.generate_clusters(0)
    assert [c.get_2d_bounding_box() for c in clusters] == [(300, 300, 5, 5)]


def test_kmeans_generator_sizes_and_centroids_follow_the_squares():
    events = np.concatenate([square_events(10, 10, 10), square_events(300, 100, 8)])
    generator = clustering.KMeansBasedClusterGenerator(640, 480, 2)
    generator.add_events(events)
    clusters = generator.generate_clusters(7)
    assert len(clusters) == 2
    sizes = generator.get_cluster_sizes()
    assert sorted(sizes.tolist()) == [64, 100]
    centroids = generator.get_cluster_centroids()
    expected = np.array([[14.5, 14.5], [303.5, 103.5]])
    got = centroids[np.argsort(centroids[:, 0])]
    np.testing.assert_allclose(got, expected, atol=1e-4)
    generator.set_cluster_number(3)
    generator.add_events(events)
    assert len(generator.generate_clusters(8)) == 3


def test_grid_generator_activates_cells_and_reports_their_group():
    generator = clustering.GridBasedClusterGenerator(64, 48, 8, 8, 40, 1, clustering.POLARITY_FREE, False, 5)
    assert (generator.cell_rows, generator.cell_cols) == (6, 8)
    events = events_of(np.full(6, 17), np.full(6, 9), np.array([0, 1, 0, 1, 0, 1]))
    generator.add_events(events)
    assert generator.get_cell_count(1, 2) == 6
    assert generator.is_cell_active(1, 2) and generator.is_cell_active(2, 3)
    active = generator.get_active_map()
    assert active.shape == (48, 64) and active[9, 17] == 3 and active.sum() == 3
    clusters = generator.generate_clusters(99)
    # The cell and its right, lower and lower-right neighbours: a 16 x 16 pixel group.
    assert [c.get_2d_bounding_box() for c in clusters] == [(16, 8, 16, 16)]
    assert generator.get_cell_count(1, 2) == 0


def test_matcher_callback_sees_and_updates_the_callers_clusters():
    first = [clustering.ClusterGeometry(0, 0, 10, 10, id=1), clustering.ClusterGeometry(100, 100, 10, 10, id=2)]
    second = [clustering.ClusterGeometry(102, 101, 11, 10), clustering.ClusterGeometry(1, 1, 10, 9),
              clustering.ClusterGeometry(300, 300, 10, 10)]
    matcher = clustering.DistanceBasedClusterMatcher(10.0, 2.0)
    pairs = []

    def copy_id(a, b, tag):
        pairs.append((a.id, tag))
        b.id = a.id

    matcher.set_detected_match_callback(copy_id)
    assert matcher.match_clusters(first, second, 5) == 2
    assert sorted(pairs) == [(1, 5), (2, 5)]
    assert [c.id for c in second] == [2, 1, -1]
    matcher.set_detected_match_callback(None)
    assert matcher.match_clusters(first, second) == 2


def test_cluster_geometry_helpers():
    g = clustering.ClusterGeometry(2, 4, 6, 0)
    assert g.get_center() == (5, 4) and g.get_area() == 0
    assert g.get_aspect_ratio() == float("inf")
    assert "width=6" in repr(g)


# ---------------------------------------------------------------------------------------------
# Bad input


@pytest.mark.parametrize("points,error", [
    (np.zeros((5, 4)), ValueError),
    (np.zeros(6), ValueError),
    (np.zeros((5, 2), dtype=np.complex64), TypeError),
    (np.array([["a", "b"]]), TypeError),
    ([[0.0, 1.0]] * 3, None),  # a nested list is converted like an array
])
def test_points_of_the_wrong_shape_or_type_are_refused(points, error):
    dbscan = clustering.DBSCAN(1.0, 2)
    if error is None:
        assert dbscan.fit_labels(points).tolist() == [0, 0, 0]
    else:
        with pytest.raises(error):
            dbscan.fit_labels(points)
        with pytest.raises(error):
            clustering.KMeans(2).generate_clusters(points)


def test_non_finite_coordinates_are_refused():
    points = blobs(1, 2, np.float64)
    points[17, 1] = np.nan
    with pytest.raises(ValueError, match="row 17"):
        clustering.DBSCAN(1.0, 2).fit_labels(points)
    points[17, 1] = np.inf
    with pytest.raises(ValueError, match="not finite"):
        clustering.KMeans(3).fit_labels(points.astype(np.float32))


def test_kit_errors_keep_their_messages():
    points = blobs(1, 2, np.float32)
    with pytest.raises(vireo.Error, match="^n_jobs must be greater than 0$"):
        clustering.DBSCAN(1.0, 2).fit_labels(points, n_jobs=0)
    with pytest.raises(ValueError, match="n_jobs must be between 1 and 255"):
        clustering.DBSCAN(1.0, 2).fit_labels(points, n_jobs=256)
    with pytest.raises(vireo.Error, match="^KMeans: k must be greater than 0$"):
        clustering.KMeans(0)
    with pytest.raises(vireo.Error, match="^KMeans: tol must be greater than 0$"):
        clustering.KMeans(2, 10, 0.0)
    with pytest.raises(vireo.Error, match="^DBSCANBasedClusterGenerator: eps should be larger than 0$"):
        clustering.DBSCANBasedClusterGenerator(640, 480, 0.0, 3)
    with pytest.raises(vireo.Error, match="does not support POLARITY_SEPARATE"):
        clustering.DBSCANBasedClusterGenerator(640, 480, 1.0, 3, filter_type=clustering.POLARITY_SEPARATE)
    with pytest.raises(vireo.Error, match="^KMeansBasedClusterGenerator: max_capacity should be larger than 0$"):
        clustering.KMeansBasedClusterGenerator(640, 480, 2, max_capacity=0)
    with pytest.raises(ValueError, match="^Invalid cell size or sensor size$"):
        clustering.GridBasedClusterGenerator(64, 48, 0, 8, 40, 1)


def test_generator_arguments_and_events_are_checked():
    with pytest.raises(ValueError, match="dimensions must be 2 or 3"):
        clustering.DBSCANBasedClusterGenerator(640, 480, 1.0, 3, dimensions=4)
    with pytest.raises(ValueError, match="dtype must be float32 or float64"):
        clustering.KMeansBasedClusterGenerator(640, 480, 2, dtype=np.int32)
    generator = clustering.DBSCANBasedClusterGenerator(640, 480, 1.0, 3)
    with pytest.raises(TypeError):
        generator.add_events(np.zeros((10, 4), dtype=np.uint16))
    with pytest.raises(TypeError):
        generator.add_events([(1, 2, 0, 5)])
    with pytest.raises(ValueError, match="contiguous"):
        generator.add_events(square_events(0, 0, 4)[::2])
    with pytest.raises(TypeError, match="callable"):
        clustering.DistanceBasedClusterMatcher(1.0, 1.0).set_detected_match_callback(5)


def test_a_concatenated_event_array_with_packed_records_is_taken_as_events():
    # np.concatenate of two event arrays drops the record padding (13-byte records).
    events = np.concatenate([square_events(10, 10, 5), square_events(50, 50, 5)])
    assert events.dtype.itemsize != 16
    generator = clustering.DBSCANBasedClusterGenerator(640, 480, 1.5, 3, 1)
    generator.add_events(events)
    assert sorted(c.get_2d_bounding_box() for c in generator.generate_clusters(0)) == [(10, 10, 4, 4),
                                                                                      (50, 50, 4, 4)]


def test_an_exception_in_the_match_callback_reaches_the_caller_and_the_matcher_stays_usable():
    first = [clustering.ClusterGeometry(0, 0, 10, 10)]
    second = [clustering.ClusterGeometry(1, 0, 10, 10)]
    matcher = clustering.DistanceBasedClusterMatcher(5.0, 1.0)

    def fail(a, b, tag):
        raise KeyError("from the callback")

    matcher.set_detected_match_callback(fail)
    with pytest.raises(KeyError, match="from the callback"):
        matcher.match_clusters(first, second)
    seen = []
    matcher.set_detected_match_callback(lambda a, b, tag: seen.append((a.x, b.x)))
    assert matcher.match_clusters(first, second) == 1 and seen == [(0.0, 1.0)]
