// `scanlog convert` run as a user runs it: command line, messages, exit status, the scan file
// it writes, and every real sample in ../shared/data/formats when that folder is there.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <thread>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <zlib.h>

#include "run_program.hpp"
#include "test_support.hpp"
#include "scan_reader.hpp"

namespace {

const std::string kScanlog = SCANLOG_PATH;
const std::string kViewer = VIEWER_PATH;
// The real samples: beside the project, or wherever RSI_SHARED_DATA says (a worktree elsewhere).
const std::string kShared = std::getenv("RSI_SHARED_DATA") != nullptr ? std::getenv("RSI_SHARED_DATA") : SHARED_DATA_PATH;

ProgramResult scanlog(std::vector<std::string> arguments) {
    ProgramRun run;
    run.argv = {kScanlog};
    run.argv.insert(run.argv.end(), arguments.begin(), arguments.end());
    return runProgram(run);
}

// A record of `lead` and 361 readings base, base + 1, ...; spread over `perLine` numbers a line.
std::string recordText(const std::string& lead, double base, int perLine) {
    std::ostringstream text;
    text << lead;
    for (int i = 0; i < kReadingCount; ++i) text << ((i + 1) % perLine ? ' ' : '\n') << base + i;
    text << '\n';
    return text.str();
}

std::string recordLine(const std::string& lead, double base) { return recordText(lead, base, 1000); }

void writeGzip(const std::string& path, const std::string& contents) {
    gzFile file = gzopen(path.c_str(), "wb");
    gzwrite(file, contents.data(), static_cast<unsigned>(contents.size()));
    gzclose(file);
}

TEST(ConvertCommandLine, MistakesAreOneLineAndStatusTwo) {
    struct Case {
        std::vector<std::string> arguments;
        int status;
        std::string err;  // exact, or a part when `partial`
        bool partial;
    };
    const Case cases[] = {
        {{}, 2, "scanlog: A subcommand is required (see scanlog --help)\n", false},
        {{"convert"}, 2, "scanlog: INPUT is required (see scanlog --help)\n", false},
        {{"convert", "--stamp", "sometimes", "x"}, 2, "--stamp", true},
        {{"convert", "--fast", "x"}, 2, "--fast", true},
        {{"convert", "a", "b"}, 2, "b", true},
        {{"frob", "log"}, 2,
         "scanlog: unknown subcommand \"frob\": the subcommands are convert, play, view, render, info or map (see scanlog --help)\n",
         false},
        {{"\x1b[2J"}, 2, "unknown subcommand \"\\x1b[2J\"", true},
        {{"convert", "--zoom", "0", "x"}, 2, "--zoom takes fit or a factor from 0.01 to 1024, not 0", true},
        {{"convert", "--zoom", "2000", "x"}, 2, "not 2000", true},
        {{"convert", "--zoom", "wide", "x"}, 2, "not wide", true},
        {{"play", "--facing", "181", "x"}, 2, "--facing", true},
        {{"view", "--no-return", "inf", "x"}, 2, "--no-return takes a finite number of centimetres, not inf", true},
        {{"info", "--zoom", "2", "x"}, 2, "--zoom", true},
        {{"--version"}, 0, "", false},
    };
    for (const Case& c : cases) {
        const ProgramResult result = scanlog(c.arguments);
        EXPECT_EQ(result.status, c.status) << c.err;
        if (c.partial) {
            EXPECT_NE(result.err.find(c.err), std::string::npos) << result.err;
            EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
        } else {
            EXPECT_EQ(result.err, c.err);
        }
    }
    EXPECT_EQ(scanlog({"--version"}).out, "scanlog " SCANLOG_VERSION "\n");
    const ProgramResult help = scanlog({"convert", "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("--stamp"), std::string::npos);
}

TEST(ConvertPicture, ScanFilesAreZoomedOnlyWhenAskedAndNeverTurned) {
    TempDir folder;
    // Readings 8191 and more, and 0 and less, are the file's no returns.
    std::string line = "1";
    for (int i = 0; i < kReadingCount; ++i) line += " " + std::string(i == 0 ? "-5" : i == 1 ? "0" : i == 2 ? "9000" : "250.5");
    const std::string input = folder.file("in.scans", line + "\n");
    struct Case {
        std::vector<std::string> options;
        int status;
        std::string first;  // the first readings written, or the error
    };
    const Case cases[] = {
        {{}, 0, "1 -5 0 9000 250.5 "},
        {{"--zoom", "1"}, 0, "1 8191 8191 8191 250.5 "},
        {{"--no-return", "0"}, 0, "1 0 0 0 250.5 "},
        {{"--zoom", "2", "--no-return", "-1"}, 0, "1 -1 -1 -1 501 "},
        {{"--zoom", "fit"}, 0, "1 8191 8191 8191 2004 "},  // 2.505 m: 8x (16x would put it at 40.08 m)
        {{"--facing", "0"}, 0, "1 -5 0 9000 250.5 "},
        {{"--facing", "90"}, 2,
         "scanlog: " + input + " is a scan file, which has no bearings beyond its 361 readings: --facing needs a "
                               "sensor's log (see scanlog --help)\n"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> arguments{"convert"};
        arguments.insert(arguments.end(), c.options.begin(), c.options.end());
        arguments.push_back(input);
        const ProgramResult result = scanlog(arguments);
        EXPECT_EQ(result.status, c.status) << c.first;
        if (c.status == 0) {
            EXPECT_EQ(result.out.rfind(c.first, 0), 0u) << result.out.substr(0, 60);
            EXPECT_EQ(result.err, "");
        } else {
            EXPECT_EQ(result.err, c.first);
            EXPECT_EQ(result.out, "");
        }
    }
    // play and view refuse it alike, before anything is played.
    for (const char* command : {"play", "view"}) {
        const ProgramResult result = scanlog({command, "--facing", "-30", input});
        EXPECT_EQ(result.status, 2) << command << ": " << result.err;
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << command << ": " << result.err;
        EXPECT_EQ(result.out, "") << command;
    }
}

TEST(ConvertErrors, SayWhatIsWrongAndWriteNothing) {
    TempDir folder;
    const std::string locked = folder.file("locked.scans", recordLine("1", 100));
    chmod(locked.c_str(), 0);
    mkdir((folder.path + "/bag").c_str(), 0755);
    struct Case {
        std::string input;
        std::string err;
    };
    std::vector<Case> cases = {
        {folder.path + "/missing.log", "scanlog: cannot open " + folder.path + "/missing.log: No such file or directory"},
        {folder.file("empty.log", ""), "scanlog: " + folder.path + "/empty.log: the file is empty"},
        {folder.file("junk.bin", std::string("\x7f" "ELF\x02\x01\x01\0\0\0", 10)),
         "scanlog: " + folder.path + "/junk.bin: not a log that scanlog reads (a scan file, CARMEN log, ROS 1 bag, "
                                     "ROS 2 bag or MCAP file)"},
        {folder.path + "/bag", "scanlog: " + folder.path + "/bag: not a ROS 2 bag folder (it has no metadata.yaml)"},
    };
    if (geteuid() != 0) cases.push_back({locked, "scanlog: cannot open " + locked + ": Permission denied"});
    for (const Case& c : cases) {
        const ProgramResult result = scanlog({"convert", c.input});
        EXPECT_EQ(result.status, 1) << c.input;
        EXPECT_EQ(result.out, "") << c.input;
        EXPECT_EQ(result.err, c.err + "\n");
    }
}

TEST(ConvertScanFiles, AreRewrittenOneRecordPerLine) {
    TempDir folder;
    const std::string layout = recordText("0.5", 100.25, 19) + recordText("1e3", 7, 1);
    const std::string expected = recordLine("0.5", 100.25) + recordLine("1000", 7);
    writeGzip(folder.path + "/log.scans.gz", layout);
    struct Case {
        const char* name;
        std::string input;
    };
    const Case cases[] = {
        {"plain", folder.file("log.scans", layout)},
        {"gzip", folder.path + "/log.scans.gz"},
    };
    for (const Case& c : cases) {
        const ProgramResult result = scanlog({"convert", c.input});
        EXPECT_EQ(result.status, 0) << c.name << result.err;
        EXPECT_EQ(result.out, expected) << c.name;
    }
    EXPECT_EQ(scanlog({"convert", "--stamp", "index", folder.path + "/log.scans"}).out,
              recordLine("1", 100.25) + recordLine("2", 7));

    // Damage is reported as the viewer reports it, after the whole records before it.
    const std::string damaged = folder.file("damaged.scans", recordLine("1", 100) + "2 3 x4\n");
    const ProgramResult result = scanlog({"convert", damaged});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, recordLine("1", 100));
    EXPECT_EQ(result.err, "Error reading laser file " + damaged + ": bad number \"x4\" at line 2 (record 2)\n");
}

TEST(ConvertOutput, AReaderThatStopsEarlyIsQuietAndAFullDiskIsAnError) {
    TempDir folder;
    std::string log;
    for (int r = 0; r < 2000; ++r) log += recordLine(std::to_string(r), r);
    const std::string input = folder.file("long.scans", log);

    ProgramRun head;
    head.argv = {kScanlog, "convert", input};
    head.closeOutputAfter = 10000;
    const ProgramResult stopped = runProgram(head);
    EXPECT_EQ(stopped.status, 0);
    EXPECT_EQ(stopped.err, "");

    ProgramRun full = head;
    full.closeOutputAfter = std::string::npos;
    full.standardOutputFile = "/dev/full";
    const ProgramResult failed = runProgram(full);
    EXPECT_EQ(failed.status, 1);
    EXPECT_EQ(failed.err, "scanlog: error writing standard output: No space left on device\n");
}

TEST(ConvertPipes, ALiveLogStreamsAndAPipedLogReadsLikeItsFile) {
    TempDir folder;
    const std::string fifo = folder.path + "/live";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    FILE* converted = popen((kScanlog + " convert " + fifo).c_str(), "r");
    ASSERT_NE(converted, nullptr);
    // Waits for scanlog to open its end, but not for ever: a scanlog that never does is a failure.
    int feed = -1;
    for (auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
         feed < 0 && std::chrono::steady_clock::now() < until;) {
        feed = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        if (feed < 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_GE(feed, 0) << "scanlog never opened the log";
    fcntl(feed, F_SETFL, 0);
    const std::string first = recordLine("1", 100) + recordLine("2", 200);
    ASSERT_TRUE(writeAll(feed, first));
    // The two records come out while the log is still open: nothing waits for more input.
    std::string out;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (out.size() < first.size() && std::chrono::steady_clock::now() < deadline) {
        pollfd ready{fileno(converted), POLLIN, 0};
        if (poll(&ready, 1, 100) <= 0) continue;
        char chunk[8192];
        const ssize_t got = read(fileno(converted), chunk, sizeof chunk);
        if (got <= 0) break;
        out.append(chunk, static_cast<std::size_t>(got));
    }
    EXPECT_EQ(out, first);
    close(feed);
    EXPECT_EQ(pclose(converted), 0);

    // Through a pipe, plain or compressed, a log converts exactly as from its file.
    std::string log;
    for (int r = 0; r < 40; ++r) log += recordText(std::to_string(r), r, 7);
    const std::string plain = folder.file("log.scans", log);
    writeGzip(folder.path + "/log.scans.gz", log);
    const std::string expected = scanlog({"convert", plain}).out;
    for (const std::string& file : {plain, folder.path + "/log.scans.gz"}) {
        FILE* piped = popen(("cat " + file + " | " + kScanlog + " convert /dev/stdin").c_str(), "r");
        std::string text;
        char chunk[8192];
        for (std::size_t got; (got = fread(chunk, 1, sizeof chunk, piped)) > 0;) text.append(chunk, got);
        EXPECT_EQ(pclose(piped), 0) << file;
        EXPECT_EQ(text, expected) << file;
    }
}

TEST(ConvertGzip, DamagedOrCutDataIsReportedAfterTheScansBeforeIt) {
    TempDir folder;
    std::string log;
    for (int r = 0; r < 3000; ++r) log += recordLine(std::to_string(r), r % 500);
    writeGzip(folder.path + "/whole.gz", log);
    const std::string packed = readFile(folder.path + "/whole.gz");
    std::string damaged = packed;
    for (std::size_t i = packed.size() / 2; i < packed.size() / 2 + 64; ++i) damaged[i] = static_cast<char>(~damaged[i]);
    struct Case {
        const char* name;
        std::string bytes;
        std::string err;
    };
    const Case cases[] = {
        {"cut", packed.substr(0, packed.size() / 2), "damaged gzip data: the file ends inside the compressed data"},
        {"overwritten", damaged, "damaged gzip data: "},
    };
    for (const Case& c : cases) {
        const std::string input = folder.file(std::string(c.name) + ".gz", c.bytes);
        const ProgramResult result = scanlog({"convert", input});
        EXPECT_EQ(result.status, 1) << c.name;
        EXPECT_EQ(result.err.rfind("scanlog: " + input + ": " + c.err, 0), 0u) << c.name << ": " << result.err;
        // Whatever came out is whole records. (gzip's check sum comes at the end of the data, so
        // overwritten bytes can decode to other numbers before the damage is known.)
        EXPECT_TRUE(result.out.empty() || result.out.back() == '\n') << c.name;
        if (std::string(c.name) == "cut") {
            EXPECT_TRUE(result.out == log.substr(0, result.out.size())) << c.name;
        }
    }
    // Members written one after another (cat a.gz b.gz) read as one log.
    std::size_t thousandLines = 0;
    for (int line = 0; line < 1000; ++line) thousandLines = log.find('\n', thousandLines) + 1;
    writeGzip(folder.path + "/second.gz", log.substr(0, thousandLines));
    const std::string joined = folder.file("joined.gz", packed + readFile(folder.path + "/second.gz"));
    const ProgramResult result = scanlog({"convert", "--stamp", "index", joined});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(std::count(result.out.begin(), result.out.end(), '\n'), 3000 + 1000);
}

// ---- the real samples -------------------------------------------------------------------

bool haveShared() { return std::filesystem::exists(kShared + "/formats/README.md"); }

// Every line of a converted log is one whole record of single-blank separated numbers.
void expectWellFormed(const std::string& name, const std::string& text, std::size_t records) {
    std::size_t lines = 0;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line); ++lines) {
        ASSERT_EQ(std::count(line.begin(), line.end(), ' '), kReadingCount) << name << " line " << lines + 1;
        ASSERT_EQ(line.find("  "), std::string::npos) << name;
    }
    EXPECT_EQ(lines, records) << name;
}

TEST(SharedSamples, EveryFormatConvertsAndTheViewerReadsIt) {
    if (!haveShared()) GTEST_SKIP() << "../shared/data is not beside the project: the real samples are not checked";
    const std::string formats = kShared + "/formats/";
    struct Case {
        std::string input;
        std::vector<std::string> options;
        std::size_t records;
        std::string warning;  // part of standard error, or empty for none
    };
    const Case cases[] = {
        {"carmen/ple_csail-corrected.log.gz", {}, 406, "times do not increase"},
        {"carmen/ple_freiburg-101-corrected.log.gz", {}, 292, ""},
        {"carmen/ple_orebro-corrected.log.gz", {}, 237, "times do not increase"},
        {"ros1/scan_tools_laser_scan_matcher_demo.bag", {}, 360, ""},
        {"ros1/leg_tracker_positive_2.bag", {}, 243, ""},
        {"ros1/embag_test_lz4.bag", {}, 5, ""},
        {"ros1/mehd1k_test_2026-02-19-11-53-31.bag", {}, 189, ""},
        {"ros2_db3/mehd1k_test_2026-02-19-11-53-31", {}, 189, ""},
        {"ros2_db3/mumble_straight", {}, 147, ""},
        {"ros2_db3/rosbags_rs_test_bag_sqlite3", {}, 2, ""},
        {"ros2_mcap/rosbags_rs_test_bag_mcap", {}, 2, ""},
        {"ros2_mcap/rosbags_rs_test_bag_mcap/test_bag_mcap.mcap", {}, 2, ""},
    };
    TempDir folder;
    for (const Case& c : cases) {
        std::vector<std::string> arguments{"convert"};
        arguments.insert(arguments.end(), c.options.begin(), c.options.end());
        arguments.push_back(formats + c.input);
        const ProgramResult result = scanlog(arguments);
        ASSERT_EQ(result.status, 0) << c.input << ": " << result.err;
        if (c.warning.empty()) {
            EXPECT_EQ(result.err, "") << c.input;
        } else {
            EXPECT_NE(result.err.find(c.warning), std::string::npos) << c.input << ": " << result.err;
        }
        expectWellFormed(c.input, result.out, c.records);

        ProgramRun viewer;
        viewer.argv = {kViewer, folder.file("converted.scans", result.out)};
        viewer.standardOutputFile = "/dev/null";
        const ProgramResult shown = runProgram(viewer);
        EXPECT_EQ(shown.status, 0) << c.input << ": " << shown.err;
    }
}

TEST(SharedSamples, TheSameRecordingAgreesAcrossFormats) {
    if (!haveShared()) GTEST_SKIP() << "../shared/data is not beside the project: the real samples are not checked";
    const std::string formats = kShared + "/formats/";
    // The CSAIL log is the source of the scan file beside it: same scans, numbered 1, 2, 3 ...
    EXPECT_EQ(scanlog({"convert", formats + "carmen/ple_csail-corrected.log.gz"}).out,
              readFile(kShared + "/csail.scans"));
    // One recording stored both as a ROS 1 bag and as a ROS 2 SQLite bag.
    const ProgramResult ros1 = scanlog({"convert", formats + "ros1/mehd1k_test_2026-02-19-11-53-31.bag"});
    const ProgramResult ros2 = scanlog({"convert", formats + "ros2_db3/mehd1k_test_2026-02-19-11-53-31"});
    EXPECT_EQ(ros1.status, 0);
    EXPECT_FALSE(ros1.out.empty());
    EXPECT_TRUE(ros1.out == ros2.out) << "the ROS 1 and ROS 2 copies differ";
    for (const char* stamp : {"absolute", "index"}) {
        EXPECT_TRUE(scanlog({"convert", "--stamp", stamp, formats + "ros1/mehd1k_test_2026-02-19-11-53-31.bag"}).out ==
                    scanlog({"convert", "--stamp", stamp, formats + "ros2_db3/mehd1k_test_2026-02-19-11-53-31"}).out)
            << stamp;
    }
}

// The numbers of each line of a scan file.
std::vector<std::vector<double>> numbersOf(const std::string& text) {
    std::vector<std::vector<double>> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        std::istringstream numbers(line);
        lines.emplace_back();
        for (double value = 0; numbers >> value;) lines.back().push_back(value);
    }
    return lines;
}

// For every real sample and a few facings: the zoom multiplies exactly the readings that the
// conversion at that facing gives (to 0.01 cm, half away from zero), and the no-return value
// goes where the sensor returned nothing, never zoomed.
TEST(SharedSamples, PictureOptionsScaleTheReadingsOfTheSameBearings) {
    if (!haveShared()) GTEST_SKIP() << "../shared/data is not beside the project: the real samples are not checked";
    const std::string formats = kShared + "/formats/";
    const char* samples[] = {"carmen/ple_freiburg-101-corrected.log.gz", "carmen/ple_orebro-corrected.log.gz",
                             "ros1/scan_tools_laser_scan_matcher_demo.bag", "ros1/leg_tracker_positive_2.bag",
                             "ros1/embag_test_lz4.bag", "ros1/mehd1k_test_2026-02-19-11-53-31.bag",
                             "ros2_db3/mumble_straight", "ros2_db3/rosbags_rs_test_bag_sqlite3",
                             "ros2_mcap/rosbags_rs_test_bag_mcap"};
    struct Options {
        const char* zoom;
        const char* noReturn;
    };
    const Options combinations[] = {{"8", "0"}, {"0.37", "-2.5"}, {"1024", "8191"}};
    for (const char* sample : samples) {
        for (const char* facing : {"0", "180", "-45.5"}) {
            const std::string label = std::string(sample) + " --facing " + facing;
            // -1 is no return: no sensor returns a negative range.
            const ProgramResult base = scanlog({"convert", "--stamp", "index", "--facing", facing, "--no-return", "-1",
                                                formats + sample});
            ASSERT_EQ(base.status, 0) << label << ": " << base.err;
            const std::vector<std::vector<double>> baseLines = numbersOf(base.out);
            ASSERT_FALSE(baseLines.empty()) << label;
            // The defaults are the same readings with the stored logs' no return.
            const ProgramResult defaults = scanlog({"convert", "--stamp", "index", "--facing", facing, formats + sample});
            std::vector<std::vector<double>> expected = baseLines;
            for (auto& line : expected) std::replace(line.begin() + 1, line.end(), -1.0, 8191.0);
            EXPECT_TRUE(numbersOf(defaults.out) == expected) << label << ": the defaults differ";
            for (const Options& o : combinations) {
                const ProgramResult zoomed = scanlog({"convert", "--stamp", "index", "--zoom", o.zoom, "--facing", facing,
                                                      "--no-return", o.noReturn, formats + sample});
                ASSERT_EQ(zoomed.status, 0) << label << ": " << zoomed.err;
                const std::vector<std::vector<double>> lines = numbersOf(zoomed.out);
                ASSERT_EQ(lines.size(), baseLines.size()) << label;
                const double zoom = std::stod(o.zoom), noReturn = std::stod(o.noReturn);
                for (std::size_t n = 0; n < lines.size(); ++n) {
                    ASSERT_EQ(lines[n].size(), 1u + kReadingCount) << label;
                    EXPECT_EQ(lines[n][0], baseLines[n][0]) << label;
                    for (int k = 1; k <= kReadingCount; ++k) {
                        const double reading = baseLines[n][k];
                        const double wanted = reading == -1 ? noReturn : std::round(std::round(reading * 100) * zoom) / 100;
                        ASSERT_EQ(lines[n][k], wanted) << label << " --zoom " << o.zoom << ", record " << n + 1
                                                       << ", reading " << k - 1 << " of " << reading;
                    }
                }
            }
        }
    }
}

}  // namespace
