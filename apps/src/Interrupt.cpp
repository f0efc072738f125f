// Signal handling for the vireo tool's long commands (see Interrupt.h). The handler only
// touches lock-free atomics and calls write() and _exit(), which are safe in a handler.
#include "Interrupt.h"

#include <unistd.h>

#include <atomic>
#include <csignal>
#include <algorithm>
#include <cstring>

namespace vireo::app {
namespace {

std::atomic<int> gSignal{0};
// The message of the first signal, kept in a fixed buffer so the handler need not allocate.
char gMessage[256] = {};
size_t gMessageLength = 0;

static_assert(std::atomic<int>::is_always_lock_free, "the signal flag must be lock-free");

extern "C" void onInterrupt(int signal) {
    int expected = 0;
    if (gSignal.compare_exchange_strong(expected, signal)) {
        const ssize_t written = ::write(STDERR_FILENO, gMessage, gMessageLength);
        (void)written;
        return;
    }
    // A second signal: the user wants out now.
    ::_exit(128 + signal);
}

void install(void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: a blocking wait returns early and the flag is seen sooner
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

}  // namespace

InterruptScope::InterruptScope(const char* what) {
    static const char kHead[] = "\ninterrupted: ";
    static const char kTail[] = " (press Ctrl-C again to abort)\n";
    gMessageLength = 0;
    auto append = [](const char* text) {
        const size_t length = std::min(std::strlen(text), sizeof gMessage - 1 - gMessageLength);
        std::memcpy(gMessage + gMessageLength, text, length);
        gMessageLength += length;
    };
    append(kHead);
    append(what);
    append(kTail);
    gSignal = 0;
    install(onInterrupt);
}

InterruptScope::~InterruptScope() {
    install(SIG_DFL);
    gSignal = 0;
}

bool interrupted() { return gSignal.load() != 0; }

int interruptSignal() { return gSignal.load(); }

}  // namespace vireo::app
