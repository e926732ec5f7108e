// readLog's own branches, on small files made here: recognising a log by its first bytes
// (through gzip too), a log that arrives through a pipe, and a ROS 2 bag folder's metadata.
// The readers' own messages are theirs; what is checked of them is what readLog adds: the log
// announced once with its format, and one line that starts "scanlog: PATH: ".
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <unistd.h>
#include <vector>
#include <zlib.h>

#include "stream/log_source.hpp"
#include "test_support.hpp"

namespace {

struct Outcome {
    bool ok = false;
    std::string error;
    std::vector<LogInfo> begins;
    std::vector<LogScan> scans;
};

Outcome read(const std::string& path) {
    Outcome out;
    LogSink sink;
    sink.begin = [&out](const LogInfo& info) { out.begins.push_back(info); };
    sink.scan = [&out](const LogScan& scan) { return out.scans.push_back(scan), true; };
    out.ok = readLog(path, LogOptions{}, false, sink, out.error);
    return out;
}

std::string gzipped(const std::string& text) {
    std::string out(compressBound(text.size()) + 64, '\0');
    z_stream z{};
    deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    z.avail_in = static_cast<uInt>(text.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

std::string scanFileText() {
    std::string text = "0.5";
    for (int i = 0; i < kReadingCount; ++i) text += " " + std::to_string(100 + i);
    return text + "\n";
}

// Many lines that differ (so that they do not compress to nothing), and the same cut short.
std::string longCarmen() {
    std::string text;
    for (int i = 0; i < 3000; ++i) text += "FLASER 2 " + std::to_string(i) + " 1.5 0 0 0 0 0 0 " + std::to_string(i) + " h 0\n";
    return text;
}
std::string cutShort(const std::string& bytes) { return bytes.substr(0, bytes.size() - 100); }

const std::string kCarmen = "# a comment\nFLASER 3 1.0 2.0 3.0 0 0 0 0 0 0 1.5 host 1.5\n";
const std::string kNotALog =
    ": not a log that scanlog reads (a scan file, CARMEN log, ROS 1 bag, ROS 2 bag or MCAP file)";

TEST(ReadLog, RecognisesALogByItsFirstBytes) {
    TempDir dir;
    const std::string junk(3000, '\x07');
    struct Case {
        const char* name;
        std::string bytes;
        bool ok;
        int scans;  // -1: some, before the damage
        std::vector<LogFormat> announced;  // empty: not announced at all
        bool compressed;
        std::string error;  // after "scanlog: PATH"; for a reader's failure only its start
    };
    const Case cases[] = {
        {"empty", "", false, 0, {}, false, ": the file is empty"},
        {"scan file", scanFileText(), true, 1, {LogFormat::scanFile}, false, ""},
        {"scan file, blanks first", "\n\t  " + scanFileText(), true, 1, {LogFormat::scanFile}, false, ""},
        {"CARMEN", kCarmen, true, 1, {LogFormat::carmen}, false, ""},
        {"gzip scan file", gzipped(scanFileText()), true, 1, {LogFormat::scanFile}, true, ""},
        {"gzip CARMEN", gzipped(kCarmen), true, 1, {LogFormat::carmen}, true, ""},
        {"gzip inside gzip", gzipped(gzipped(kCarmen)), false, 0, {}, false, kNotALog},
        {"damaged gzip, at once", gzipped(kCarmen).substr(0, 20), false, 0, {}, false,
         ": damaged gzip data: the file ends inside the compressed data"},
        {"damaged gzip, later", cutShort(gzipped(longCarmen())), false, -1, {LogFormat::carmen}, true,
         ": damaged gzip data: the file ends inside the compressed data"},
        {"ROS 1 header", "#ROSBAG V2.0\n" + junk, false, 0, {LogFormat::ros1Bag}, false, ": "},
        {"SQLite header", std::string("SQLite format 3\0", 16) + junk, false, 0, {LogFormat::ros2Sqlite}, false, ": "},
        {"MCAP magic", "\x89MCAP0\r\n" + junk, false, 0, {LogFormat::mcap}, false, ": "},
        {"gzip MCAP", gzipped("\x89MCAP0\r\n" + junk), false, 0, {LogFormat::mcap}, true, ": "},
        {"garbage", std::string("\x01\x02garbage") + junk, false, 0, {}, false, kNotALog},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.file("log", c.bytes);
        const Outcome out = read(path);
        EXPECT_EQ(out.ok, c.ok) << out.error;
        EXPECT_EQ(out.scans.size(), c.scans >= 0 ? static_cast<std::size_t>(c.scans) : out.scans.size());
        EXPECT_GT(out.scans.size() + 1, c.scans < 0 ? 1u : 0u);  // some scans came before the damage
        ASSERT_EQ(out.begins.size(), c.announced.size());
        if (!c.announced.empty()) {
            EXPECT_EQ(out.begins[0].format, c.announced[0]);
            EXPECT_EQ(out.begins[0].compressed, c.compressed);
        }
        if (c.ok) continue;
        EXPECT_EQ(out.error.find('\n'), std::string::npos) << out.error;
        if (c.error == ": ") {
            EXPECT_EQ(out.error.rfind("scanlog: " + path + ": ", 0), 0u) << out.error;
        } else {
            EXPECT_EQ(out.error, "scanlog: " + path + c.error);
        }
    }
    // The scans themselves: the scan file's record as written, CARMEN's resampled.
    const Outcome scans = read(dir.file("scans", scanFileText()));
    ASSERT_EQ(scans.scans.size(), 1u);
    EXPECT_EQ(scans.scans[0].leadingText, "0.5");
    EXPECT_EQ(scans.scans[0].record.readings[360], 460);
    EXPECT_EQ(read("/nonexistent/log").error, "scanlog: cannot open /nonexistent/log: No such file or directory");
}

// A live log: bytes arrive through a pipe as they are written. Text streams straight through;
// a bag is first copied whole to a temporary file, and then read (here: found damaged).
TEST(ReadLog, ReadsThroughAPipe) {
    const std::string junk(100000, '\x07');
    const std::pair<std::string, std::vector<LogFormat>> cases[] = {
        {scanFileText() + scanFileText(), {LogFormat::scanFile}},
        {gzipped(kCarmen + kCarmen + kCarmen), {LogFormat::carmen}},
        {"\x89MCAP0\r\n" + junk, {LogFormat::mcap}},
    };
    for (const auto& [bytes, announced] : cases) {
        int ends[2];
        ASSERT_EQ(pipe(ends), 0);
        std::thread writer([&bytes, ends] {
            // In small pieces, so that the reader sees the log arrive.
            for (std::size_t at = 0; at < bytes.size(); at += 777) {
                const std::string piece = bytes.substr(at, 777);
                if (write(ends[1], piece.data(), piece.size()) < 0) break;
            }
            close(ends[1]);
        });
        const std::string path = "/proc/self/fd/" + std::to_string(ends[0]);
        const Outcome out = read(path);
        writer.join();
        close(ends[0]);
        ASSERT_EQ(out.begins.size(), 1u);
        EXPECT_EQ(out.begins[0].format, announced[0]);
        if (announced[0] == LogFormat::mcap) {
            EXPECT_FALSE(out.ok);
            EXPECT_EQ(out.error.rfind("scanlog: " + path + ": ", 0), 0u) << out.error;
        } else {
            EXPECT_TRUE(out.ok) << out.error;
            EXPECT_EQ(out.scans.size(), announced[0] == LogFormat::carmen ? 3u : 2u);
        }
    }
}

TEST(ReadLog, SaysWhatIsWrongWithABagFolder) {
    struct Case {
        const char* name;
        std::vector<std::pair<std::string, std::string>> files;
        std::string error;  // "D" stands for the folder
    };
    const std::string info = "rosbag2_bagfile_information:\n";
    const Case cases[] = {
        {"no metadata", {{"a.db3", ""}}, "scanlog: D: not a ROS 2 bag folder (it has no metadata.yaml)"},
        {"not YAML", {{"metadata.yaml", "a: [\n"}},
         "scanlog: D/metadata.yaml: yaml-cpp: error at line 2, column 1: end of sequence flow not found"},
        {"not a bag's", {{"metadata.yaml", "a: 1\n"}},
         "scanlog: D/metadata.yaml: no rosbag2_bagfile_information"},
        {"no files", {{"metadata.yaml", info + "  storage_identifier: sqlite3\n"}},
         "scanlog: D/metadata.yaml: lists no files"},
        {"a file missing", {{"metadata.yaml", info + "  relative_file_paths: [a.db3]\n"}},
         "scanlog: cannot open D/a.db3: No such file or directory"},
        {"compressed",
         {{"metadata.yaml", info + "  compression_mode: FILE\n  relative_file_paths: [a.db3]\n"}, {"a.db3", ""}},
         "scanlog: D/metadata.yaml: compressed bags (compression_mode FILE) are not supported; decompress it with "
         "`ros2 bag convert` first"},
        {"unknown storage",
         {{"metadata.yaml", info + "  storage_identifier: foo\n  relative_file_paths: [a.db3]\n"}, {"a.db3", ""}},
         "scanlog: D/metadata.yaml: unknown storage \"foo\" (sqlite3 and mcap are read)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        for (const auto& [name, text] : c.files) dir.file(name, text);
        const Outcome out = read(dir.path);
        EXPECT_FALSE(out.ok);
        std::string expected = c.error;
        for (std::size_t at; (at = expected.find(" D")) != std::string::npos;) expected.replace(at + 1, 1, dir.path);
        EXPECT_EQ(out.error, expected);
        EXPECT_TRUE(out.begins.empty());  // no reader ran
    }
    // A folder whose storage is readable, but whose file is no bag: the reader's failure, with
    // the log announced as the storage says.
    TempDir dir;
    dir.file("metadata.yaml", info + "  storage_identifier: mcap\n  relative_file_paths: [a.mcap]\n");
    dir.file("a.mcap", "not an MCAP file");
    const Outcome out = read(dir.path);
    EXPECT_FALSE(out.ok);
    ASSERT_EQ(out.begins.size(), 1u);
    EXPECT_EQ(out.begins[0].format, LogFormat::mcap);
    EXPECT_EQ(out.error.rfind("scanlog: " + dir.path + "/a.mcap: ", 0), 0u) << out.error;
}

}  // namespace
