// CameraThreadReaper: the process keeps the threads that no camera can join any more. A
// camera whose last reference goes inside one of its own callbacks ends on that thread,
// which cannot join itself; a camera released there may instead be destroyed on a thread of
// its own. Either thread still runs camera code (writing a recording, freeing the decoder)
// after the application has let the camera go, so it is kept here and joined once it has
// finished, and at the latest when the process exits, before the statics that code still
// uses (the logger among them) are destroyed.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <vireo/pipit_export.h>

namespace vireo::detail {

class PIPIT_EXPORT CameraThreadReaper {
public:
    // The process-wide reaper. It is never destroyed: its threads are joined by exit
    // handlers registered as each is kept, and a thread ending during exit still finds it.
    static CameraThreadReaper& instance();

    // Takes `thread`, which must be the calling thread (a camera's own thread ending on its
    // own): it is joined once it has left, which the thread marks as it exits.
    void adoptCurrentThread(std::thread thread);
    // Runs `task` on a new thread kept until it has finished. Throws std::system_error when
    // no thread can be started.
    void run(std::function<void()> task);

    // Joins every kept thread, including those kept while it waits. Must not be called from
    // a kept thread.
    void joinAll();
    // The threads kept and not yet joined.
    std::size_t pending() const;

private:
    CameraThreadReaper();

    struct Entry {
        std::thread thread;
        std::shared_ptr<bool> done;  // guarded by mutex_: the thread has left
    };
    // Joins the threads that have left; mutex_ is held.
    void reapFinishedLocked();
    // Registers an exit handler that joins every kept thread.
    static void registerExitJoin();

    mutable std::mutex mutex_;
    std::vector<Entry> threads_;
};

}  // namespace vireo::detail
