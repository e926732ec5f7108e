#include "terminal.hpp"

#include "stream/picture.hpp"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr char kEscape = '\x1b';

// ---- keys ---------------------------------------------------------------------------------

bool keyOfByte(char c, Key& key) {
    switch (c) {
        case ' ': key = Key::pauseOrResume; return true;
        case 's': case 'S': key = Key::stepForward; return true;
        case 'q': case 'Q': key = Key::quit; return true;
        // `=` is `+` without shift on most keyboards.
        case '+': case '=': key = Key::zoomIn; return true;
        case '-': key = Key::zoomOut; return true;
        default: return false;
    }
}

// The arrows, as terminals send them in either cursor mode: ESC [ A or ESC O A.
bool keyOfArrow(char c, Key& key) {
    switch (c) {
        case 'A': key = Key::faster; return true;
        case 'B': key = Key::slower; return true;
        case 'C': key = Key::stepForward; return true;
        case 'D': key = Key::stepBack; return true;
        default: return false;
    }
}

bool isFinalByte(char c) { return c >= 0x40 && c <= 0x7e; }

// Length of the escape sequence at `at`, 0 when it is not complete yet. `key` is set when
// it is an arrow.
std::size_t escapeSequence(const std::string& bytes, std::size_t at, Key& key, bool& isKey) {
    isKey = false;
    if (at + 1 >= bytes.size()) return 0;
    const char kind = bytes[at + 1];
    if (kind == 'O') {
        if (at + 2 >= bytes.size()) return 0;
        isKey = keyOfArrow(bytes[at + 2], key);
        return 3;
    }
    if (kind != '[') return 1;  // a lone escape (Alt with a key): the key is read on its own
    for (std::size_t end = at + 2; end < bytes.size(); ++end) {
        if (!isFinalByte(bytes[end])) continue;
        isKey = end == at + 2 && keyOfArrow(bytes[end], key);
        return end - at + 1;
    }
    return 0;
}

// ---- raw mode -----------------------------------------------------------------------------

int terminalFd = -1;
termios savedSettings{};
termios rawSettings{};
volatile sig_atomic_t rawActive = 0;

// Ctrl-Z: the shell gets its terminal back as it left it, and raw mode returns on `fg`.
void onStop(int) {
    const int savedErrno = errno;
    const bool wasRaw = rawActive;
    giveTerminalBack();
    std::signal(SIGTSTP, SIG_DFL);
    raise(SIGTSTP);
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTSTP);
    sigprocmask(SIG_UNBLOCK, &stop, nullptr);  // the process stops here until continued
    installSignalHandler(SIGTSTP, onStop);
    if (wasRaw) tcsetattr(terminalFd, TCSANOW, &rawSettings);
    errno = savedErrno;
}

}  // namespace

void giveTerminalBack() {
    if (rawActive) tcsetattr(terminalFd, TCSANOW, &savedSettings);
}

void installSignalHandler(int signal, void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(signal, &action, nullptr);
}

void decodeKeys(KeyDecoder& decoder, std::string_view bytes, std::vector<Key>& keys) {
    std::string& pending = decoder.pending;
    pending.append(bytes.data(), bytes.size());
    std::size_t at = 0;
    while (at < pending.size()) {
        Key key{};
        if (pending[at] != kEscape) {
            if (keyOfByte(pending[at], key)) keys.push_back(key);
            ++at;
            continue;
        }
        bool isKey = false;
        const std::size_t length = escapeSequence(pending, at, key, isKey);
        if (length == 0) break;
        if (isKey) keys.push_back(key);
        at += length;
    }
    pending.erase(0, at);
}

bool enterRawMode(int fd) {
    if (!isatty(fd) || tcgetattr(fd, &savedSettings) != 0) return false;
    // Started in the background (`scanlog play log > out &`), the terminal is the shell's.
    const pid_t foreground = tcgetpgrp(fd);
    if (foreground != -1 && foreground != getpgrp()) return false;
    rawSettings = savedSettings;
    rawSettings.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    rawSettings.c_cc[VMIN] = 1;
    rawSettings.c_cc[VTIME] = 0;
    terminalFd = fd;
    installSignalHandler(SIGTSTP, onStop);
    if (tcsetattr(fd, TCSANOW, &rawSettings) != 0) {
        std::signal(SIGTSTP, SIG_DFL);
        return false;
    }
    rawActive = 1;
    return true;
}

void leaveRawMode() {
    if (!rawActive) return;
    tcsetattr(terminalFd, TCSANOW, &savedSettings);
    rawActive = 0;
    std::signal(SIGTSTP, SIG_DFL);
}

std::string statusText(const StatusView& view) {
    char text[256];
    if (view.record == 0) {
        std::snprintf(text, sizeof text, "%s", view.state);
        return text;
    }
    int length = std::snprintf(text, sizeof text, "%-10s  record %llu", view.state,
                               static_cast<unsigned long long>(view.record));
    if (view.total > 0) {
        length += std::snprintf(text + length, sizeof text - length, " of %llu",
                                static_cast<unsigned long long>(view.total));
    }
    length += std::snprintf(text + length, sizeof text - length, "  log %.3f s  speed %gx  %s", view.logSeconds,
                            view.speed, scaleText(view.zoom).c_str());
    if (view.heldAtEnd) std::snprintf(text + length, sizeof text - length, "  (left arrow: back, q: quit)");
    return text;
}

std::string statusLine(const std::string& text) { return "\r" + text + "\x1b[K"; }
