// Ctrl-C (SIGINT) and SIGTERM for the long commands of the vireo tool. While an
// InterruptScope lives, the first signal only raises a flag that the command polls: it then
// stops its work cleanly and keeps what it has done (a recording is written, a cut or a
// video is not left half-written under its final name). A second signal ends the process at
// once with status 128 + the signal. Outside a scope the signals keep their default effect.
#pragma once

namespace vireo::app {

class InterruptScope {
public:
    // Installs the handlers; `what` completes the line printed on standard error at the
    // first signal: "interrupted: <what> (press Ctrl-C again to abort)".
    explicit InterruptScope(const char* what);
    // Restores the default handlers and clears the flag.
    ~InterruptScope();
    InterruptScope(const InterruptScope&) = delete;
    InterruptScope& operator=(const InterruptScope&) = delete;
};

// True once a first SIGINT or SIGTERM arrived inside the current scope.
bool interrupted();

// The signal that set the flag, 0 when none did.
int interruptSignal();

}  // namespace vireo::app
