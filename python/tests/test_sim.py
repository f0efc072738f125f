"""vireo.sim: plugging simulated cameras in with their scene settings, refused settings, and
what a calibration scene shows."""
import numpy as np
import pytest

import vireo
import vireo.sim as sim


class TestPlugging:
    def test_settings_reach_the_camera_and_unplugging_removes_it(self):
        serial = sim.plug_camera(scene=sim.SceneType.MovingEdge, edge_speed=20000.0, real_time=False)
        assert serial in sim.plugged_cameras()
        manager = vireo.DvsCameraManager()
        assert serial in [d.serial for d in manager.get_camera_descs()]
        camera = manager.open_camera(serial)
        assert (camera.width, camera.height) == (1280, 720)
        camera.set_batch_events_num(5000)
        camera.start()
        batch = camera.get_next_batch()
        camera.stop()
        assert batch is not None and len(batch) == 5000
        # A vertical edge: few columns at a time, all rows.
        assert len(np.unique(batch["x"])) < 50 and int(batch["y"].max()) - int(batch["y"].min()) > 360
        assert sim.unplug_camera(serial)
        assert not sim.unplug_camera(serial)
        assert serial not in sim.plugged_cameras()
        assert serial not in [d.serial for d in manager.get_camera_descs()]

    def test_a_config_object_and_keywords_combine(self):
        config = sim.SimulatedCameraConfig(serial="PY-CONFIG-1", event_rate=5e4)
        config.lens.fx = 900.0
        assert config.lens.fx == 900.0 and config.event_rate == 5e4
        serial = sim.plug_camera(config, real_time=False)
        try:
            assert serial == "PY-CONFIG-1"
            with pytest.raises(ValueError):
                sim.plug_camera(config)  # the serial is in use
        finally:
            sim.unplug_camera(serial)
        assert config.real_time  # the keywords did not change the caller's object

    def test_refused_settings(self, tmp_path):
        with pytest.raises(TypeError, match="event_rat"):
            sim.plug_camera(event_rat=1e5)
        with pytest.raises(TypeError):
            sim.SimulatedCameraConfig(no_such_setting=1)
        with pytest.raises(ValueError):
            sim.plug_camera(event_rate=-1.0)
        with pytest.raises(ValueError):
            sim.plug_camera(scene=sim.SceneType.Replay, replay_path=str(tmp_path / "missing.raw"))

    def test_replay_streams_the_recording(self, sample_path):
        serial = sim.plug_camera(scene=sim.SceneType.Replay, replay_path=str(sample_path), real_time=False)
        try:
            manager = vireo.DvsCameraManager()
            manager.get_camera_descs()
            camera = manager.open_camera(serial)
            camera.set_batch_events_num(1000)
            camera.start()
            batch = camera.get_next_batch()
            camera.stop()
            with vireo.open_reader(str(sample_path)) as reader:
                recorded = reader.get_n_events(reader.max_events)
            assert batch is not None and len(batch) == 1000
            # A stretch of the recording's pixels (times follow the device's own clock).
            keys = recorded["x"].astype(np.int64) * 1000 + recorded["y"]
            assert np.isin(batch["x"].astype(np.int64) * 1000 + batch["y"], keys).all()
        finally:
            sim.unplug_camera(serial)


class TestCalibrationScene:
    def test_world_centres_poses_and_projections(self):
        target = sim.CircleGridTarget()
        target.grid_cols, target.grid_rows, target.asymmetric, target.spacing = 4, 5, False, 40.0
        centres = sim.circle_grid_world_centers(target)
        assert len(centres) == 20
        assert (centres[5].x, centres[5].y, centres[5].z) == (40.0, 40.0, 0.0)
        config = sim.SimulatedCameraConfig(scene=sim.SceneType.CircleGrid, pose_count=3)
        config.target = target
        poses = sim.circle_grid_poses(config)
        assert len(poses) == 3
        projected = sim.circle_grid_projected_centers(config, 4)  # pose 4 mod 3
        assert len(projected) == 20
        assert all(0 <= p.x < 1280 and 0 <= p.y < 720 for p in projected)
        span = sim.circle_grid_pose_span(config, 4)
        assert span.pose_index == 1 and span.begin_us == 4 * config.pose_period_us
        lens = sim.PinholeLens()
        point = sim.project_point(lens, sim.Point3d(0.0, 0.0, 1.0))
        assert (point.x, point.y) == (lens.cx, lens.cy)
        assert sim.project_point(lens, sim.Point3d(0.0, 0.0, -1.0)) is None
        with pytest.raises(ValueError):
            bad = sim.CircleGridTarget()
            bad.grid_cols = 1
            sim.circle_grid_world_centers(bad)
