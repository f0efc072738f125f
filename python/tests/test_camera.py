"""Cameras from Python on simulated devices: discovery and opening, tools and parameters,
streaming to callbacks and by batches against the camera's statistics, a callback that
raises, and a recording made from Python read back."""
import sys
import threading
import time

import numpy as np
import pytest

import vireo
import vireo.sim as sim

# Events one decode call can hand out at most: a 128 KiB transfer of 16-bit words.
ONE_TRANSFER_EVENTS = 0x20000 // 2


@pytest.fixture
def camera():
    serial = sim.plug_camera(event_rate=2e5, seed=7)
    manager = vireo.DvsCameraManager()
    assert serial in [d.serial for d in manager.get_camera_descs()]
    cam = manager.open_camera(serial)
    yield cam
    cam.stop()
    sim.unplug_camera(serial)


def wait_until(condition, timeout=20.0):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.01)
    return True


class TestManager:
    def test_discovery_lists_and_opens_the_simulated_camera(self):
        serial = sim.plug_camera(real_time=False)
        try:
            manager = vireo.DvsCameraManager()
            descs = {d.serial: d for d in manager.get_camera_descs()}
            assert descs[serial].simulated and descs[serial].vendor_id == 1205
            camera = manager.open_camera(serial)
            assert camera.get_dvs_desc() == descs[serial]
            assert (camera.width, camera.height) == (1280, 720) and camera.is_connected()
            assert manager.open_camera(serial).serial == serial
        finally:
            sim.unplug_camera(serial)

    def test_unknown_serial_raises(self):
        manager = vireo.DvsCameraManager()
        manager.update_cameras()
        with pytest.raises(vireo.Error, match="cannot open camera NO-SUCH"):
            manager.open_camera("NO-SUCH")


class TestTools:
    def test_every_tool_is_described_and_reads_its_defaults(self, camera):
        infos = camera.get_all_tools_info()
        assert [int(i.type) for i in infos] == sorted(int(i.type) for i in infos) and len(infos) == 7
        for info in infos:
            tool = camera.get_tool(info.type)
            assert tool.get_tool_info().parameters == info.parameters and tool.type == info.type
            described = tool.get_all_param_info()
            assert set(info.parameters) <= set(described)
            for name, param in described.items():
                value = tool.get_param(name)
                kinds = {vireo.ParameterType.Enum: str, vireo.ParameterType.Bool: bool,
                         vireo.ParameterType.Float: float, vireo.ParameterType.Int: int}
                assert type(value) is kinds[param.type], name
        assert camera.get_tool(vireo.TOOL_APS_CTRL) is None
        with pytest.raises(vireo.Error, match="Tool not found"):
            camera.get_tool_info(vireo.TOOL_APS_CTRL)

    def test_parameters_of_each_type_are_written_and_read_back(self, camera):
        biases = camera.get_tool(vireo.TOOL_BIASES)
        info = biases.get_param_info("bias_diff")
        assert isinstance(info, vireo.IntParameterInfo) and (info.min, info.max) == (0, 255)
        for value in (info.min, 123, info.max):
            biases.set_param("bias_diff", value)
            assert biases.get_param("bias_diff") == value
        trigger = camera.get_tool(vireo.TOOL_TRIGGER_IN)
        trigger.set_param("enable", False)
        assert trigger.get_param("enable") is False
        sync = camera.get_tool(vireo.TOOL_SYNC)
        for mode in sync.get_param_info("mode").values:
            sync.set_param("mode", mode)
            assert sync.get_param("mode") == mode
        flicker = camera.get_tool(vireo.TOOL_ANTI_FLICKER)
        low = flicker.get_param_info("low_frequency")
        flicker.set_param("low_frequency", 100)  # an exact int reaches a float parameter
        assert abs(flicker.get_param("low_frequency") - 100) < 5
        assert low.min <= flicker.get_param("low_frequency") <= low.max

    def test_refused_values_write_nothing_and_raise(self, camera):
        biases = camera.get_tool(vireo.TOOL_BIASES)
        before = biases.get_param("bias_diff")
        for bad in (256, -1, 1.5, True, "77"):
            with pytest.raises(ValueError, match="bias_diff"):
                biases.set_param("bias_diff", bad)
            assert biases.get_param("bias_diff") == before
        with pytest.raises(KeyError, match="bias_nothing"):
            biases.set_param("bias_nothing", 1)
        with pytest.raises(KeyError):
            biases.get_param("bias_nothing")
        sync = camera.get_tool(vireo.TOOL_SYNC)
        with pytest.raises(ValueError):
            sync.set_param("mode", "sideways")
        with pytest.raises(ValueError):
            camera.get_tool(vireo.TOOL_ANTI_FLICKER).set_param("low_frequency", float("nan"))


class TestStreaming:
    def test_callbacks_and_batches_match_the_statistics(self, camera):
        lock = threading.Lock()
        ranges, stats = [], []

        def on_events(events):
            assert events.dtype == vireo.EVENT2D_DTYPE
            with lock:
                ranges.append(events)

        def on_statistics(info):
            with lock:
                stats.append((info.first, sum(len(r) for r in ranges)))

        camera.add_events_stream_handle_callback(on_events)
        camera.set_statistic_info_callback(on_statistics)
        camera.set_batch_events_num(20000)
        camera.start()
        batches = []
        deadline = time.monotonic() + 2.4
        while time.monotonic() < deadline:
            batch = camera.get_next_batch()  # waits without the GIL: the callbacks run meanwhile
            assert batch is not None
            batches.append(batch)
        camera.stop()
        assert camera.get_next_batch() is None

        assert len(stats) >= 2
        for decoded, delivered in stats:
            # The counter moves at the end of each decode call, after its ranges were delivered.
            assert decoded <= delivered <= decoded + 2 * ONE_TRANSFER_EVENTS
        assert stats[-1][0] > 300000  # about 2e5 events per second
        stream = np.concatenate(ranges)
        assert len(batches) >= 10 and all(len(b) == 20000 for b in batches)
        # Every batch is a stretch of the stream the callbacks saw, in order.
        position = 0
        for batch in batches:
            starts = np.flatnonzero((stream["t"][position:] == batch["t"][0]) &
                                    (stream["x"][position:] == batch["x"][0]) &
                                    (stream["y"][position:] == batch["y"][0]))
            assert len(starts) > 0
            start = position + int(starts[0])
            assert np.array_equal(stream[start:start + len(batch)], batch)
            position = start + len(batch)

    def test_time_batches_hold_their_window(self, camera):
        camera.set_batch_events_time(10000)
        camera.start()
        batches = [camera.get_next_batch() for _ in range(5)]
        camera.stop()
        for batch in batches:
            assert batch is not None and len(batch) > 0
            assert int(batch["t"][-1]) - int(batch["t"][0]) < 10000
        with pytest.raises(ValueError):
            camera.set_batch_events_time(0)

    def test_a_raising_callback_is_reported_and_the_stream_goes_on(self, camera, monkeypatch):
        reported = []
        monkeypatch.setattr(sys, "unraisablehook", lambda report: reported.append(report))
        calls = []

        def failing(events):
            calls.append(len(events))
            if len(calls) == 1:
                raise RuntimeError("broken callback")

        camera.add_events_stream_handle_callback(failing)
        camera.start()
        assert wait_until(lambda: len(calls) >= 5)
        camera.stop()
        assert len(reported) == 1
        assert isinstance(reported[0].exc_value, RuntimeError) and "broken callback" in str(reported[0].exc_value)

    def test_removed_callbacks_are_not_called_again(self, camera):
        calls = []
        callback_id = camera.add_events_stream_handle_callback(lambda events: calls.append(len(events)))
        camera.start()
        assert wait_until(lambda: len(calls) >= 2)
        assert camera.remove_events_stream_handle_callback(callback_id)
        seen = len(calls)
        time.sleep(0.3)
        assert len(calls) == seen
        assert not camera.remove_events_stream_handle_callback(callback_id)
        with pytest.raises(TypeError):
            camera.add_events_stream_handle_callback(42)

    def test_trigger_edges_arrive_as_trigger_arrays(self):
        serial = sim.plug_camera(event_rate=1e5, trigger_period_us=10000)
        try:
            manager = vireo.DvsCameraManager()
            manager.get_camera_descs()
            camera = manager.open_camera(serial)
            edges = []
            camera.add_trigger_in_callback(lambda edge: edges.append(edge))
            camera.start()
            assert wait_until(lambda: len(edges) >= 6)
            camera.stop()
            joined = np.concatenate(edges)
            assert all(e.dtype == vireo.TRIGGER_DTYPE and len(e) == 1 for e in edges)
            assert set(np.unique(joined["p"])) <= {0, 1} and np.all(joined["id"] == 0)
            assert np.all(np.diff(joined["t"].astype(np.int64)) > 0)
        finally:
            sim.unplug_camera(serial)


class TestRecording:
    def test_a_recording_made_from_python_reads_back(self, camera, tmp_path):
        lock = threading.Lock()
        ranges = []

        def on_events(events):
            with lock:
                ranges.append(events)

        camera.add_events_stream_handle_callback(on_events)
        camera.start()
        assert wait_until(lambda: len(ranges) >= 2)
        path = tmp_path / "made.raw"
        camera.start_recording(str(path))
        time.sleep(1.0)
        camera.stop_recording()
        camera.stop()
        stream = np.concatenate(ranges)
        with vireo.open_reader(str(path)) as reader:
            recorded = reader.get_n_events(reader.max_events)
            assert (reader.width, reader.height) == (1280, 720)
        assert len(recorded) > 100000
        # The recording is a stretch of what the callbacks were given.
        first = np.flatnonzero((stream["t"] == recorded["t"][0]) & (stream["x"] == recorded["x"][0]) &
                               (stream["y"] == recorded["y"][0]))
        assert len(first) == 1
        start = int(first[0])
        assert np.array_equal(stream[start:start + len(recorded)], recorded)

    def test_recording_into_a_missing_folder_fails_loudly(self, camera, tmp_path):
        camera.start()
        try:
            camera.start_recording(str(tmp_path / "missing" / "made.raw"))
        except vireo.Error:
            return  # refused at once
        time.sleep(0.2)
        with pytest.raises(vireo.Error):
            camera.stop_recording()


class TestCallbackCost:
    def test_round_trip_helper_calls_the_function_with_arrays(self):
        seen = []
        seconds = vireo._vireo._bench.callback_round_trip(lambda events: seen.append(events), 50, 7)
        assert seconds > 0 and len(seen) == 50
        assert all(len(a) == 7 and a.dtype == vireo.EVENT2D_DTYPE for a in seen)
        assert int(seen[0]["x"][0]) == 1 and int(seen[0]["t"][0]) == 3
