// Recordings from Python: DvsFileReader and RawFileReader (made directly or by the reader
// factory), reads by count and by duration into numpy arrays, seeks, an iterator over a
// recording in windows, the cut and the video export.
//
// A reader is used by one thread at a time, while reads run with the GIL released: each
// Python reader object holds a mutex that every call takes (after letting the GIL go, so a
// thread waiting for the reader never blocks the interpreter). The reader's own output
// vector is refilled by the next read, so each read copies its events once, still without
// the GIL, into a vector the returned array then takes over.
#include "Bindings.h"
#include "EventArrays.h"

#include <vireo/DvsFileReader.h>
#include <vireo/RawFileReader.h>

#include <pybind11/functional.h>
#include <pybind11/stl.h>

#include <cerrno>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace py = pybind11;

namespace vireo::python {
namespace {

// One Python reader object: the kit's reader, its path and the lock of its single user.
struct ReaderHandle {
    ReaderHandle(std::shared_ptr<DvsFileReader> r, std::string p) : reader(std::move(r)), path(std::move(p)) {}
    virtual ~ReaderHandle() = default;

    std::shared_ptr<DvsFileReader> reader;
    std::string path;
    bool loaded = false;
    std::mutex mutex;

    // Runs `work` on the reader with the GIL released and the reader locked. Reads and seeks
    // need a loaded reader; a closed one refuses everything.
    template <typename Work>
    auto run(Work&& work, bool needsLoad = true) {
        py::gil_scoped_release release;
        std::lock_guard<std::mutex> lock(mutex);
        check(needsLoad);
        return work(*reader);
    }

    void check(bool needsLoad) const {
        if (!reader) {
            throw std::runtime_error("the reader of " + path + " is closed");
        }
        if (needsLoad && !loaded) {
            throw std::runtime_error("the recording " + path + " is not loaded: call load_file() first");
        }
    }

    RawFileReader& raw() const { return static_cast<RawFileReader&>(*reader); }
};

// The RAW kind, so that Python sees RawFileReader's own methods on it.
struct RawReaderHandle : ReaderHandle {
    using ReaderHandle::ReaderHandle;
};

// The events of a read, copied out of the reader's output vector while the reader is locked.
using Batch = std::vector<Event2D>;
Batch copyOut(const std::shared_ptr<std::vector<Event2D>>& events) {
    return events ? Batch(events->begin(), events->end()) : Batch();
}

// Opens and indexes the recording; raises with the reason when it cannot be used.
void load(ReaderHandle& handle) {
    const bool ok = handle.run(
        [&](DvsFileReader& reader) {
            handle.loaded = false;
            handle.loaded = reader.loadFile();
            return handle.loaded;
        },
        false);
    if (ok) {
        return;
    }
    std::error_code error;
    if (!std::filesystem::exists(handle.path, error)) {
        py::object args = py::make_tuple(ENOENT, "No such file or directory", handle.path);
        PyErr_SetObject(PyExc_FileNotFoundError, args.ptr());
        throw py::error_already_set();
    }
    throw std::runtime_error("cannot load the recording " + handle.path +
                             ": it cannot be read, is not an EVT3 RAW file or holds no events");
}

std::shared_ptr<ReaderHandle> makeHandle(const std::string& path) {
    std::shared_ptr<DvsFileReader> reader = DvsFileReader::createFileReader(path);
    if (!reader) {
        return nullptr;
    }
    if (dynamic_cast<RawFileReader*>(reader.get()) != nullptr) {
        return std::make_shared<RawReaderHandle>(std::move(reader), path);
    }
    return std::make_shared<ReaderHandle>(std::move(reader), path);
}

// Iterates a recording in windows of `duration` µs or of `count` events, from `start` µs
// (the recording's start when not given). The iterator keeps its own position: when other
// reads moved the reader in between, the next window seeks back to where the last one ended.
class EventWindows {
public:
    EventWindows(std::shared_ptr<ReaderHandle> h, std::optional<uint64_t> d, std::optional<uint64_t> c,
                 std::optional<uint64_t> s)
        : handle(std::move(h)), duration(d), count(c), start(s) {
        if (duration.has_value() == count.has_value()) {
            throw py::value_error("windows() takes exactly one of duration (µs) or count (events)");
        }
        if (duration.value_or(1) == 0 || count.value_or(1) == 0) {
            throw py::value_error("a window must be longer than 0");
        }
        handle->check(true);
    }

    py::array next() {
        std::optional<Batch> batch = handle->run([&](DvsFileReader& reader) { return nextWindow(reader); });
        if (!batch) {
            throw py::stop_iteration();
        }
        return toArray(std::move(*batch));
    }

private:
    std::optional<Batch> nextWindow(DvsFileReader& reader) {
        uint64_t endTime = 0, total = 0;
        reader.getEndTimeStamp(endTime);
        reader.getMaxEvents(total);
        if (duration) {
            if (!begun) {
                uint64_t first = 0;
                reader.getStartTimeStamp(first);
                position = start.value_or(first);
                begun = true;
            }
            if (position > endTime) {
                return std::nullopt;
            }
            std::shared_ptr<std::vector<Event2D>> events;
            if (reader.getCurrentPosTimeStamp() == position && expectedEvent == reader.getCurrentPosEventNum()) {
                events = reader.getNTimeEvents(*duration);
            } else {
                events = reader.getNTimeEventsGivenStartTimeStamp(position, *duration);
            }
            position = position + *duration < position ? UINT64_MAX : position + *duration;
            expectedEvent = reader.getCurrentPosEventNum();
            return copyOut(events);
        }
        if (!begun) {
            position = 0;
            if (start) {
                // The first event at or after the start time.
                if (!reader.seekTime(*start)) {
                    return std::nullopt;
                }
                position = reader.getCurrentPosEventNum();
            }
            begun = true;
        }
        if (position >= total) {
            return std::nullopt;
        }
        std::shared_ptr<std::vector<Event2D>> events;
        if (reader.getCurrentPosEventNum() == position) {
            events = reader.getNEvents(*count);
        } else {
            events = reader.getNEventsGivenStartEvent(position, *count);
        }
        if (!events || events->empty()) {
            return std::nullopt;
        }
        position += events->size();
        return copyOut(events);
    }

    std::shared_ptr<ReaderHandle> handle;
    std::optional<uint64_t> duration;
    std::optional<uint64_t> count;
    std::optional<uint64_t> start;
    bool begun = false;
    uint64_t position = 0;       // the next window's start time (duration) or event number (count)
    uint64_t expectedEvent = 0;  // the reader's event number after the last duration window
};

const char* const kReaderDoc =
    "A recording of events: its geometry, time span and event count, and its events in file order\n"
    "as numpy arrays of dtype vireo.EVENT2D_DTYPE (x, y, p, t), by count or by duration, from the\n"
    "current position, a time (µs) or an event number.\n\n"
    "Made by DvsFileReader.create_file_reader(path), vireo.open_reader(path) or RawFileReader(path).\n"
    "Reads release the GIL; one reader serves one thread at a time (calls from several threads\n"
    "wait for each other). Usable as a context manager: leaving it closes the reader.";

}  // namespace

void bindReader(py::module_& m) {
    py::class_<ReaderHandle, std::shared_ptr<ReaderHandle>> base(m, "DvsFileReader", kReaderDoc);
    base.def_static(
            "create_file_reader", &makeHandle, py::arg("path"),
            "create_file_reader(path) -> DvsFileReader | None\n\n"
            "The reader factory: a RawFileReader for a path ending in \".raw\" (exactly), None for any\n"
            "other extension. The reader is not loaded yet: call load_file().")
        .def("load_file", &load,
             "load_file() -> None\n\n"
             "Opens the recording, reads its header, builds or reloads its index and moves to event 0.\n"
             "Raises FileNotFoundError when the file is missing, vireo.Error when it cannot be used,\n"
             "ValueError/IndexError for a header value that is not a number or is out of range.")
        .def_property_readonly("path", [](const ReaderHandle& h) { return h.path; }, "The recording's path.")
        .def_property_readonly("loaded", [](const ReaderHandle& h) { return h.loaded && h.reader; },
                               "True once load_file() succeeded (and the reader is not closed).")
        .def_property_readonly(
            "width", [](ReaderHandle& h) { return h.run([](DvsFileReader& r) { return r.getWidth(); }, false); },
            "Sensor width in pixels (1280 when the file does not give it).")
        .def_property_readonly(
            "height", [](ReaderHandle& h) { return h.run([](DvsFileReader& r) { return r.getHeight(); }, false); },
            "Sensor height in pixels (720 when the file does not give it).")
        .def_property_readonly("start_timestamp",
                               [](ReaderHandle& h) {
                                   return h.run([](DvsFileReader& r) {
                                       uint64_t t = 0;
                                       r.getStartTimeStamp(t);
                                       return t;
                                   });
                               },
                               "The recording's first time, µs (getStartTimeStamp).")
        .def_property_readonly("end_timestamp",
                               [](ReaderHandle& h) {
                                   return h.run([](DvsFileReader& r) {
                                       uint64_t t = 0;
                                       r.getEndTimeStamp(t);
                                       return t;
                                   });
                               },
                               "The recording's last time, µs (getEndTimeStamp).")
        .def_property_readonly("max_events",
                               [](ReaderHandle& h) {
                                   return h.run([](DvsFileReader& r) {
                                       uint64_t n = 0;
                                       r.getMaxEvents(n);
                                       return n;
                                   });
                               },
                               "The recording's number of events (getMaxEvents).")
        .def("__len__",
             [](ReaderHandle& h) {
                 return h.run([](DvsFileReader& r) {
                     uint64_t n = 0;
                     r.getMaxEvents(n);
                     return static_cast<std::size_t>(n);
                 });
             })
        .def_property_readonly(
            "current_timestamp",
            [](ReaderHandle& h) { return h.run([](DvsFileReader& r) { return r.getCurrentPosTimeStamp(); }); },
            "The read time, µs (getCurrentPosTimeStamp).")
        .def_property_readonly(
            "current_event_num",
            [](ReaderHandle& h) { return h.run([](DvsFileReader& r) { return r.getCurrentPosEventNum(); }); },
            "The number of the next event to be read (getCurrentPosEventNum).")
        .def(
            "reached_end_of_events",
            [](ReaderHandle& h) { return h.run([](DvsFileReader& r) { return r.reachedEndOfEvents(); }); },
            "reached_end_of_events() -> bool\n\nTrue once the read time has passed the recording's end time.")
        .def(
            "seek_time",
            [](ReaderHandle& h, uint64_t t) { return h.run([&](DvsFileReader& r) { return r.seekTime(t); }); },
            py::arg("timestamp"),
            "seek_time(timestamp) -> bool\n\n"
            "Moves to the first event at or after `timestamp` µs; False when the time lies outside\n"
            "[start_timestamp, end_timestamp].")
        .def(
            "seek_n_events",
            [](ReaderHandle& h, uint64_t n) { return h.run([&](DvsFileReader& r) { return r.seekNEvents(n); }); },
            py::arg("event_num"),
            "seek_n_events(event_num) -> bool\n\n"
            "Moves to event number `event_num` (0 is the first); False past the event count.")
        .def(
            "get_n_events",
            [](ReaderHandle& h, uint64_t count) {
                return toArray(h.run([&](DvsFileReader& r) { return copyOut(r.getNEvents(count)); }));
            },
            py::arg("count"),
            "get_n_events(count) -> numpy.ndarray\n\n"
            "The next `count` events from the current position (fewer at the end).")
        .def(
            "get_n_events_given_start_timestamp",
            [](ReaderHandle& h, uint64_t t, uint64_t count) {
                return toArray(
                    h.run([&](DvsFileReader& r) { return copyOut(r.getNEventsGivenStartTimeStamp(t, count)); }));
            },
            py::arg("timestamp"), py::arg("count"),
            "get_n_events_given_start_timestamp(timestamp, count) -> numpy.ndarray\n\n"
            "Seeks to `timestamp` µs, then reads `count` events (empty when the time is outside).")
        .def(
            "get_n_events_given_start_event",
            [](ReaderHandle& h, uint64_t n, uint64_t count) {
                return toArray(
                    h.run([&](DvsFileReader& r) { return copyOut(r.getNEventsGivenStartEvent(n, count)); }));
            },
            py::arg("event_num"), py::arg("count"),
            "get_n_events_given_start_event(event_num, count) -> numpy.ndarray\n\n"
            "Seeks to event `event_num`, then reads `count` events (empty past the end).")
        .def(
            "get_n_time_events",
            [](ReaderHandle& h, uint64_t duration) {
                return toArray(h.run([&](DvsFileReader& r) { return copyOut(r.getNTimeEvents(duration)); }));
            },
            py::arg("duration"),
            "get_n_time_events(duration) -> numpy.ndarray\n\n"
            "The events from the read time up to (not including) the read time + `duration` µs;\n"
            "the read time then advances by `duration`.")
        .def(
            "get_n_time_events_given_start_timestamp",
            [](ReaderHandle& h, uint64_t t, uint64_t duration) {
                return toArray(h.run(
                    [&](DvsFileReader& r) { return copyOut(r.getNTimeEventsGivenStartTimeStamp(t, duration)); }));
            },
            py::arg("timestamp"), py::arg("duration"),
            "get_n_time_events_given_start_timestamp(timestamp, duration) -> numpy.ndarray\n\n"
            "The events in [timestamp, timestamp + duration) µs.")
        .def(
            "get_n_time_events_given_start_event",
            [](ReaderHandle& h, uint64_t n, uint64_t duration) {
                return toArray(h.run(
                    [&](DvsFileReader& r) { return copyOut(r.getNTimeEventsGivenStartEvent(n, duration)); }));
            },
            py::arg("event_num"), py::arg("duration"),
            "get_n_time_events_given_start_event(event_num, duration) -> numpy.ndarray\n\n"
            "Seeks to event `event_num`, then reads `duration` µs of events.")
        .def(
            "read",
            [](ReaderHandle& h, std::optional<uint64_t> count, std::optional<uint64_t> duration,
               std::optional<uint64_t> startTime, std::optional<uint64_t> startEvent) {
                if (count.has_value() == duration.has_value()) {
                    throw py::value_error("read() takes exactly one of count or duration");
                }
                if (startTime && startEvent) {
                    throw py::value_error("read() takes at most one of start_time or start_event");
                }
                return toArray(h.run([&](DvsFileReader& r) {
                    if (count) {
                        if (startTime) return copyOut(r.getNEventsGivenStartTimeStamp(*startTime, *count));
                        if (startEvent) return copyOut(r.getNEventsGivenStartEvent(*startEvent, *count));
                        return copyOut(r.getNEvents(*count));
                    }
                    if (startTime) return copyOut(r.getNTimeEventsGivenStartTimeStamp(*startTime, *duration));
                    if (startEvent) return copyOut(r.getNTimeEventsGivenStartEvent(*startEvent, *duration));
                    return copyOut(r.getNTimeEvents(*duration));
                }));
            },
            py::arg("count") = py::none(), py::arg("duration") = py::none(), py::kw_only(),
            py::arg("start_time") = py::none(), py::arg("start_event") = py::none(),
            "read(count=None, duration=None, *, start_time=None, start_event=None) -> numpy.ndarray\n\n"
            "`count` events or `duration` µs of events (exactly one of the two), from the current\n"
            "position, or after seeking to `start_time` µs or to event number `start_event`.")
        .def(
            "windows",
            [](const std::shared_ptr<ReaderHandle>& h, std::optional<uint64_t> duration, std::optional<uint64_t> count,
               std::optional<uint64_t> start) { return EventWindows(h, duration, count, start); },
            py::arg("duration") = py::none(), py::arg("count") = py::none(), py::kw_only(),
            py::arg("start") = py::none(),
            "windows(duration=None, count=None, *, start=None) -> Iterator[numpy.ndarray]\n\n"
            "Iterates the recording from `start` µs (its start when None) to its end in windows of\n"
            "`duration` µs or of `count` events (exactly one of the two). The windows together hold\n"
            "every event once, in order; a duration window may be empty.")
        .def(
            "extract_event_data",
            [](ReaderHandle& h, uint64_t start, uint64_t end, const std::string& path) {
                // The RAW reader's cut tells why it failed; any other reader only that it did.
                RawFileReader::ExtractResult result = h.run([&](DvsFileReader& r) {
                    if (auto* raw = dynamic_cast<RawFileReader*>(&r)) {
                        return raw->extractEvents(start, end, path);
                    }
                    RawFileReader::ExtractResult other;
                    other.ok = r.extractEventData(start, end, path);
                    other.error = "the reader failed to cut it";
                    return other;
                });
                if (!result.ok) {
                    throw std::runtime_error("cannot cut [" + std::to_string(start) + ", " + std::to_string(end) +
                                             ") into " + path + ": " + result.error);
                }
                return result.bytes;
            },
            py::arg("start"), py::arg("end"), py::arg("path"),
            "extract_event_data(start, end, path) -> int\n\n"
            "Cuts [start, end) µs of the recording into the new RAW file `path` and returns the\n"
            "bytes of event data copied. Raises vireo.Error with the cause (\"There is no data in the\n"
            "interval.\", \"No space left on device\", ...) when the cut fails.")
        .def(
            "export_event_data_to_video",
            [](ReaderHandle& h, uint64_t start, uint64_t end, const std::string& path) {
                if (!h.run([&](DvsFileReader& r) { return r.exportEventDataToVideo(start, end, path); })) {
                    throw std::runtime_error("cannot export [" + std::to_string(start) + ", " + std::to_string(end) +
                                             ") to the video " + path + " (the log says why)");
                }
            },
            py::arg("start"), py::arg("end"), py::arg("path"),
            "export_event_data_to_video(start, end, path) -> None\n\n"
            "Renders [start, end) µs of the recording to an H.264 MP4 video at `path`; raises\n"
            "vireo.Error when it fails (the reason is logged).")
        .def(
            "close",
            [](ReaderHandle& h) {
                py::gil_scoped_release release;
                std::lock_guard<std::mutex> lock(h.mutex);
                h.reader.reset();
                h.loaded = false;
            },
            "close() -> None\n\nCloses the recording; every later call raises vireo.Error.")
        .def("__enter__", [](const std::shared_ptr<ReaderHandle>& h) { return h; })
        .def("__exit__",
             [](ReaderHandle& h, py::args) {
                 py::gil_scoped_release release;
                 std::lock_guard<std::mutex> lock(h.mutex);
                 h.reader.reset();
                 h.loaded = false;
             })
        .def("__repr__", [](const ReaderHandle& h) {
            return "<vireo." + std::string(dynamic_cast<const RawReaderHandle*>(&h) ? "RawFileReader" : "DvsFileReader") +
                   " " + h.path + (h.reader ? (h.loaded ? "" : " (not loaded)") : " (closed)") + ">";
        });

    py::class_<RawReaderHandle, ReaderHandle, std::shared_ptr<RawReaderHandle>>(
        m, "RawFileReader",
        "A reader of RAW (EVT3) recordings with random access by time and by event number.\n\n"
        "RawFileReader(path, load=True): with `load`, the recording is loaded at once (see load_file).")
        .def(py::init([](const std::string& path, bool loadNow) {
                 auto handle = std::make_shared<RawReaderHandle>(std::make_shared<RawFileReader>(path), path);
                 if (loadNow) {
                     load(*handle);
                 }
                 return handle;
             }),
             py::arg("path"), py::arg("load") = true)
        .def_property_readonly(
            "serial_number",
            [](RawReaderHandle& h) { return h.run([&](DvsFileReader&) { return h.raw().getSerialNumber(); }); },
            "The serial number from the header, empty when there is none.")
        .def_property_readonly(
            "index_path",
            [](RawReaderHandle& h) { return h.run([&](DvsFileReader&) { return h.raw().getIndexPath(); }); },
            "The path of the recording's bookmark index file.")
        .def_property_readonly(
            "is_index_reloaded",
            [](RawReaderHandle& h) { return h.run([&](DvsFileReader&) { return h.raw().isIndexReloaded(); }); },
            "True when the last load read a saved index, False when it scanned the file.")
        .def_property_readonly(
            "index_write_error",
            [](RawReaderHandle& h) { return h.run([&](DvsFileReader&) { return h.raw().getIndexWriteError(); }); },
            "Why the index could not be saved beside the recording; empty when it was.")
        .def_property_readonly(
            "header_size",
            [](RawReaderHandle& h) { return h.run([&](DvsFileReader&) { return h.raw().getHeaderSize(); }); },
            "Bytes of the text header.")
        .def_property_readonly(
            "file_size",
            [](RawReaderHandle& h) { return h.run([&](DvsFileReader&) { return h.raw().getFileSize(); }); },
            "Size of the RAW file in bytes.")
        .def_property(
            "read_ahead",
            [](RawReaderHandle& h) { return h.run([&](DvsFileReader&) { return h.raw().isReadAheadEnabled(); }, false); },
            [](RawReaderHandle& h, bool on) { h.run([&](DvsFileReader&) { h.raw().setReadAhead(on); }, false); },
            "Whether a second thread decodes the next piece of the recording ahead (same results).");

    py::class_<EventWindows>(m, "EventWindows", "An iterator over a recording in windows (see DvsFileReader.windows).")
        .def("__iter__", [](EventWindows& w) -> EventWindows& { return w; })
        .def("__next__", &EventWindows::next);

    m.def(
        "open_reader",
        [](const std::string& path) {
            std::shared_ptr<ReaderHandle> handle = makeHandle(path);
            if (!handle) {
                throw py::value_error("no reader for " + path + ": recordings are RAW files ending in \".raw\"");
            }
            load(*handle);
            return handle;
        },
        py::arg("path"),
        "open_reader(path) -> DvsFileReader\n\n"
        "The factory's reader for `path`, loaded. Raises ValueError for a path the factory has no\n"
        "reader for, FileNotFoundError or vireo.Error when the recording cannot be loaded.");
}

}  // namespace vireo::python
