// The player's terminal: keys in raw mode, a one-line status, and the terminal's settings
// given back on every way out (end, q, an error, Ctrl-Z, and through signals.hpp SIGINT,
// SIGTERM, SIGHUP, SIGQUIT).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

enum class Key { pauseOrResume, stepForward, stepBack, faster, slower, zoomIn, zoomOut, quit };

// Turns bytes typed in raw mode into keys. An escape sequence cut between two reads is kept
// in `pending` until the rest arrives; sequences for other keys are skipped whole.
struct KeyDecoder {
    std::string pending;
};
void decodeKeys(KeyDecoder& decoder, std::string_view bytes, std::vector<Key>& keys);

// ---- raw mode -----------------------------------------------------------------------------

// Puts the terminal on `fd` into raw mode (no line editing, no echo; Ctrl-C still signals),
// remembering its settings; not when the process runs in the terminal's background. Ctrl-Z gives them back while the process is stopped, and raw
// mode returns when it continues. False when `fd` is not a terminal.
bool enterRawMode(int fd);
// Gives the terminal its settings back; safe to call when not in raw mode, and again.
void leaveRawMode();
// The same from a signal handler: async-signal-safe, and raw mode is still on afterwards.
void giveTerminalBack();
// Installs `handler` for `signal`, restarting interrupted system calls.
void installSignalHandler(int signal, void (*handler)(int));

// ---- status line --------------------------------------------------------------------------

struct StatusView {
    const char* state = "playing";  // "playing", "paused", "end of log"
    std::uint64_t record = 0;       // the record last written; 0 before the first
    std::uint64_t total = 0;        // records in the log; 0 while unknown
    double logSeconds = 0;          // the log time of that record, from the first record
    double speed = 1;
    bool heldAtEnd = false;         // the player waits at the end: say how to go on
    double zoom = 1;                // the records' zoom (see scaleText)
};
std::string statusText(const StatusView& view);

// At most this often the status line is drawn again.
constexpr std::int64_t kStatusIntervalNs = 100'000'000;

// The line as drawn on a terminal: from the first column, the rest of the row cleared.
std::string statusLine(const std::string& text);
// What clears the line again.
constexpr const char* kClearStatus = "\r\x1b[K";
