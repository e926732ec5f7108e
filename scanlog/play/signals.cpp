#include "signals.hpp"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

#include "terminal.hpp"

namespace {

constexpr int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

int signalPipeEnds[2] = {-1, -1};
volatile sig_atomic_t signalsToLoop = 0;
volatile sig_atomic_t caughtSignal = 0;

void onEndingSignal(int signal) {
    const int savedErrno = errno;
    giveTerminalBack();
    if (signalsToLoop) {
        if (caughtSignal == 0) caughtSignal = signal;
        const char byte = 1;
        if (write(signalPipeEnds[1], &byte, 1) < 0) {
            // The pipe is full: the loop has been told already.
        }
    } else {
        std::signal(signal, SIG_DFL);
        raise(signal);  // delivered, with its default action, as the handler returns
    }
    errno = savedErrno;
}

}  // namespace

bool catchSignals() {
    if (signalPipeEnds[0] < 0 && pipe2(signalPipeEnds, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    for (const int signal : kEndingSignals) installSignalHandler(signal, onEndingSignal);
    return true;
}

int signalPipe() { return signalPipeEnds[0]; }

void setSignalsToLoop(bool toLoop) { signalsToLoop = toLoop ? 1 : 0; }

int takeCaughtSignal() {
    char bytes[64];
    while (read(signalPipeEnds[0], bytes, sizeof bytes) > 0) {
    }
    return caughtSignal;
}

void endBySignal(int signal) {
    leaveRawMode();
    std::signal(signal, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signal);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    raise(signal);
    _exit(128 + signal);  // only if the default action does not end the process
}
