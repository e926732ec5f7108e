// Playing a log at its pace, with keys: the part that `scanlog play` and `scanlog view` share.
//
// The log's readers push records (readLog calls back for each); the player takes each one,
// keeps what it needs to find it again, and runs its loop until it wants the next record:
// waiting for the record's time, reading keys, stepping back through records it has kept.
// Everything the loop does to the world goes through PlayerIo, so that the tests drive it
// on a clock of their own, with scripted keys and a reader that stalls when they say so.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <string_view>

#include "play_options.hpp"
#include "stream/log_source.hpp"
#include "history.hpp"
#include "pacing.hpp"
#include "signals.hpp"
#include "terminal.hpp"

// What a wait brought.
struct WaitResult {
    std::string keys;            // bytes typed
    int signal = 0;              // a signal that asks the player to end
    bool room = false;           // the output takes a record now (asked for with wantRoom)
    bool outputGone = false;     // the output's reader went away
    bool statusCleared = false;  // something else wrote over the status line
};

struct PlayerIo {
    std::function<std::int64_t()> now;  // nanoseconds on a steady clock
    // Waits until `deadline` at the latest (kNoDeadline: no limit) for keys, a signal, or,
    // with `wantRoom`, room in the output.
    std::function<WaitResult(std::int64_t deadline, bool wantRoom)> wait;
    // Writes one record's line; 0, or the errno of the failure (EPIPE: the reader went away).
    std::function<int(std::string_view line)> write;
    std::function<void(const std::string& text)> showStatus;  // empty: there is no status line
};

enum class PlayState { playing, paused, atEnd };

enum class PlayEnd {
    none,
    endOfLog,     // every record was played
    quit,         // q
    readerGone,   // the output's reader went away
    signal,       // SIGINT, SIGTERM, SIGHUP, SIGQUIT
    writeFailed,  // the output refused a record
    logFailed,    // the log could not be read, or is damaged; every record before was played
    startPastEnd, // --start is beyond the last record
    keepFailed,   // a record could not be kept for stepping back, or found again
};

struct Player {
    PlayOptions options;
    PlayerIo io;
    bool holdAtEnd = false;     // at the end of the log, wait for keys instead of ending
    History history;

    bool timed = false;         // paced by the records' own times; otherwise at options.rate
    std::uint64_t known = 0;    // records taken from the log so far
    std::uint64_t total = 0;    // records in the log, when known
    bool logEnded = false;
    bool scanFile = false;      // the log is a scan file (its no returns are its own numbers)
    KeptRecord live;            // the newest record, unscaled
    std::uint64_t liveNumber = 0;
    KeptRecord found;           // a record found again in the history
    std::string line;           // the line written last

    // Records are written at this zoom: the one the log was read with (LogScan::zoom, chosen
    // from the first record played), then doubled and halved by the keys.
    double zoom = 1;
    bool zoomChosen = false;
    bool redrawPending = false;  // the shown record is to be written again at the new zoom

    PlayState state = PlayState::playing;
    std::uint64_t shown = 0;    // the record written last; 0 before the first
    std::uint64_t next = 1;     // the record that playing writes next
    bool nextPrepared = false;  // the schedule has been told how `next` follows `shown`
    bool wrapping = false;      // `next` is the first record again after a loop
    bool paceStarted = false;
    Pace pace;
    KeyDecoder decoder;
    std::deque<Key> keys;       // typed, not yet acted on (one at a time, each step written)
    bool stepPending = false;
    bool stepBackwards = false;
    std::uint64_t roomAskedFor = 0;  // the record waiting for room in the output, and since when
    std::int64_t roomAskedAt = 0;

    PlayEnd end = PlayEnd::none;
    int signal = 0;
    int writeErrno = 0;
    std::string error;          // the log's own message (logFailed, keepFailed)

    // For the summary.
    std::uint64_t written = 0;
    std::int64_t firstWriteNs = 0;
    std::int64_t lastWriteNs = 0;
    std::int64_t logCoveredNs = 0;
    std::uint64_t unwaitedSteps = 0;

    std::string statusDrawn;
    std::int64_t statusDrawnAt = 0;
};

Player makePlayer(const PlayOptions& options, const PlayerIo& io, bool holdAtEnd);

// Chooses where records are found again: the scan file itself when `info` says it is a
// plain scan file and `path` is a regular file; a temporary file otherwise.
void startHistory(Player& player, const LogInfo& info, const std::string& path);

// Hands the player the log's next record and runs the loop until it wants another: false
// when it has finished (see player.end).
bool playerTakes(Player& player, const LogScan& scan);
// The log has ended (`error`: damaged, with the reader's message); plays what is left.
void playerTakesEnd(Player& player, const std::string& error);
