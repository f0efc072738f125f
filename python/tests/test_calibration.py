"""The grid locators, GridLocatorUtils and the Calibrator through the Python bindings.

The main comparison runs the C++ reference program on the event windows of a moving circle grid
(made by the calibration library's own test generator), then locates and calibrates the same
windows from Python: the centres, the intrinsics and the result file must be the C++ ones.
"""
import json
import math

import numpy as np
import pytest

import vireo
from vireo import calibration

from algo_reference import run_reference

GRID_COLS, GRID_ROWS, SPACING = 7, 5, 40.0  # the calibration tests' symmetric circle target
SENSOR = (1280, 720)
VIEWS = 14


@pytest.fixture(scope="module")
def cxx_circle_calibration(tmp_path_factory):
    """The folder of the C++ run: window_<v>.events, centres_<v>.f32, intrinsics.f64, result.json."""
    folder = tmp_path_factory.mktemp("circle-calibration")
    run_reference("circle-calibration", folder)
    return folder


def read_centres(folder, view):
    path = folder / f"centres_{view}.f32"
    return np.fromfile(path, dtype=np.float32).reshape(-1, 2) if path.exists() else None


def locate_and_calibrate(folder):
    """Locates the grid in every window from Python and calibrates; returns (calibrator, id, centres)."""
    config = calibration.EventDBSCANCircleGridLocatorConfig(1.0, 1.0, 1.0, 6.0, 10)
    locator = calibration.GridLocator.create_event_based_grid_locator(
        calibration.EVENT_DBSCAN_CIRCLES_SYMMETRIC, GRID_COLS, GRID_ROWS, SENSOR, config)
    assert isinstance(locator, calibration.EventDBSCANCircleGridLocatorAlgo)
    calibrator = calibration.Calibrator(calibration.SYMMETRIC_GRID, GRID_COLS, GRID_ROWS, SPACING)
    camera = calibrator.add_camera(SENSOR, "events")
    centres = {}
    for view in range(VIEWS):
        events = np.fromfile(folder / f"window_{view}.events", dtype=vireo.EVENT2D_DTYPE)
        locator.process_events(events)
        found = locator.locate_grid()
        centres[view] = found
        if found is not None:
            calibrator.insert_grid_points(camera, view, found)
    return calibrator, camera, centres


def expect_same_matrix_object(ours, theirs, rel=1e-9, abs_=1e-9):
    assert (ours["rows"], ours["cols"], ours["type"]) == (theirs["rows"], theirs["cols"], theirs["type"])
    assert ours["data"] == pytest.approx(theirs["data"], rel=rel, abs=abs_)


def expect_same_result_file(ours, theirs):
    """Two result documents with the same cameras, keys, texts and (nearly) the same numbers."""
    assert ours.keys() == theirs.keys()
    for camera in theirs:
        a, b = ours[camera], theirs[camera]
        assert a.keys() == b.keys()
        for key in b:
            if isinstance(b[key], dict) and "data" in b[key]:
                expect_same_matrix_object(a[key], b[key])
            elif isinstance(b[key], float):
                assert a[key] == pytest.approx(b[key], rel=1e-9)
            else:
                assert a[key] == b[key], key


# ---------------------------------------------------------------------------------------------
# Against the C++ library


def test_event_calibration_from_python_equals_the_cxx_calibration(cxx_circle_calibration, tmp_path):
    folder = cxx_circle_calibration
    calibrator, camera, centres = locate_and_calibrate(folder)

    # The same windows give the same centres in the same order.
    for view in range(VIEWS):
        expected = read_centres(folder, view)
        if expected is None:
            assert centres[view] is None, f"view {view}: Python found a grid the C++ run did not"
        else:
            assert centres[view] is not None, f"view {view}: Python missed the grid the C++ run found"
            assert centres[view].shape == (GRID_COLS * GRID_ROWS, 2) and centres[view].dtype == np.float32
            np.testing.assert_allclose(centres[view], expected, atol=1e-4)
    assert calibrator.get_grid_pattern_count(camera) >= 12

    rms = calibrator.calibrate(camera)
    fx, fy, cx, cy, cxx_rms = np.fromfile(folder / "intrinsics.f64", dtype=np.float64)
    assert rms == pytest.approx(cxx_rms, rel=1e-9)
    k, d = calibrator.get_intrinsics(camera)
    assert k.shape == (3, 3) and k.dtype == np.float64 and d.dtype == np.float64
    np.testing.assert_allclose([k[0, 0], k[1, 1], k[0, 2], k[1, 2]], [fx, fy, cx, cy], rtol=1e-9)
    # The intrinsics are also the camera the windows were made with (905, 903, 641.3, 362.7),
    # so a reference that went wrong in the same way would not pass unnoticed.
    np.testing.assert_allclose([k[0, 0], k[1, 1], k[0, 2], k[1, 2]], [905.0, 903.0, 641.3, 362.7], rtol=0.01)
    assert calibrator.get_reprojection_error(camera) == pytest.approx(rms, abs=1e-5)

    path = tmp_path / "nested" / "result.json"
    assert calibrator.save_calibration_result_to_json(str(path))
    ours = json.loads(path.read_text())
    theirs = json.loads((folder / "result.json").read_text())
    expect_same_result_file(ours, theirs)


def test_the_cxx_result_file_loads_into_a_python_calibrator(cxx_circle_calibration):
    theirs = json.loads((cxx_circle_calibration / "result.json").read_text())
    calibrator = calibration.Calibrator(calibration.SYMMETRIC_GRID, GRID_COLS, GRID_ROWS, SPACING)
    assert calibrator.load_calibration_result_from_json(str(cxx_circle_calibration / "result.json"))
    cameras = calibrator.get_cameras()
    assert list(cameras) == [0]
    data = cameras[0]
    assert data.camera_serial == "events" and data.frame_size == SENSOR and data.is_calibrated
    np.testing.assert_array_equal(data.camera_matrix.ravel(), theirs["0"]["camera_matrix"]["data"])
    k, d = calibrator.get_intrinsics(0)
    np.testing.assert_array_equal(k, data.camera_matrix)
    np.testing.assert_array_equal(d.ravel(), theirs["0"]["dist_coeffs"]["data"])
    # A camera added after the load gets a new id.
    assert calibrator.add_camera((640, 480), "next") == 1


def test_camera_maps_round_trip_through_the_static_result_file_calls(cxx_circle_calibration, tmp_path):
    cameras = calibration.Calibrator.load_camera_map_from_json(str(cxx_circle_calibration / "result.json"))
    cameras[0].camera_serial = "renamed"
    copy = tmp_path / "copy.json"
    assert calibration.Calibrator.save_camera_map_to_json(cameras, str(copy))
    again = calibration.Calibrator.load_camera_map_from_json(str(copy))
    assert again[0].camera_serial == "renamed"
    np.testing.assert_array_equal(again[0].camera_matrix, cameras[0].camera_matrix)
    np.testing.assert_array_equal(again[0].dist_coeffs, cameras[0].dist_coeffs)


# ---------------------------------------------------------------------------------------------
# Locators and ordering from numpy


def chessboard_frame(cols, rows, square, origin, shape=(480, 640)):
    """A white 8-bit frame with a board of (cols + 1) x (rows + 1) squares; inner corners cols x rows."""
    frame = np.full(shape, 255, dtype=np.uint8)
    x0, y0 = origin
    for j in range(rows + 1):
        for i in range(cols + 1):
            if (i + j) % 2 == 0:
                frame[y0 + j * square:y0 + (j + 1) * square, x0 + i * square:x0 + (i + 1) * square] = 0
    return frame


def expect_grid_order(points, cols, rows):
    """Row-major grid order: every step along a row and every step between rows is the same vector."""
    grid = points.reshape(rows, cols, 2).astype(np.float64)
    along, across = np.diff(grid, axis=1), np.diff(grid, axis=0)
    np.testing.assert_allclose(along, np.broadcast_to(along[0, 0], along.shape), atol=0.6)
    np.testing.assert_allclose(across, np.broadcast_to(across[0, 0], across.shape), atol=0.6)


def test_chessboard_locator_finds_the_inner_corners_of_a_numpy_frame():
    cols, rows, square, origin = 6, 4, 30, (100, 80)
    frame = chessboard_frame(cols, rows, square, origin)
    locator = calibration.GridLocator.create_frame_based_grid_locator(calibration.FRAME_CHESSBOARD, cols, rows)
    assert isinstance(locator, calibration.FrameChessboardGridLocatorAlgo)
    assert locator.locate_grid() is None  # no frame yet
    locator.process_frame(frame)
    corners = locator.locate_grid()
    assert corners.shape == (cols * rows, 2)
    truth = np.array([(origin[0] + square * (c + 1) - 0.5, origin[1] + square * (r + 1) - 0.5)
                      for r in range(rows) for c in range(cols)])
    # Up to the half turn the board's own symmetry allows.
    error = min(np.abs(corners - truth).max(), np.abs(corners[::-1] - truth).max())
    assert error < 0.5
    # A colour frame and a strided view are read as their pixels.
    colour = np.ascontiguousarray(np.repeat(frame[:, :, None], 3, axis=2))
    locator.process_frame(colour)
    np.testing.assert_allclose(locator.locate_grid(), corners, atol=1e-3)
    padded = np.full((480, 1280), 255, dtype=np.uint8)
    padded[:, ::2] = frame
    locator.process_frame(padded[:, ::2])
    np.testing.assert_allclose(locator.locate_grid(), corners, atol=1e-3)
    locator.process_frame(np.full((480, 640), 255, dtype=np.uint8))
    assert locator.locate_grid() is None


def test_grid_locator_utils_orders_shuffled_centres():
    cols, rows = 5, 4
    world = calibration.Calibrator.get_grid_world_points(calibration.SYMMETRIC_GRID, cols, rows, 1.0)[:, :2]
    angle = math.radians(12.0)
    rotation = np.array([[math.cos(angle), -math.sin(angle)], [math.sin(angle), math.cos(angle)]])
    image = (world @ rotation.T) * 35.0 + np.array([300.0, 200.0])
    shuffled = image[np.random.default_rng(4).permutation(len(image))]
    utils = calibration.GridLocatorUtils(cols, rows, 1.0, False)
    ordered = utils.sort_grid_centers(shuffled)
    assert ordered.shape == (cols * rows, 2)
    # The chosen centres are the given ones (each once), in row-major grid order.
    distances = np.linalg.norm(ordered[:, None, :] - image[None, :, :], axis=2)
    assert sorted(distances.argmin(axis=1).tolist()) == list(range(cols * rows))
    assert distances.min(axis=1).max() < 1e-3
    expect_grid_order(ordered, cols, rows)
    # Too few centres for the grid: no grid.
    assert utils.sort_grid_centers(shuffled[:7]) is None


def blinking_spots(centres, hz, begin_us, end_us, seed):
    """Events of point lights blinking at `hz`: every pixel within 2.2 px of a centre fires at each
    transition (polarity alternating), a few microseconds late of its own; in time order."""
    rng = np.random.default_rng(seed)
    half = 1e6 / hz / 2
    xs, ys, ps, ts = [], [], [], []
    for cx, cy in centres:
        for y in range(int(math.floor(cy - 3)), int(math.ceil(cy + 3)) + 1):
            for x in range(int(math.floor(cx - 3)), int(math.ceil(cx + 3)) + 1):
                if (x - cx) ** 2 + (y - cy) ** 2 > 2.2 ** 2:
                    continue
                delay = int(rng.integers(0, 20))
                k = np.arange(int((end_us - begin_us) / half) + 1)
                t = begin_us + (k * half).astype(np.int64) + delay
                keep = t < end_us
                xs.append(np.full(keep.sum(), x))
                ys.append(np.full(keep.sum(), y))
                ps.append((k[keep] % 2 == 0).astype(np.uint8))
                ts.append(t[keep])
    events = vireo.empty_events(sum(len(x) for x in xs))
    events["x"], events["y"] = np.concatenate(xs), np.concatenate(ys)
    events["p"], events["t"] = np.concatenate(ps), np.concatenate(ts)
    return events[np.argsort(events["t"], kind="stable")]


def test_active_marker_locator_finds_blinking_lights_in_numpy_events():
    cols, rows = 4, 3
    truth = np.array([(300.3 + 60 * c, 200.6 + 50 * r) for r in range(rows) for c in range(cols)])
    config = calibration.EventActiveMarkerGridLocatorConfig(1.0, 1.0, 1.0, 5, 80.0, 600.0, 100)
    locator = calibration.GridLocator.create_event_based_grid_locator(
        calibration.EVENT_ACTIVE_MARKER_SYMMETRIC, cols, rows, SENSOR, config)
    assert isinstance(locator, calibration.EventActiveMarkerGridLocator)
    assert config.is_asymmetric is False  # the factory sets it from the type
    events = blinking_spots(truth, 200.0, 0, 100000, 3)
    locator.process_events(events)
    blinking = locator.get_blinking_events()
    assert blinking.dtype == calibration.FREQUENCY_EVENT_DTYPE and len(blinking) > 0
    np.testing.assert_allclose(blinking["frequency"], 200.0, rtol=0.02)
    assert locator.get_current_time() == int(events["t"][-1])
    centres = locator.locate_grid()
    assert centres is not None and centres.shape == (cols * rows, 2)
    nearest = np.linalg.norm(centres[:, None, :] - truth[None, :, :], axis=2)
    assert sorted(nearest.argmin(axis=1).tolist()) == list(range(cols * rows))
    assert nearest.min(axis=1).max() < 0.5
    expect_grid_order(centres, cols, rows)


# ---------------------------------------------------------------------------------------------
# Errors


def test_calibrator_refusals_raise_with_the_calibrators_message():
    calibrator = calibration.Calibrator(calibration.SYMMETRIC_GRID, 4, 3, 10.0)
    with pytest.raises(calibration.CalibrationError, match="^Camera 5 not found$"):
        calibrator.calibrate(5)
    with pytest.raises(calibration.CalibrationError, match="^Camera 5 not found$"):
        calibrator.get_grid_pattern_count(5)
    camera = calibrator.add_camera((640, 480), "a")
    assert calibrator.get_grid_pattern_count(camera) == 0  # no frames is not an error
    with pytest.raises(calibration.CalibrationError, match="3 grid points given, 12 expected"):
        calibrator.insert_grid_points(camera, 0, np.zeros((3, 2)))
    points = calibrator.get_world_points()[:, :2] * 10 + 100
    points[2, 0] = np.nan
    with pytest.raises(calibration.CalibrationError, match="grid points must be finite"):
        calibrator.insert_grid_points(camera, 0, points)
    with pytest.raises(calibration.CalibrationError, match="No grid points found for camera 0"):
        calibrator.calibrate(camera)
    with pytest.raises(calibration.CalibrationError, match="is not calibrated as a stereo pair|not found"):
        calibrator.get_extrinsics(camera, 7)
    # A failure without a message keeps its plain result, and CalibrationError is a vireo.Error.
    assert calibrator.remove_camera(42) is False
    assert issubclass(calibration.CalibrationError, vireo.Error)


def test_result_file_failures_raise_and_leave_the_calibrator_unchanged(tmp_path):
    calibrator = calibration.Calibrator(calibration.SYMMETRIC_GRID, 4, 3, 10.0)
    camera = calibrator.add_camera((640, 480), "kept")
    with pytest.raises(calibration.CalibrationError):
        calibrator.load_calibration_result_from_json(str(tmp_path / "missing.json"))
    damaged = tmp_path / "damaged.json"
    empty = tmp_path / "empty.json"
    empty.write_text("{}")
    with pytest.raises(calibration.CalibrationError, match="^Error: The calibration result json file is empty$"):
        calibrator.load_calibration_result_from_json(str(empty))
    # A camera record with missing members: the JSON library's error, as the C++ call throws it.
    damaged.write_text('{"0": {"camera_serial": "x", "camera_matrix": {"rows": 3}}}')
    with pytest.raises(vireo.Error, match="not found"):
        calibrator.load_calibration_result_from_json(str(damaged))
    with pytest.raises(vireo.Error, match="not found"):
        calibration.Calibrator.load_camera_map_from_json(str(damaged))
    assert calibrator.get_cameras()[camera].camera_serial == "kept"


def test_configuration_and_construction_errors_keep_the_kits_messages():
    with pytest.raises(ValueError, match="^EventDBSCANCircleGridLocatorConfig: eps must be larger than 0$"):
        calibration.EventDBSCANCircleGridLocatorConfig(eps=0.0)
    with pytest.raises(ValueError, match="^EventActiveMarkerGridLocatorConfig: tol must be larger than 0$"):
        calibration.EventActiveMarkerGridLocatorConfig(tol=0.0)
    with pytest.raises(ValueError, match="^Calibrator: spacing must be a finite number larger than 0$"):
        calibration.Calibrator(calibration.SYMMETRIC_GRID, 4, 3, float("nan"))
    with pytest.raises(ValueError, match="^Grid dimensions must be at least 2x2$"):
        calibration.GridLocatorUtils(1, 3, 1.0, False)
    with pytest.raises(ValueError, match="grid_cols and grid_rows must be at least 2"):
        calibration.EventDBSCANCircleGridLocatorAlgo(1, 5, SENSOR)
    with pytest.raises(ValueError, match="^Invalid grid locator algorithm type or not implemented$"):
        calibration.GridLocator.create_event_based_grid_locator(calibration.FRAME_CHESSBOARD, 4, 3, SENSOR, None)
    with pytest.raises(ValueError, match="^Invalid grid locator algorithm type or not implemented$"):
        calibration.GridLocator.create_frame_based_grid_locator(calibration.EVENT_DBSCAN_CIRCLES_SYMMETRIC, 4, 3)
    with pytest.raises(ValueError, match="config must point to an EventDBSCANCircleGridLocatorConfig"):
        calibration.GridLocator.create_event_based_grid_locator(
            calibration.EVENT_DBSCAN_CIRCLES_SYMMETRIC, 4, 3, SENSOR, None)
    # The C++ factory takes an untyped pointer: the wrong record is refused before it gets there.
    with pytest.raises(TypeError, match="needs an EventActiveMarkerGridLocatorConfig"):
        calibration.GridLocator.create_event_based_grid_locator(
            calibration.EVENT_ACTIVE_MARKER_SYMMETRIC, 4, 3, SENSOR, calibration.EventDBSCANCircleGridLocatorConfig())


def test_locator_inputs_are_checked():
    locator = calibration.EventDBSCANCircleGridLocatorAlgo(4, 3, SENSOR)
    with pytest.raises(TypeError):
        locator.process_events(np.zeros(10, dtype=np.uint64))
    frame_locator = calibration.FrameCirclesSymmetricGridLocatorAlgo(4, 3)
    with pytest.raises(TypeError, match="uint8"):
        frame_locator.process_frame(np.zeros((48, 64), dtype=np.float32))
    with pytest.raises(ValueError):
        frame_locator.process_frame(np.zeros((48, 64, 2), dtype=np.uint8))
    utils = calibration.GridLocatorUtils(3, 3)
    with pytest.raises(ValueError, match="finite"):
        utils.sort_grid_centers(np.array([[0.0, np.nan]] * 9))
    with pytest.raises(ValueError, match=r"\(N, 2\)"):
        utils.sort_grid_centers(np.zeros((9, 3)))


# ---------------------------------------------------------------------------------------------
# Stereo and affine pairs from projected points


def rodrigues(rvec):
    theta = np.linalg.norm(rvec)
    if theta == 0:
        return np.eye(3)
    k = rvec / theta
    cross = np.array([[0, -k[2], k[1]], [k[2], 0, -k[0]], [-k[1], k[0], 0]])
    return np.eye(3) * math.cos(theta) + (1 - math.cos(theta)) * np.outer(k, k) + math.sin(theta) * cross


def project(camera_matrix, rotation, translation, world):
    camera = world @ rotation.T + translation
    image = camera @ camera_matrix.T
    return image[:, :2] / image[:, 2:3]


def test_stereo_and_affine_pairs_from_numpy_points():
    cols, rows, spacing = 9, 6, 30.0
    size = (640, 480)
    k_true = np.array([[800.0, 0, 320.0], [0, 790.0, 240.0], [0, 0, 1]])
    rig_rotation, rig_translation = rodrigues(np.array([0.01, -0.08, 0.02])), np.array([-100.0, 3.0, 5.0])
    world = calibration.Calibrator.get_grid_world_points(calibration.SYMMETRIC_GRID, cols, rows, spacing)
    middle = world.mean(axis=0).astype(np.float64)
    calibrator = calibration.Calibrator(calibration.SYMMETRIC_GRID, cols, rows, spacing)
    left, right = calibrator.add_camera(size, "left"), calibrator.add_camera(size, "right")
    rng = np.random.default_rng(8)
    frame = 0
    while frame < 12:
        rotation = rodrigues(rng.uniform(-0.5, 0.5, 3) * np.array([1, 1, 0.3]))
        offset = np.array([rng.uniform(-40, 40), rng.uniform(-30, 30), rng.uniform(600, 800)])
        translation = offset - rotation @ middle
        points = world.astype(np.float64)
        a = project(k_true, rotation, translation, points)
        b = project(k_true, rig_rotation @ rotation, rig_rotation @ translation + rig_translation, points)
        both = np.concatenate([a, b])
        if both.min() < 5 or both[:, 0].max() > size[0] - 5 or both[:, 1].max() > size[1] - 5:
            continue
        assert calibrator.insert_grid_points(left, frame, a) and calibrator.insert_grid_points(right, frame, b)
        frame += 1
    assert calibrator.get_common_frame_count(left, right) == 12

    rms = calibrator.calibrate_stereo(left, right)
    assert 0 <= rms < 0.05
    rotation, translation = calibrator.get_extrinsics(left, right)
    assert rotation.shape == (3, 3) and translation.shape == (3, 1)
    np.testing.assert_allclose(rotation, rig_rotation, atol=1e-3)
    np.testing.assert_allclose(translation.ravel(), rig_translation, rtol=1e-2, atol=0.5)
    back_rotation, back_translation = calibrator.get_extrinsics(right, left)
    np.testing.assert_allclose(back_rotation, rotation.T, atol=1e-12)
    k, d = calibrator.get_intrinsics(left)
    np.testing.assert_allclose(k, k_true, rtol=1e-3, atol=0.5)

    # The static pose error: the true pose of frame 0 reprojects onto its points.
    data = calibrator.get_cameras()[left]
    error = calibration.Calibrator.get_pose_reprojection_error(
        world, data.rotation_vectors[0], data.translation_vectors[0], k, d, data.grid_points[0])
    assert 0 <= error < 0.05 * math.sqrt(cols * rows)

    affine_rms = calibrator.calibrate_affine(left, right)
    r2, t2, scale = calibrator.get_affine_matrix(left, right)
    assert r2.shape == (2, 2) and t2.shape == (2, 1) and scale > 0
    matrix = calibrator.get_affine_matrix_2x3(left, right)
    assert matrix.shape == (2, 3) and matrix.dtype == np.float32
    np.testing.assert_allclose(matrix[:, :2], scale * r2, rtol=1e-5, atol=1e-5)
    np.testing.assert_allclose(matrix[:, 2], t2.ravel(), rtol=1e-5, atol=1e-3)
    # The returned RMS is the distance of the mapped points of camera a from those of camera b.
    a_points = np.concatenate(data.grid_points).astype(np.float64)
    b_points = np.concatenate(calibrator.get_cameras()[right].grid_points).astype(np.float64)
    mapped = a_points @ (scale * r2).T + t2.ravel()
    assert affine_rms == pytest.approx(math.sqrt(np.mean(np.sum((mapped - b_points) ** 2, axis=1))), rel=1e-3)


def test_each_thread_gets_its_own_calibrator_message():
    import threading

    calibrators = [calibration.Calibrator(calibration.SYMMETRIC_GRID, 4, 3, 10.0) for _ in range(4)]
    messages = [[] for _ in calibrators]

    def work(slot):
        for _ in range(200):
            try:
                calibrators[slot].get_reprojection_error(100 + slot)
            except calibration.CalibrationError as error:
                messages[slot].append(str(error))

    threads = [threading.Thread(target=work, args=(slot,)) for slot in range(len(calibrators))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for slot, seen in enumerate(messages):
        assert seen == [f"Camera {100 + slot} not found"] * 200
