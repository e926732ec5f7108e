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

// Where records already played are found again.
struct History {
    std::vector<std::int64_t> logTimes;  // each record's log time, record 1 first
    std::vector<std::uint64_t> offsets;  // each record's place in the scan file or in keptFd
    // A seekable scan file is read again by the viewer's own reader, from a record's offset.
    std::string sourcePath;              // empty: the lines are kept in keptFd instead
    ScanInput rereader;
    std::uint64_t rereaderNext = 0;      // the record `rereader` reads next; 0 when closed
    // Anything else (converted logs, pipes, compressed files): the written lines are kept in
    // an unnamed temporary file, so that memory does not grow with the log.
    int keptFd = -1;
    std::uint64_t keptBytes = 0;
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
    std::string liveLine;       // the newest record's line
    std::uint64_t liveNumber = 0;
    std::string foundLine;      // a record's line found again in the history

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

// The summary line, without a line end: records, wall time, log time, pace kept.
std::string summaryLine(const Player& player);

// ---- on a real terminal -------------------------------------------------------------------

struct PlayOutcome {
    PlayEnd end = PlayEnd::none;
    int signal = 0;
    int writeErrno = 0;
    std::string error;
    std::uint64_t records = 0;  // records the log was found to hold (all of them, at its end)
    std::uint64_t written = 0;
    std::string summary;
};

// Plays `input` into `outFd`: keys and raw mode when standard input is a terminal, the
// status line when standard error is one too, signals caught throughout. `relayFd` (-1:
// none) is copied to standard error as it comes, keeping clear of the status line. The
// terminal is given back before this returns; a caught signal is in the outcome, for the
// caller to end by once it has tidied up (endBySignal).
PlayOutcome playLog(const std::string& input, const PlayOptions& options, int outFd, int relayFd, bool holdAtEnd);

// The error line for an outcome that is a failure of the player's own (the log, the output
// called `output`, the records kept); empty for the others.
std::string outcomeMessage(const PlayOutcome& outcome, const std::string& input, const PlayOptions& options,
                           const std::string& output);

// ---- view ---------------------------------------------------------------------------------

// The viewer to start: `rangeScanInspector` in `ownFolder` (where scanlog itself lives) if it
// is there and executable, else the first one on `searchPath` (PATH's form). Empty when
// there is none.
std::string findViewer(const std::string& ownFolder, const std::string& searchPath);
