"""Recordings read into numpy: the real recording's figures, reads by count and duration from
the position, a time or an event number, the window iterator, errors, the cut and the video."""
import threading

import numpy as np
import pytest

import vireo
from conftest import write_raw


def whole(reader):
    return reader.get_n_events_given_start_event(0, reader.max_events)


class TestEventLayout:
    def test_dtype_is_the_struct_layout(self):
        dtype = vireo.EVENT2D_DTYPE
        assert dtype.itemsize == 16
        assert [dtype.fields[name][1] for name in ("x", "y", "p", "t")] == [0, 2, 4, 8]
        assert [dtype.fields[name][0].str for name in ("x", "y", "p", "t")] == ["<u2", "<u2", "|u1", "<u8"]
        trigger = vireo.TRIGGER_DTYPE
        assert trigger.itemsize == 24
        assert [trigger.fields[name][1] for name in ("p", "t", "id")] == [0, 8, 16]

    def test_arrays_own_their_memory_after_later_reads(self, sample):
        first = sample.get_n_events(1000)
        kept = first.copy()
        sample.get_n_events(50000)  # refills the reader's own vector
        assert np.array_equal(first, kept)
        assert first.flags["C_CONTIGUOUS"] and first.dtype == vireo.EVENT2D_DTYPE


class TestRealRecording:
    def test_header_values_and_figures(self, sample):
        assert (sample.width, sample.height) == (1280, 720)
        assert sample.header_size == 166
        assert sample.max_events == len(sample) == 219596
        assert sample.start_timestamp == 11718656
        events = whole(sample)
        assert len(events) == 219596
        assert int(np.count_nonzero(events["p"] == 1)) == 115532
        assert int(events["x"].sum(dtype=np.uint64)) == 159113225
        assert int(events["y"].sum(dtype=np.uint64)) == 85638051
        assert int(events["t"].sum(dtype=np.uint64)) == 2574324900467
        assert (int(events["t"][0]), int(events["t"][-1])) == (11718656, 11727457)
        assert (int(events["x"].max()), int(events["y"].max())) == (1279, 719)
        assert int(np.count_nonzero(events["t"] < 11720000)) == 33950
        in_window = (events["t"] >= 11722000) & (events["t"] < 11724000)
        assert int(np.count_nonzero(in_window)) == 49932

    def test_factory_gives_a_raw_reader_not_loaded(self, sample_path):
        reader = vireo.DvsFileReader.create_file_reader(str(sample_path))
        assert isinstance(reader, vireo.RawFileReader)
        assert not reader.loaded
        with pytest.raises(vireo.Error, match="not loaded"):
            reader.get_n_events(1)
        reader.load_file()
        assert reader.loaded and reader.max_events == 219596
        assert vireo.DvsFileReader.create_file_reader(str(sample_path) + ".txt") is None
        assert vireo.DvsFileReader.create_file_reader(str(sample_path).replace(".raw", ".RAW")) is None


class TestReads:
    def test_reads_by_count_from_each_start(self, sample):
        events = whole(sample)
        assert np.array_equal(sample.read(count=500, start_event=1000), events[1000:1500])
        assert sample.current_event_num == 1500
        assert np.array_equal(sample.read(count=300), events[1500:1800])
        assert np.array_equal(sample.get_n_events_given_start_event(219500, 1000), events[219500:])
        start = 11722000
        first = int(np.searchsorted(events["t"], start))
        assert np.array_equal(sample.get_n_events_given_start_timestamp(start, 700), events[first:first + 700])
        assert np.array_equal(sample.read(count=700, start_time=start), events[first:first + 700])

    def test_reads_by_duration_from_each_start(self, sample):
        events = whole(sample)
        t = events["t"]
        got = sample.get_n_time_events_given_start_timestamp(11722000, 2000)
        assert np.array_equal(got, events[(t >= 11722000) & (t < 11724000)])
        assert sample.current_timestamp == 11724000
        following = sample.get_n_time_events(500)
        assert np.array_equal(following, events[(t >= 11724000) & (t < 11724500)])
        from_event = sample.read(duration=100, start_event=5000)
        assert len(from_event) > 0 and np.array_equal(from_event, events[5000:5000 + len(from_event)])
        assert int(from_event["t"][-1]) - int(from_event["t"][0]) < 100

    def test_seeks(self, sample):
        events = whole(sample)
        assert sample.seek_n_events(12345)
        assert np.array_equal(sample.get_n_events(10), events[12345:12355])
        assert sample.seek_time(11725000)
        assert sample.get_n_events(1)["t"][0] >= 11725000
        assert not sample.seek_time(sample.end_timestamp + 10)
        assert not sample.seek_n_events(sample.max_events + 1)
        assert not sample.seek_time(1)
        assert len(sample.get_n_events_given_start_timestamp(1, 10)) == 0

    def test_bad_read_arguments(self, sample):
        with pytest.raises(ValueError):
            sample.read()
        with pytest.raises(ValueError):
            sample.read(count=1, duration=1)
        with pytest.raises(ValueError):
            sample.read(count=1, start_time=11718656, start_event=0)
        with pytest.raises(TypeError):
            sample.get_n_events(-1)


class TestWindows:
    @pytest.mark.parametrize("duration", [1, 777, 1000, 10**9])
    def test_duration_windows_equal_whole(self, sample, duration):
        events = whole(sample)
        windows = list(sample.windows(duration=duration))
        span = sample.end_timestamp - sample.start_timestamp + 1
        assert len(windows) == -(-span // duration)
        assert np.array_equal(np.concatenate(windows), events)
        for index, window in enumerate(windows):
            begin = sample.start_timestamp + index * duration
            assert np.all((window["t"] >= begin) & (window["t"] < begin + duration))

    @pytest.mark.parametrize("count", [1, 4097, 219596, 10**7])
    def test_count_windows_equal_whole(self, sample, count):
        events = whole(sample)
        windows = list(sample.windows(count=count))
        assert all(len(w) == count for w in windows[:-1])
        assert len(windows) == -(-len(events) // count)
        assert np.array_equal(np.concatenate(windows), events)

    def test_windows_from_a_start_time(self, sample):
        events = whole(sample)
        tail = events[events["t"] >= 11725000]
        assert np.array_equal(np.concatenate(list(sample.windows(duration=300, start=11725000))), tail)
        assert np.array_equal(np.concatenate(list(sample.windows(count=999, start=11725000))), tail)

    def test_other_reads_between_windows_do_not_disturb_them(self, sample):
        events = whole(sample)
        by_time, by_count = [], []
        for window in sample.windows(duration=1500):
            by_time.append(window)
            sample.read(count=10, start_event=100000)
        for window in sample.windows(count=30000):
            by_count.append(window)
            sample.seek_time(11719000)
        assert np.array_equal(np.concatenate(by_time), events)
        assert np.array_equal(np.concatenate(by_count), events)

    def test_window_arguments(self, sample):
        with pytest.raises(ValueError):
            sample.windows()
        with pytest.raises(ValueError):
            sample.windows(duration=10, count=10)
        with pytest.raises(ValueError):
            sample.windows(count=0)


class TestErrors:
    def test_paths_the_factory_refuses_or_cannot_load(self, tmp_path):
        with pytest.raises(ValueError, match="no reader"):
            vireo.open_reader(str(tmp_path / "events.dat"))
        with pytest.raises(FileNotFoundError):
            vireo.open_reader(str(tmp_path / "missing.raw"))
        (tmp_path / "folder.raw").mkdir()
        with pytest.raises(vireo.Error, match="cannot load"):
            vireo.open_reader(str(tmp_path / "folder.raw"))
        evt2 = write_raw(tmp_path / "evt2.raw", b"\x00" * 64, header="% format EVT2\n% end\n")
        with pytest.raises(vireo.Error):
            vireo.RawFileReader(str(evt2))
        assert issubclass(vireo.Error, RuntimeError)

    def test_header_values_that_are_not_numbers_name_file_and_value(self, tmp_path):
        bad = write_raw(tmp_path / "bad.raw", b"\x00" * 64, header="% format EVT3;width=wide;height=720\n% end\n")
        with pytest.raises(ValueError, match=r"bad\.raw.*wide"):
            vireo.open_reader(str(bad))

    def test_closed_reader_refuses_calls(self, sample_path):
        with vireo.open_reader(str(sample_path)) as reader:
            assert reader.get_n_events(5).shape == (5,)
        with pytest.raises(vireo.Error, match="closed"):
            reader.get_n_events(5)
        with pytest.raises(vireo.Error, match="closed"):
            _ = reader.max_events


class TestThreads:
    def test_readers_used_from_threads_give_whole_reads(self, sample):
        expected = whole(sample)
        results, failures = [], []

        def work():
            try:
                for _ in range(5):
                    results.append(sample.get_n_events_given_start_event(0, sample.max_events))
            except Exception as error:  # pragma: no cover - reported below
                failures.append(error)

        threads = [threading.Thread(target=work) for _ in range(3)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        assert not failures
        assert len(results) == 15 and all(np.array_equal(r, expected) for r in results)


class TestCutAndVideo:
    def test_cut_reads_back_as_the_range(self, sample, tmp_path):
        events = whole(sample)
        out = tmp_path / "cut.raw"
        copied = sample.extract_event_data(11722000, 11724000, str(out))
        assert copied > 0
        with vireo.open_reader(str(out)) as cut:
            got = whole(cut)
        t = events["t"]
        assert np.array_equal(got, events[(t >= 11722000) & (t < 11724000)])

    def test_cut_of_an_empty_range_raises_with_the_kits_message(self, sample, tmp_path):
        with pytest.raises(vireo.Error, match="There is no data in the interval"):
            sample.extract_event_data(11722000, 11722000, str(tmp_path / "none.raw"))
        with pytest.raises(vireo.Error, match="Start time must be less than or equal to end time"):
            sample.extract_event_data(11724000, 11722000, str(tmp_path / "reversed.raw"))
        with pytest.raises(vireo.Error):
            sample.extract_event_data(11722000, 11724000, str(tmp_path / "no" / "such" / "folder.raw"))

    def test_video_export(self, sample, tmp_path):
        out = tmp_path / "clip.mp4"
        sample.export_event_data_to_video(11718656, 11727457, str(out))
        assert out.stat().st_size > 0
        assert out.read_bytes()[4:8] == b"ftyp"
        with pytest.raises(vireo.Error):
            sample.export_event_data_to_video(11718656, 11727457, str(tmp_path / "missing" / "clip.mp4"))
