// The player: its schedule on a virtual clock (no test here sleeps for the pace), its keys,
// the history it steps back through, and, on a pseudo-terminal, raw mode and the terminal
// given back however the play ends. `view` is run against stand-in viewers.
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <sys/stat.h>

#include "commands/commands.hpp"
#include "play/find_viewer.hpp"
#include "play/player.hpp"
#include "play/summary.hpp"
#include "stream/records.hpp"
#include "scanlog_test_support.hpp"

namespace {

constexpr std::int64_t kMs = 1'000'000;
constexpr std::int64_t kSecond = 1'000'000'000;

// ---- a world on a virtual clock -----------------------------------------------------------

struct Typed {
    std::int64_t at;
    std::string bytes;
};

struct Stall {
    std::int64_t from, to;  // the output has no room in [from, to)
};

struct Delay {
    std::int64_t from, by;  // the first wait that ends at `from` or later ends `by` later (a busy machine)
};

struct Written {
    std::int64_t at;
    std::uint64_t record;
    bool operator==(const Written& other) const { return at == other.at && record == other.record; }
};

std::ostream& operator<<(std::ostream& out, const Written& w) {
    return out << "record " << w.record << " at " << static_cast<double>(w.at) / kMs << " ms";
}

struct World {
    std::int64_t now = 0;
    std::vector<Typed> typed;  // in time order
    std::size_t typedNext = 0;
    std::vector<Stall> stalls;
    std::vector<Delay> delays;
    std::int64_t goneAt = kNoDeadline;  // the output's reader goes away then
    std::vector<std::string> lines;
    std::vector<Written> written;
    std::vector<std::string> statuses;
    int waits = 0;
};

std::int64_t roomFrom(const World& world, std::int64_t at) {
    for (const Stall& stall : world.stalls) {
        if (at >= stall.from && at < stall.to) at = stall.to;
    }
    return at;
}

// Every wait jumps the clock straight to whatever comes first.
WaitResult waitIn(World& world, std::int64_t deadline, bool wantRoom) {
    WaitResult result;
    if (++world.waits > 100000) {
        ADD_FAILURE() << "the player keeps waiting without end";
        result.signal = SIGTERM;
        return result;
    }
    const std::int64_t keys = world.typedNext < world.typed.size() ? world.typed[world.typedNext].at : kNoDeadline;
    const std::int64_t room = wantRoom ? roomFrom(world, world.now) : kNoDeadline;
    const std::int64_t until = std::min({deadline, keys, room, world.goneAt});
    if (until == kNoDeadline) {
        ADD_FAILURE() << "the player would wait forever";
        result.signal = SIGTERM;
        return result;
    }
    world.now = std::max(world.now, until);
    for (Delay& delay : world.delays) {
        if (delay.by > 0 && world.now >= delay.from) {
            world.now += delay.by;
            delay.by = 0;
        }
    }
    if (keys <= world.now) result.keys = world.typed[world.typedNext++].bytes;
    if (world.goneAt <= world.now) result.outputGone = true;
    result.room = wantRoom && room <= world.now;
    return result;
}

PlayerIo ioIn(World& world, bool statusLine = false) {
    PlayerIo io;
    io.now = [&world] { return world.now; };
    io.wait = [&world](std::int64_t deadline, bool wantRoom) { return waitIn(world, deadline, wantRoom); };
    io.write = [&world](std::string_view line) {
        if (world.now >= world.goneAt) return EPIPE;
        world.lines.emplace_back(line);
        world.written.push_back({world.now, std::stoull(std::string(line.substr(0, line.find(' '))))});
        return 0;
    };
    if (statusLine) io.showStatus = [&world](const std::string& text) { world.statuses.push_back(text); };
    return io;
}

// Record `number`: leading value `number`, readings that differ from every other record's.
LogScan scanOf(std::uint64_t number, std::int64_t stampNs = 0, bool timed = false) {
    LogScan scan;
    scan.number = number;
    scan.leadingText = std::to_string(number);
    scan.record.leadingValue = static_cast<double>(number);
    for (int i = 0; i < kReadingCount; ++i) scan.record.readings[i] = static_cast<double>(number * 1000 + i);
    scan.stampNs = stampNs;
    scan.timed = timed;
    return scan;
}

std::vector<LogScan> scansAtRate(std::uint64_t count) {
    std::vector<LogScan> scans;
    for (std::uint64_t n = 1; n <= count; ++n) scans.push_back(scanOf(n));
    return scans;
}

std::vector<LogScan> scansAt(const std::vector<std::int64_t>& stamps) {
    std::vector<LogScan> scans;
    for (std::size_t i = 0; i < stamps.size(); ++i) scans.push_back(scanOf(i + 1, stamps[i], true));
    return scans;
}

PlayOptions atRate(double rate, double speed = 1) {
    PlayOptions options;
    options.rate = rate;
    options.speed = speed;
    return options;
}

struct Played {
    Player player;
    std::vector<Written> written;
};

Played play(World& world, const PlayOptions& options, const std::vector<LogScan>& scans, bool holdAtEnd = false,
            const std::string& damage = "", bool statusLine = false) {
    Played played{makePlayer(options, ioIn(world, statusLine), holdAtEnd), {}};
    LogInfo info;
    info.format = "ROS 1 bag";
    startHistory(played.player, info, "test.bag");
    for (const LogScan& scan : scans) {
        if (!playerTakes(played.player, scan)) break;
    }
    playerTakesEnd(played.player, damage);
    if (played.player.history.keptFd >= 0) close(played.player.history.keptFd);
    played.written = world.written;
    return played;
}

std::vector<Written> writes(std::initializer_list<std::pair<double, std::uint64_t>> msAndRecords) {
    std::vector<Written> list;
    for (const auto& [ms, record] : msAndRecords) list.push_back({std::llround(ms * kMs), record});
    return list;
}

// ---- the schedule -------------------------------------------------------------------------

TEST(Schedule, RecordsGoOutAtTheRateTimesTheSpeedWithoutDrift) {
    struct Case {
        double rate, speed;
    };
    for (const Case c : {Case{75, 1}, Case{10, 2}, Case{75, 100}, Case{40, 0.1}}) {
        World world;
        const Played played = play(world, atRate(c.rate, c.speed), scansAtRate(750));
        ASSERT_EQ(played.written.size(), 750u) << c.rate << " Hz x" << c.speed;
        for (std::size_t k = 0; k < played.written.size(); ++k) {
            const double wanted = static_cast<double>(k) * 1e9 / c.rate / c.speed;
            ASSERT_NEAR(static_cast<double>(played.written[k].at), wanted, 2) << "record " << k + 1;
            ASSERT_EQ(played.written[k].record, k + 1);
        }
        EXPECT_EQ(played.player.end, PlayEnd::endOfLog);
    }
}

TEST(Schedule, TimedLogsFollowTheirStampsAndSkipBackwardsAndLongSteps) {
    World world;
    // 100 ms, 150 ms, a repeat, a step back, a 10 s jump, then 100 ms again, and a step of
    // exactly 5 s, which is still waited for.
    const Played played =
        play(world, atRate(75), scansAt({0, 100 * kMs, 250 * kMs, 250 * kMs, 200 * kMs, 10200 * kMs, 10300 * kMs,
                                         15300 * kMs}));
    EXPECT_EQ(played.written, writes({{0, 1}, {100, 2}, {250, 3}, {250, 4}, {250, 5}, {250, 6}, {350, 7}, {5350, 8}}));
    EXPECT_EQ(played.player.unwaitedSteps, 2u);
    EXPECT_NE(summaryLine(played.player).find("; 2 time steps backwards or longer than 5 s played without a wait"),
              std::string::npos)
        << summaryLine(played.player);
}

TEST(Schedule, AStalledReaderDelaysWhatFollowsAndABusyMachineCatchesUp) {
    struct Case {
        const char* name;
        std::vector<Stall> stalls;
        std::vector<Delay> delays;
        std::vector<Written> expected;
    };
    const Case cases[] = {
        // Record 4 waits for room until 730 ms; from there on, 100 ms apart again.
        {"long stall", {{250 * kMs, 730 * kMs}}, {}, writes({{0, 1}, {100, 2}, {200, 3}, {730, 4}, {830, 5}, {930, 6}})},
        {"short stall", {{290 * kMs, 305 * kMs}}, {}, writes({{0, 1}, {100, 2}, {200, 3}, {305, 4}, {405, 5}, {505, 6}})},
        {"stall at the start", {{0, 50 * kMs}}, {}, writes({{50, 1}, {150, 2}, {250, 3}, {350, 4}, {450, 5}, {550, 6}})},
        // Under a millisecond is the player's own time, caught up like any lateness of its own.
        {"no stall", {{300 * kMs, 300 * kMs + 500'000}}, {}, writes({{0, 1}, {100, 2}, {200, 3}, {300.5, 4}, {400, 5}, {500, 6}})},
        // The player itself woke 150 ms late: the schedule stays, record 5 is overdue at once.
        {"busy machine", {}, {{300 * kMs, 150 * kMs}}, writes({{0, 1}, {100, 2}, {200, 3}, {450, 4}, {450, 5}, {500, 6}})},
        // Too late to catch up without a rush: the schedule moves instead.
        {"very busy machine", {}, {{300 * kMs, 700 * kMs}},
         writes({{0, 1}, {100, 2}, {200, 3}, {1000, 4}, {1100, 5}, {1200, 6}})},
    };
    for (const Case& c : cases) {
        World world;
        world.stalls = c.stalls;
        world.delays = c.delays;
        const Played played = play(world, atRate(10), scansAtRate(6));
        EXPECT_EQ(played.written, c.expected) << c.name;
    }
}

TEST(Schedule, APauseWhileWaitingForRoomIsNotCountedAsAStall) {
    World world;
    world.stalls = {{250 * kMs, 400 * kMs}};
    world.typed = {{350 * kMs, " "}, {1350 * kMs, " "}};
    // Record 4, due at 300 ms, waits; paused at 350 ms with 50 ms of it behind, resumed at
    // 1350 ms: it is overdue then, and the next one comes a step later.
    const Played played = play(world, atRate(10), scansAtRate(6));
    EXPECT_EQ(played.written, writes({{0, 1}, {100, 2}, {200, 3}, {1350, 4}, {1450, 5}, {1550, 6}}));
}

TEST(Schedule, PaceFiguresInTheSummary) {
    World world;
    world.stalls = {{250 * kMs, 730 * kMs}};
    const Played played = play(world, atRate(10), scansAtRate(6));
    // Five intervals of 100 ms took 930 ms, 430 ms of them the reader's.
    EXPECT_EQ(summaryLine(played.player), "scanlog: played 6 records in 0.930 s (0.500 s of log); zoom 1x: 80 m ahead, 40 m to each side; "
                                          "pace kept 100.00%, "
                                          "latest record 0.00 ms late; the reader held records up for 0.430 s");
    World busy;
    busy.delays = {{150 * kMs, 50 * kMs}};
    // Record 3 went out 50 ms late, and record 4 on time again: the pace was kept.
    EXPECT_EQ(summaryLine(play(busy, atRate(10), scansAtRate(4)).player),
              "scanlog: played 4 records in 0.300 s (0.300 s of log); zoom 1x: 80 m ahead, 40 m to each side; pace kept 100.00%, "
              "latest record 50.00 ms late");
    World quiet;
    EXPECT_EQ(summaryLine(play(quiet, atRate(10), scansAtRate(1)).player),
              "scanlog: played 1 record in 0.000 s (0.000 s of log); zoom 1x: 80 m ahead, 40 m to each side");
    World none;
    EXPECT_EQ(summaryLine(play(none, atRate(10), {}).player), "scanlog: played no records");
}

TEST(Pace, SpeedKeysStayWithinATenthAndAHundred) {
    struct Case {
        double speed, faster, slower;
    };
    for (const Case c : {Case{1, 2, 0.5}, Case{64, 100, 32}, Case{100, 100, 50}, Case{0.1, 0.2, 0.1}, Case{0.15, 0.3, 0.1}}) {
        EXPECT_DOUBLE_EQ(fasterSpeed(c.speed), c.faster) << c.speed;
        EXPECT_DOUBLE_EQ(slowerSpeed(c.speed), c.slower) << c.speed;
    }
}

// ---- keys ---------------------------------------------------------------------------------

const std::string kUp = "\x1b[A", kDown = "\x1b[B", kRight = "\x1b[C", kLeft = "\x1b[D";

TEST(Keys, ChangeThePlayAsTheyCome) {
    struct Case {
        const char* name;
        std::vector<Typed> typed;
        std::vector<Written> expected;
        PlayEnd end;
    };
    const Case cases[] = {
        // At 150 ms the log clock shows 150 ms; record 3 (200 ms) is 50 ms of log away: 25 ms.
        {"up doubles", {{150 * kMs, kUp}}, writes({{0, 1}, {100, 2}, {175, 3}, {225, 4}, {275, 5}, {325, 6}}),
         PlayEnd::endOfLog},
        {"down halves", {{150 * kMs, kDown}}, writes({{0, 1}, {100, 2}, {250, 3}, {450, 4}, {650, 5}, {850, 6}}),
         PlayEnd::endOfLog},
        // Paused 70 ms before record 3 was due: it comes 70 ms after the resume.
        {"pause and resume", {{130 * kMs, " "}, {1130 * kMs, " "}},
         writes({{0, 1}, {100, 2}, {1200, 3}, {1300, 4}, {1400, 5}, {1500, 6}}), PlayEnd::endOfLog},
        {"steps both ways while paused",
         {{50 * kMs, "s"}, {60 * kMs, kRight}, {70 * kMs, kLeft}, {80 * kMs, kLeft}, {90 * kMs, kLeft},
          {100 * kMs, "s"}, {110 * kMs, " "}},
         writes({{0, 1}, {50, 2}, {60, 3}, {70, 2}, {80, 1}, {100, 2}, {210, 3}, {310, 4}, {410, 5}, {510, 6}}),
         PlayEnd::endOfLog},
        // Typed ahead in one read, every step is still written, in order.
        {"type-ahead", {{50 * kMs, "s" + kRight + kLeft + "q"}}, writes({{0, 1}, {50, 2}, {50, 3}, {50, 2}}),
         PlayEnd::quit},
        {"step past the end stays", {{50 * kMs, "ssssssss"}, {60 * kMs, "q"}},
         writes({{0, 1}, {50, 2}, {50, 3}, {50, 4}, {50, 5}, {50, 6}}), PlayEnd::quit},
        {"quit", {{150 * kMs, "q"}}, writes({{0, 1}, {100, 2}}), PlayEnd::quit},
        // The reader takes nothing from 100 ms on: q still ends the play, step or no step.
        {"quit while stuck", {{150 * kMs, "s"}, {160 * kMs, "q"}}, writes({{0, 1}}), PlayEnd::quit},
    };
    for (const Case& c : cases) {
        World world;
        world.typed = c.typed;
        if (std::string(c.name) == "quit while stuck") world.stalls = {{100 * kMs, kNoDeadline}};
        const Played played = play(world, atRate(10), scansAtRate(6));
        EXPECT_EQ(played.written, c.expected) << c.name;
        EXPECT_EQ(played.player.end, c.end) << c.name;
    }
}

TEST(Keys, BytesBecomeKeysEvenWhenSequencesAreCut) {
    struct Case {
        const char* name;
        std::vector<std::string> reads;
        std::vector<Key> keys;
    };
    const Case cases[] = {
        {"letters", {" sSqQx"}, {Key::pauseOrResume, Key::stepForward, Key::stepForward, Key::quit, Key::quit}},
        {"arrows", {kUp + kDown + kRight + kLeft}, {Key::faster, Key::slower, Key::stepForward, Key::stepBack}},
        {"application mode arrows", {"\x1bOA\x1bOD"}, {Key::faster, Key::stepBack}},
        {"cut after the escape", {"\x1b", "[D"}, {Key::stepBack}},
        {"cut inside", {"s\x1b[", "C q"}, {Key::stepForward, Key::stepForward, Key::pauseOrResume, Key::quit}},
        {"other keys skipped whole", {"\x1b[5~\x1b[1;5C", "\x1b[15~s"}, {Key::stepForward}},
        {"alt and a key", {"\x1bq"}, {Key::quit}},
        {"zoom", {"+=-"}, {Key::zoomIn, Key::zoomIn, Key::zoomOut}},
    };
    for (const Case& c : cases) {
        KeyDecoder decoder;
        std::vector<Key> keys;
        for (const std::string& bytes : c.reads) decodeKeys(decoder, bytes, keys);
        EXPECT_EQ(keys, c.keys) << c.name;
    }
}

// The readings of a written line, after its leading value.
std::vector<double> readingsOf(const std::string& line) {
    std::istringstream in(line);
    double value = 0;
    in >> value;
    std::vector<double> readings;
    while (in >> value) readings.push_back(value);
    return readings;
}

// Record `number` at `zoom` as the player should write it: reading 5 has no return.
std::vector<double> zoomedReadings(std::uint64_t number, double zoom, double noReturn) {
    std::vector<double> readings;
    for (int i = 0; i < kReadingCount; ++i) readings.push_back(i == 5 ? noReturn : static_cast<double>(number * 1000 + i) * zoom);
    return readings;
}

TEST(Keys, ZoomChangesTheNextRecordOrAtOnceWhenPausedAndHistoryStaysUnscaled) {
    struct Expect {
        std::uint64_t record;
        double at;
        double zoom;
    };
    struct Case {
        const char* name;
        std::vector<Typed> typed;
        std::vector<Expect> expected;
    };
    const Case cases[] = {
        {"playing: from the next record", {{50 * kMs, "+"}, {250 * kMs, "q"}}, {{1, 0, 1}, {2, 100, 2}, {3, 200, 2}}},
        // Paused on record 3, `-` writes it again at once; stepping back shows record 2 at the
        // zoom of now, not of when it was played.
        {"paused: at once, and back through history",
         {{50 * kMs, "++"}, {250 * kMs, " "}, {300 * kMs, "-"}, {400 * kMs, kLeft}, {500 * kMs, "q"}},
         {{1, 0, 1}, {2, 100, 4}, {3, 200, 4}, {3, 300, 2}, {2, 400, 2}}},
        {"at most 1024", {{50 * kMs, std::string(12, '+')}, {150 * kMs, "q"}}, {{1, 0, 1}, {2, 100, 1024}}},
        {"at least 0.01 (1/64 is the last halving above it)", {{50 * kMs, std::string(8, '-')}, {150 * kMs, "q"}},
         {{1, 0, 1}, {2, 100, 1.0 / 64}}},
    };
    for (const Case& c : cases) {
        World world;
        world.typed = c.typed;
        PlayOptions options = atRate(10);
        options.picture.noReturn = 0;
        std::vector<LogScan> scans = scansAtRate(6);
        for (LogScan& scan : scans) scan.record.readings[5] = kNoReading;
        const Played played = play(world, options, scans);
        ASSERT_EQ(played.written.size(), c.expected.size()) << c.name;
        for (std::size_t k = 0; k < c.expected.size(); ++k) {
            const Expect& e = c.expected[k];
            EXPECT_EQ(played.written[k], (Written{std::llround(e.at * kMs), e.record})) << c.name << ", write " << k;
            std::vector<double> wanted = zoomedReadings(e.record, e.zoom, 0);
            for (double& reading : wanted) reading = std::round(reading * 100) / 100;
            EXPECT_EQ(readingsOf(world.lines[k]), wanted) << c.name << ", write " << k;
        }
    }
}

// ---- the end of a log ---------------------------------------------------------------------

TEST(End, LoopsStartAgainOneStepAfterTheLastRecord) {
    struct Case {
        const char* name;
        std::vector<LogScan> scans;
        std::uint64_t start;
        std::int64_t quitAt;
        std::vector<Written> expected;
    };
    const Case cases[] = {
        {"at a rate", scansAtRate(3), 1, 450 * kMs, writes({{0, 1}, {100, 2}, {200, 3}, {300, 1}, {400, 2}})},
        {"from --start", scansAtRate(3), 2, 450 * kMs, writes({{0, 2}, {100, 3}, {200, 2}, {300, 3}, {400, 2}})},
        // A timed log comes back after its mean step: (0.3 s + 0.1 s) / 2.
        {"timed", scansAt({0, 300 * kMs, 400 * kMs}), 1, 650 * kMs, writes({{0, 1}, {300, 2}, {400, 3}, {600, 1}})},
    };
    for (const Case& c : cases) {
        World world;
        world.typed = {{c.quitAt, "q"}};
        PlayOptions options = atRate(10);
        options.loop = true;
        options.start = c.start;
        const Played played = play(world, options, c.scans);
        EXPECT_EQ(played.written, c.expected) << c.name;
        EXPECT_EQ(played.player.end, PlayEnd::quit) << c.name;
    }
}

TEST(End, HoldingAtTheEndWaitsForKeysAndSaysSo) {
    World world;
    world.typed = {{5 * kSecond, kLeft}, {6 * kSecond, "q"}};
    const Played played = play(world, atRate(10), scansAtRate(3), true, "", true);
    EXPECT_EQ(played.written, writes({{0, 1}, {100, 2}, {200, 3}, {5000, 2}}));
    EXPECT_EQ(played.player.end, PlayEnd::quit);
    ASSERT_GE(world.statuses.size(), 2u);
    EXPECT_EQ(world.statuses[world.statuses.size() - 2],
              "end of log  record 3 of 3  log 0.200 s  speed 1x  zoom 1x: 80 m ahead, 40 m to each side  (left arrow: back, q: quit)");
    EXPECT_EQ(world.statuses.back(), "paused      record 2 of 3  log 0.100 s  speed 1x  zoom 1x: 80 m ahead, 40 m to each side");
}

TEST(End, EveryWayAPlayCanEnd) {
    struct Case {
        const char* name;
        std::uint64_t start;
        std::int64_t goneAt;
        std::string damage;
        std::size_t written;
        PlayEnd end;
    };
    const Case cases[] = {
        {"end of log", 1, kNoDeadline, "", 4, PlayEnd::endOfLog},
        {"reader gone", 1, 250 * kMs, "", 3, PlayEnd::readerGone},
        {"damaged log", 1, kNoDeadline, "Error reading laser file x: record 5 ends after 7 of 362 numbers", 4,
         PlayEnd::logFailed},
        {"start past the end", 5, kNoDeadline, "", 0, PlayEnd::startPastEnd},
        {"start past the end of a damaged log", 7, kNoDeadline, "damage", 0, PlayEnd::logFailed},
        {"no records", 1, kNoDeadline, "", 0, PlayEnd::endOfLog},
    };
    for (const Case& c : cases) {
        World world;
        world.goneAt = c.goneAt;
        PlayOptions options = atRate(10);
        options.start = c.start;
        options.loop = !c.damage.empty();  // a damaged log is never played again
        const std::vector<LogScan> scans = std::string(c.name) == "no records" ? std::vector<LogScan>() : scansAtRate(4);
        const Played played = play(world, options, scans, false, c.damage);
        EXPECT_EQ(played.player.end, c.end) << c.name;
        EXPECT_EQ(played.written.size(), c.written) << c.name;
        if (!c.damage.empty()) {
            EXPECT_EQ(played.player.error, c.damage) << c.name;
        }
    }
}

TEST(Status, IsDrawnAtMostTenTimesASecond) {
    World world;
    const Played played = play(world, atRate(75), scansAtRate(150), false, "", true);
    ASSERT_EQ(played.written.size(), 150u);
    // 2 s of records: the first status, then one per 100 ms at most.
    EXPECT_LE(world.statuses.size(), 21u);
    EXPECT_GE(world.statuses.size(), 15u);
}

TEST(Status, SaysStateRecordLogTimeAndSpeed) {
    struct Case {
        StatusView view;
        std::string text;
    };
    const Case cases[] = {
        {{"playing", 12, 450, 0.1467, 1, false, 1}, "playing     record 12 of 450  log 0.147 s  speed 1x  zoom 1x: 80 m ahead, 40 m to each side"},
        {{"paused", 3, 0, 2, 0.25, false, 8}, "paused      record 3  log 2.000 s  speed 0.25x  zoom 8x: 10 m ahead, 5 m to each side"},
        {{"paused", 3, 0, 2, 1, false, 0.25}, "paused      record 3  log 2.000 s  speed 1x  zoom 0.25x: 320 m ahead, 160 m to each side"},
        {{"paused", 3, 0, 2, 1, false, 1024}, "paused      record 3  log 2.000 s  speed 1x  zoom 1024x: 0.0781 m ahead, 0.0391 m to each side"},
        {{"playing", 0, 0, 0, 1, false}, "playing"},
    };
    for (const Case& c : cases) EXPECT_EQ(statusText(c.view), c.text);
}

// ---- the history of a scan file -------------------------------------------------------------

std::string recordText(std::uint64_t number, const std::string& separator = " ") {
    std::string text = std::to_string(number);
    for (int i = 0; i < kReadingCount; ++i) text += separator + std::to_string(number * 1000 + i) + ".5";
    return text;
}

std::string lineOf(std::uint64_t number) {
    const LogScan scan = scanOf(number);
    ScanRecord record = scan.record;
    for (double& reading : record.readings) reading += 0.5;
    std::string line;
    appendScanLine(scan.leadingText, record, line);
    return line;
}

// Plays the file with readLog as the player does, with `keys` typed at 50 ms and a quit at 1 s.
std::vector<std::string> playFile(const std::string& path, const std::string& keys, bool loop, bool& fromTheFile) {
    World world;
    world.typed = {{50 * kMs, keys}, {kSecond, "q"}};
    PlayOptions options = atRate(10);
    options.loop = loop;
    Player player = makePlayer(options, ioIn(world), false);
    LogSink sink;
    sink.begin = [&](const LogInfo& info) { startHistory(player, info, path); };
    sink.scan = [&](const LogScan& scan) { return playerTakes(player, scan); };
    std::string error;
    EXPECT_TRUE(readLog(path, LogOptions{}, false, sink, error)) << error;
    playerTakesEnd(player, "");
    fromTheFile = !player.history.sourcePath.empty();
    closeScanInput(player.history.rereader);
    if (player.history.keptFd >= 0) close(player.history.keptFd);
    EXPECT_EQ(player.end, PlayEnd::quit);
    return world.lines;
}

TEST(History, StepsBackReadTheSameRecordsAgain) {
    TempDir dir;
    // Odd layouts move every record's offset: a stepped-back record read from a wrong one
    // comes out shifted or fails.
    struct Case {
        const char* name;
        std::string text;
        bool compressed;
    };
    const Case cases[] = {
        {"one a line", recordText(1) + "\n" + recordText(2) + "\n" + recordText(3) + "\n" + recordText(4) + "\n", false},
        {"crlf and blank lines", "\r\n\r\n" + recordText(1) + "\r\n\r\n" + recordText(2, "\t") + "\r\n" +
                                     recordText(3, "  ") + "\r\n" + recordText(4) + "\r\n",
         false},
        {"records across lines", recordText(1, "\n") + "\n" + recordText(2, " \n") + " " + recordText(3) + " " +
                                     recordText(4),
         false},
        {"gzip-compressed", recordText(1) + "\n" + recordText(2) + "\n" + recordText(3) + "\n" + recordText(4) + "\n",
         true},
    };
    for (const Case& c : cases) {
        std::string path = dir.file("log.scans", c.text);
        if (c.compressed) {
            ASSERT_EQ(std::system(("gzip -f '" + path + "'").c_str()), 0);
            path += ".gz";
        }
        bool fromTheFile = false;
        const std::vector<std::string> back = playFile(path, "ss" + kLeft + kLeft + kLeft + "q", false, fromTheFile);
        EXPECT_EQ(fromTheFile, !c.compressed) << c.name;
        EXPECT_EQ(back, (std::vector<std::string>{lineOf(1), lineOf(2), lineOf(3), lineOf(2), lineOf(1)})) << c.name;
        // A loop reads the file again from the start, and on in order.
        const std::vector<std::string> twice = playFile(path, "", true, fromTheFile);
        ASSERT_GE(twice.size(), 9u) << c.name;
        for (std::size_t i = 0; i < 9; ++i) EXPECT_EQ(twice[i], lineOf(i % 4 + 1)) << c.name << ", line " << i;
    }
}

// ---- on a pseudo-terminal ------------------------------------------------------------------

std::vector<std::uint64_t> leadingValues(const std::string& text) {
    std::vector<std::uint64_t> values;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) values.push_back(std::stoull(line));
    return values;
}

std::string slowLog(const TempDir& dir, std::uint64_t records) {
    std::string text;
    for (std::uint64_t n = 1; n <= records; ++n) text += recordText(n) + "\n";
    return dir.file("slow.scans", text);
}

// One record every 1000 s: after the first, only keys make anything happen.
PlayOptions crawling() {
    PlayOptions options;
    options.rate = 0.001;
    return options;
}

TEST(Terminal, KeysReachThePlayerAndEveryWayOutGivesTheTerminalBack) {
    TempDir dir;
    const std::string good = slowLog(dir, 5);
    const std::string damaged = dir.file("damaged.scans", recordText(1) + "\n" + recordText(2) + "\n12 x\n");
    struct Case {
        const char* name;
        std::string log;
        double rate;                // 0.001: after the first record only keys do anything
        std::vector<std::string> keys;  // typed one at a time, each once its record is out
        std::string quit;           // typed last
        int signal;                 // or sent last
        int status;                 // exit status, or -signal
        std::vector<std::uint64_t> records;
        std::string err;            // the end of standard error
    };
    const Case cases[] = {
        {"keys and q", good, 0.001, {"s", kRight, kLeft}, "q", 0, 0, {1, 2, 3, 2}, "scanlog: played 4 records"},
        {"end of log", good, 1e6, {}, "", 0, 0, {1, 2, 3, 4, 5}, "scanlog: played 5 records"},
        {"damaged log", damaged, 1e6, {}, "", 0, 1, {1, 2}, "Error reading laser file " + damaged + ": bad number \"x\" at line 3 (record 3)"},
        // A step first: paused, the player is sure to be in its own loop, not reading.
        {"SIGTERM", good, 0.001, {"s"}, "", SIGTERM, -SIGTERM, {1, 2}, "scanlog: played 2 records"},
        {"SIGHUP", good, 0.001, {"s"}, "", SIGHUP, -SIGHUP, {1, 2}, "scanlog: played 2 records"},
        {"SIGINT", good, 0.001, {"s"}, "", SIGINT, -SIGINT, {1, 2}, "scanlog: played 2 records"},
        {"SIGQUIT", good, 0.001, {"s"}, "", SIGQUIT, -SIGQUIT, {1, 2}, "scanlog: played 2 records"},
    };
    for (const Case& c : cases) {
        Terminal terminal;
        PlayOptions options;
        options.rate = c.rate;
        Child child = startChild([&] { return runPlay(c.log, options); }, terminal.slave);
        collect(child, [](const Child& ch) { return lineCount(ch.outText) >= 1; });
        EXPECT_TRUE(c.rate > 1 || !terminal.cooked()) << c.name << ": not in raw mode while playing";
        for (std::size_t k = 0; k < c.keys.size(); ++k) {
            terminal.type(c.keys[k]);
            collect(child, [k](const Child& ch) { return lineCount(ch.outText) >= k + 2; });
        }
        terminal.type(c.quit);
        if (c.signal != 0) kill(child.pid, c.signal);
        finish(child);
        EXPECT_EQ(child.status, c.status) << c.name << ": " << child.errText;
        EXPECT_EQ(leadingValues(child.outText), c.records) << c.name;
        EXPECT_NE(child.errText.find(c.err), std::string::npos) << c.name << ": " << child.errText;
        EXPECT_TRUE(terminal.cooked()) << c.name << ": the terminal was left in raw mode";
    }
}

TEST(Terminal, ASignalWhileTheLogIsReadStillGivesTheTerminalBack) {
    TempDir dir;
    const std::string fifo = dir.path + "/live.scans";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    Terminal terminal;
    Child child = startChild([&] { return runPlay(fifo, crawling()); }, terminal.slave);
    const int feed = open(fifo.c_str(), O_WRONLY);
    ASSERT_GE(feed, 0);
    // Raw mode comes before the log is read; the reader then waits for a log that never comes.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (terminal.cooked() && std::chrono::steady_clock::now() < deadline) usleep(10000);
    ASSERT_FALSE(terminal.cooked());
    kill(child.pid, SIGTERM);
    finish(child);
    close(feed);
    EXPECT_EQ(child.status, -SIGTERM);
    EXPECT_TRUE(terminal.cooked()) << "the terminal was left in raw mode";
}

// Standard input is a file of keys here: not a terminal, so no keys, no status line.
TEST(Play, MessagesAndStatusForEveryOutcome) {
    TempDir dir;
    const std::string log = slowLog(dir, 3);
    const std::string missing = dir.path + "/none.scans";
    struct Case {
        const char* name;
        std::string input;
        std::uint64_t start;
        const char* output;  // a file for standard output; null: the pipe
        bool readerLeaves;   // standard output is a pipe whose reader has gone
        int status;
        std::string err;     // standard error, or its start when it ends in "..."
        std::size_t records;
    };
    const Case cases[] = {
        {"played", log, 1, nullptr, false, 0, "scanlog: played 3 records in ...", 3},
        {"missing log", missing, 1, nullptr, false, 1, "scanlog: cannot open " + missing + ": No such file or directory\n", 0},
        {"start past the end", log, 9, nullptr, false, 1, "scanlog: " + log + " has 3 records; --start 9 is past its end\n", 0},
        {"full disk", log, 1, "/dev/full", false, 1, "scanlog: error writing standard output: No space left on device\n", 0},
        {"reader gone", log, 1, nullptr, true, 0, "scanlog: played no records\n", 0},
    };
    for (const Case& c : cases) {
        PlayOptions options;
        options.rate = 1e6;
        options.start = c.start;
        const int keys = open(dir.file("keys", "ss" + kLeft + "q").c_str(), O_RDONLY);
        Child child = startChild(
            [&] {
                int gone[2];
                if (c.output != nullptr) dup2(open(c.output, O_WRONLY), STDOUT_FILENO);
                if (c.readerLeaves && pipe(gone) == 0) {
                    close(gone[0]);
                    dup2(gone[1], STDOUT_FILENO);
                }
                return runPlay(c.input, options);
            },
            keys);
        finish(child);
        close(keys);
        EXPECT_EQ(child.status, c.status) << c.name;
        EXPECT_EQ(lineCount(child.outText), c.records) << c.name;
        EXPECT_EQ(lineCount(child.errText), 1u) << c.name << ": " << child.errText;
        EXPECT_EQ(child.errText.find('\r'), std::string::npos) << c.name;
        const bool prefix = c.err.size() > 3 && c.err.compare(c.err.size() - 3, 3, "...") == 0;
        EXPECT_EQ(prefix ? child.errText.substr(0, c.err.size() - 3) : child.errText, prefix ? c.err.substr(0, c.err.size() - 3) : c.err) << c.name;
    }
}

// ---- view, with stand-in viewers ----------------------------------------------------------

std::string viewerScript(const TempDir& dir, const std::string& folder, const std::string& body) {
    mkdir((dir.path + "/" + folder).c_str(), 0700);
    const std::string path = dir.file(folder + "/rangeScanInspector", "#!/bin/sh\n" + body + "\n");
    chmod(path.c_str(), 0700);
    return dir.path + "/" + folder;
}

TEST(View, FindsTheViewerBesideScanlogFirstThenOnThePath) {
    TempDir dir;
    const std::string beside = viewerScript(dir, "beside", "exit 0"), onPath = viewerScript(dir, "onpath", "exit 0");
    const std::string none = viewerScript(dir, "plain", "") + "/x";  // a folder that does not exist
    chmod((dir.path + "/plain/rangeScanInspector").c_str(), 0600);  // there, but not a program
    const std::string plain = dir.path + "/plain", viewer = "/rangeScanInspector";
    struct Case {
        std::string ownFolder, searchPath, found;
    };
    const Case cases[] = {{beside, onPath, beside + viewer}, {none, none + ":" + onPath, onPath + viewer},
                          {plain, plain + ":" + onPath, onPath + viewer}, {none, plain + ":" + none, ""}, {none, "", ""}};
    for (const Case& c : cases) EXPECT_EQ(findViewer(c.ownFolder, c.searchPath), c.found) << c.searchPath;
}

TEST(View, PassesTheViewersEndAndMessagesOn) {
    TempDir dir;
    const std::string log = slowLog(dir, 3);
    std::string allLines;
    for (std::uint64_t n = 1; n <= 3; ++n) allLines += lineOf(n);
    struct Case {
        const char* name;
        std::string viewer;  // the stand-in's script; empty: there is none
        int status;
        std::string err;     // what standard error starts with
        std::string echo;
    };
    const Case cases[] = {
        {"reads it all", "exec /bin/cat \"$1\"", 0, "scanlog: played 3 records", allLines},
        {"window closed", "/usr/bin/head -c 100 \"$1\" > /dev/null\necho 'Stopped: the window was closed after record 1' >&2\nexit 130",
         130, "Stopped: the window was closed after record 1\nscanlog: played ", ""},
        {"no display", "echo 'Error opening display. Please ensure a graphical display is available' >&2\nexit 1", 1,
         "Error opening display. Please ensure a graphical display is available\nscanlog: played ", ""},
        {"no viewer", "", 1, "scanlog: cannot find rangeScanInspector, neither beside scanlog", ""},
    };
    for (const Case& c : cases) {
        const std::string folder = c.viewer.empty() ? dir.path : viewerScript(dir, c.name, c.viewer);
        const std::string echo = dir.path + "/echo.txt";
        const int input = open("/dev/null", O_RDONLY);
        PlayOptions options;
        options.rate = 1e6;
        Child child = startChild(
            [&] {
                setenv("PATH", folder.c_str(), 1);
                return runView(log, options, echo, "scanlog");
            },
            input);
        finish(child);
        close(input);
        EXPECT_EQ(child.status, c.status) << c.name << ": " << child.errText;
        EXPECT_EQ(child.errText.rfind(c.err, 0), 0u) << c.name << ": " << child.errText;
        if (!c.echo.empty()) {
            EXPECT_EQ(readFile(echo), c.echo) << c.name;
        }
        std::remove(echo.c_str());
    }
}

}  // namespace
