// The MCAP reader, on small files written here by a little writer of the tests' own: loose
// records and chunks (uncompressed, lz4, zstd), with and without a summary, and damaged ones.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <lz4frame.h>
#include <sys/mman.h>
#include <unistd.h>
#include <zlib.h>
#include <zstd.h>

#include "cdr_writer.hpp"
#include "formats/format_reader.hpp"
#include "test_support.hpp"

namespace {

// ---- the writer -----------------------------------------------------------------------------

std::string little(std::uint64_t value, int size) {
    std::string out;
    for (int i = 0; i < size; ++i) out += static_cast<char>(value >> (8 * i) & 0xff);
    return out;
}
std::string u16(std::uint64_t value) { return little(value, 2); }
std::string u32(std::uint64_t value) { return little(value, 4); }
std::string u64(std::uint64_t value) { return little(value, 8); }
std::string str(const std::string& text) { return u32(text.size()) + text; }
std::string zeros(std::size_t count) { return std::string(count, '\0'); }
std::string record(int opcode, const std::string& body) { return char(opcode) + u64(body.size()) + body; }

const std::string kMagic("\x89MCAP0\r\n", 8);

struct TestScan {
    std::int32_t seconds;
    std::uint32_t nanoseconds;
    std::vector<float> ranges;
    float angleMin = -1.5f;
    float angleIncrement = 0.25f;
};

std::string laserScanCdr(const TestScan& scan) {
    CdrWriter w = startCdr(false);
    cdrUint32(w, static_cast<std::uint32_t>(scan.seconds));
    cdrUint32(w, scan.nanoseconds);
    cdrString(w, "laser");
    const float angleMax = scan.angleMin + scan.angleIncrement * (scan.ranges.size() - 1);
    for (const float value : {scan.angleMin, angleMax, scan.angleIncrement, 0.0f, 0.1f, 0.05f, 30.0f})  // times, range limits
        cdrFloat(w, value);
    cdrFloats(w, scan.ranges);
    cdrFloats(w, std::vector<float>(scan.ranges.size(), 7.0f));
    return w.bytes;
}

struct TestChannel {
    std::uint16_t id;
    std::string topic;
    std::string type;
    std::string encoding = "cdr";
};

struct TestMessage {
    std::uint16_t channel;
    std::uint64_t logTime;
    std::string data;
};

struct Layout {
    const char* name;
    std::string compression = "";  // of the chunks; "none": messages outside chunks
    bool summary = true;
    bool statistics = true;
    std::size_t perChunk = 2;      // messages per chunk
    std::uint64_t claimed = 0;     // messages per channel the Statistics claim; 0: the true count
};

struct Built {
    std::string bytes;
    std::vector<std::uint64_t> scanEnds;  // offset by which each LaserScan message is complete
    std::vector<std::uint64_t> chunkStarts;
    std::vector<std::uint64_t> chunkLengths;
    std::uint64_t dataEnd = 0;            // end of the Data End record
};

std::string definitions(const std::vector<TestChannel>& channels) {
    std::string out;
    for (const TestChannel& c : channels) {
        out += record(0x03, u16(c.id) + str(c.type) + str("ros2msg") + str("float32[] ranges\n")) +
               record(0x04, u16(c.id) + u16(c.id) + str(c.topic) + str(c.encoding) + u32(0));
    }
    return out;
}

// The publish time differs from the log time, which is the one to take.
std::string messageRecord(const TestMessage& m) {
    return record(0x05, u16(m.channel) + u32(0) + u64(m.logTime) + u64(m.logTime + 7) + m.data);
}

std::string chunkRecord(const std::string& records, const std::string& compression) {
    std::string data(std::max(LZ4F_compressFrameBound(records.size(), nullptr), ZSTD_compressBound(records.size())), '\0');
    if (compression == "lz4") {
        data.resize(LZ4F_compressFrame(data.data(), data.size(), records.data(), records.size(), nullptr));
    } else if (compression == "zstd") {
        data.resize(ZSTD_compress(data.data(), data.size(), records.data(), records.size(), 3));
    } else {
        data = records;  // "" and any name the reader must refuse
    }
    const auto crc = crc32_z(0, reinterpret_cast<const unsigned char*>(records.data()), records.size());
    return record(0x06, zeros(16) + u64(records.size()) + u32(crc) + str(compression) + u64(data.size()) + data);
}

// A record of each kind the reader must skip: an attachment, metadata, an unknown opcode.
const std::string kSkipped = record(0x09, zeros(16) + str("calib.txt") + str("text/plain") + u64(3) + "abc" + u32(0)) +
                             record(0x0C, str("robot") + u32(0)) + record(0x80, "future");

bool isScan(const std::vector<TestChannel>& channels, const TestMessage& message) {
    return std::any_of(channels.begin(), channels.end(), [&](const TestChannel& channel) {
        return channel.id == message.channel && channel.type == "sensor_msgs/msg/LaserScan";
    });
}

Built buildMcap(const std::vector<TestChannel>& channels, const std::vector<TestMessage>& messages,
                const Layout& layout) {
    Built built;
    std::string& out = built.bytes;
    out = kMagic + record(0x01, str("ros2") + str("mcap_tests")) + kSkipped;
    if (layout.compression == "none") out += definitions(channels);
    for (std::size_t first = 0; first < messages.size(); first += layout.perChunk) {
        const std::size_t last = std::min(messages.size(), first + layout.perChunk);
        std::string records = layout.compression != "none" && first == 0 ? definitions(channels) + record(0x80, "x") : "";
        for (std::size_t i = first; i < last; ++i) {
            records += messageRecord(messages[i]);
            if (layout.compression == "none") {
                out += records;
                records.clear();
                if (isScan(channels, messages[i])) built.scanEnds.push_back(out.size());
            }
        }
        if (layout.compression == "none") continue;
        built.chunkStarts.push_back(out.size());
        out += chunkRecord(records, layout.compression);
        built.chunkLengths.push_back(out.size() - built.chunkStarts.back());
        for (std::size_t i = first; i < last; ++i) {
            if (isScan(channels, messages[i])) built.scanEnds.push_back(out.size());
        }
        out += record(0x07, u16(messages[first].channel) + u32(0));  // an empty Message Index: not read
    }
    out += record(0x0F, u32(0));
    built.dataEnd = out.size();
    const std::uint64_t summaryStart = layout.summary ? out.size() : 0;
    if (layout.summary) {
        out += definitions(channels);
        std::string counts;
        for (const TestChannel& channel : channels) {
            const auto count = std::count_if(messages.begin(), messages.end(),
                                             [&](const TestMessage& m) { return m.channel == channel.id; });
            counts += u16(channel.id) + u64(layout.claimed ? layout.claimed : count);
        }
        if (layout.statistics) out += record(0x0B, zeros(42) + str(counts));
        for (std::size_t i = 0; i < built.chunkStarts.size(); ++i) {
            out += record(0x08, zeros(16) + u64(built.chunkStarts[i]) + u64(built.chunkLengths[i]) + u32(0) + u64(0) +
                                    str(layout.compression) + u64(0) + u64(0));
        }
    }
    out += record(0x02, u64(summaryStart) + zeros(12)) + kMagic;
    return built;
}

// Three LaserScans on /scan (the second without a stamp of its own) and an IMU message.
const std::vector<TestChannel> kChannels = {{1, "/scan", "sensor_msgs/msg/LaserScan"}, {2, "/imu", "sensor_msgs/msg/Imu"}};
const std::vector<TestScan> kScans = {{100, 250, {1, 2.5, 3}}, {0, 0, {4, 5}}, {102, 999999999, {6}}};

std::vector<TestMessage> scanMessages() {
    return {{1, 5000, laserScanCdr(kScans[0])}, {2, 5000, "imu data"}, {1, 5001, laserScanCdr(kScans[1])},
            {1, 5002, laserScanCdr(kScans[2])}};
}

const Layout kLayouts[] = {
    {"loose records, summary with statistics", "none"},
    {"loose records, no summary", "none", false},
    {"uncompressed chunks, summary without statistics", "", true, false},
    {"lz4 chunks, summary with statistics", "lz4"},
    {"lz4 chunks, no summary", "lz4", false, false, 1},
    {"zstd chunks, summary with statistics", "zstd", true, true, 3},
    {"zstd chunks, no summary", "zstd", false},
};

// ---- reading --------------------------------------------------------------------------------

struct Result {
    bool ok = false;
    std::string error;
    std::vector<RawScan> scans;
    std::vector<LogInfo> begins;
};

Result readFiles(const std::vector<std::string>& files, const std::string& path, const LogOptions& options = {},
                 std::size_t stopAfter = SIZE_MAX) {
    Result result;
    RawScanSink sink;
    sink.begin = [&](const LogInfo& info) { result.begins.push_back(info); };
    sink.scan = [&](const RawScan& scan) {
        result.scans.push_back(scan);
        return result.scans.size() < stopAfter;
    };
    result.ok = readMcap(files, path, options, sink, result.error);
    return result;
}

// Read as a file given directly, through a descriptor as readLog passes a decompressed copy.
Result readBytes(const std::string& bytes, const LogOptions& options = {}, std::size_t stopAfter = SIZE_MAX) {
    const int fd = memfd_create("mcap", MFD_CLOEXEC);
    EXPECT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    Result result = readFiles({"/proc/self/fd/" + std::to_string(fd)}, "test.mcap", options, stopAfter);
    close(fd);
    return result;
}

TEST(ReadMcap, ReadsEveryLayoutAlike) {
    for (const Layout& layout : kLayouts) {
        SCOPED_TRACE(layout.name);
        const Result result = readBytes(buildMcap(kChannels, scanMessages(), layout).bytes);
        ASSERT_TRUE(result.ok) << result.error;
        ASSERT_EQ(result.begins.size(), 1u);
        EXPECT_EQ(result.begins[0].format, LogFormat::mcap);
        EXPECT_EQ(result.begins[0].topic, "/scan");
        EXPECT_EQ(result.begins[0].scanCount, 3u);
        ASSERT_EQ(result.scans.size(), 3u);
        const std::int64_t stamps[] = {100000000250, 5001, 102999999999};  // the second: its log time
        for (std::size_t i = 0; i < 3; ++i) {
            EXPECT_EQ(result.scans[i].stampNs, stamps[i]);
            EXPECT_EQ(result.scans[i].ranges, std::vector<double>(kScans[i].ranges.begin(), kScans[i].ranges.end()));
            EXPECT_EQ(result.scans[i].angleMin, -1.5);
            EXPECT_EQ(result.scans[i].angleIncrement, 0.25);
            EXPECT_EQ(result.scans[i].rangeMin, double{0.05f});
            EXPECT_EQ(result.scans[i].rangeMax, 30);
        }
    }
}

// Only a count that no walk could find shows that the Statistics record spared the walk; the
// data section's count, found at its end, then disagrees.
TEST(ReadMcap, TakesTheCountFromTheStatisticsAndHoldsTheDataToIt) {
    const Built built = buildMcap(kChannels, scanMessages(), {"claims", "zstd", true, true, 2, 1000});
    const Result result = readBytes(built.bytes);
    EXPECT_EQ(result.error, "test.mcap: offset " + std::to_string(built.dataEnd) +
                                ": the summary counts 1000 messages on channel 1, the data section holds 3");
    EXPECT_EQ(result.begins.at(0).scanCount, 1000u);
    EXPECT_EQ(result.scans.size(), 3u);
}

// The second and third scans share a chunk: the reader stops inside it.
TEST(ReadMcap, StopsWhenTheConsumerHasEnough) {
    const Result result = readBytes(buildMcap(kChannels, scanMessages(), kLayouts[3]).bytes, {}, 2);
    EXPECT_TRUE(result.ok) << result.error;
    EXPECT_EQ(result.scans.size(), 2u);
}

TEST(ReadMcap, ChoosesTheTopicWithTheSameWordsAsTheOtherBags) {
    const std::vector<TestChannel> channels = {{1, "/front_scan", "sensor_msgs/msg/LaserScan"},
                                               {2, "/rear_scan", "sensor_msgs/msg/LaserScan"},
                                               {3, "/imu", "sensor_msgs/msg/Imu"}};
    const std::string scan = laserScanCdr(kScans[0]);
    const std::vector<TestMessage> messages = {{1, 1, scan}, {2, 2, scan}, {1, 3, scan}, {3, 4, "imu"}, {1, 5, scan}};
    const std::string listed = "/front_scan (3 messages), /rear_scan (1 message)";
    const struct {
        std::string topic;
        std::size_t scans;
        std::string error;
    } cases[] = {
        {"", 0, "test.mcap: several LaserScan topics; choose one with --topic: " + listed},
        {"front_scan", 3, ""},
        {"/rear_scan", 1, ""},
        {"/imu", 0, "test.mcap: topic /imu holds sensor_msgs/msg/Imu, not LaserScan; LaserScan topics: " + listed},
        {"/lidar", 0, "test.mcap: no topic /lidar in the bag; LaserScan topics: " + listed},
    };
    for (const Layout& layout : {kLayouts[0], kLayouts[4]}) {  // counts from Statistics, and counted
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(layout.name) + ", topic " + c.topic);
            LogOptions options;
            options.topic = c.topic;
            const Result result = readBytes(buildMcap(channels, messages, layout).bytes, options);
            EXPECT_EQ(result.error, c.error);
            EXPECT_EQ(result.scans.size(), c.scans);
            // Announced with the chosen topic's count; a choice that fails announces nothing,
            // unless it was left open among several: then with them, for a report on each.
            const bool open = c.topic.empty();
            ASSERT_EQ(result.begins.size(), c.error.empty() || open ? 1u : 0u);
            if (c.error.empty()) {
                EXPECT_EQ(result.begins[0].scanCount, c.scans);
            } else if (open) {
                EXPECT_EQ(result.begins[0].topic, "");
                EXPECT_EQ(result.begins[0].laserScanTopics, (std::vector<std::string>{"/front_scan", "/rear_scan"}));
            }
        }
    }
    const Result none = readBytes(buildMcap({channels[2]}, {{3, 4, "imu"}}, kLayouts[1]).bytes);
    EXPECT_EQ(none.error, "test.mcap: no sensor_msgs/LaserScan topic (topics: /imu (sensor_msgs/msg/Imu))");
}

// ---- damage ---------------------------------------------------------------------------------

// A copy of `bytes` with the byte at `at` changed by `change`.
std::string changed(std::string bytes, std::size_t at, int (*change)(int)) {
    bytes.at(at) = static_cast<char>(change(static_cast<unsigned char>(bytes[at])));
    return bytes;
}
int lessOne(int byte) { return byte - 1; }
int plusOne(int byte) { return byte + 1; }
int topBit(int byte) { return byte ^ 0x80; }
int otherMagic(int byte) { return byte ^ 0x40; }

// In a Chunk record: uncompressed_size at 25, uncompressed_crc at 33; the data at 49 plus the
// compression name's length.
constexpr std::size_t kChunkSize = 25, kChunkCrc = 33, kChunkData = 49;
constexpr std::uint64_t kNoOffset = UINT64_MAX;  // damage at message level, or no place at all

TEST(ReadMcap, ReportsDamageAfterTheScansBeforeIt) {
    // lz4: one message per chunk (scan, IMU, scan, scan); zstd and plain: two.
    const Built lz4 = buildMcap(kChannels, scanMessages(), kLayouts[4]);
    const Built zstd = buildMcap(kChannels, scanMessages(), kLayouts[6]);
    const Built plain = buildMcap(kChannels, scanMessages(), {"plain", "", false});
    const Built one = buildMcap(kChannels, scanMessages(), {"one chunk", "", false, false, 10});
    std::vector<TestMessage> shortRanges = scanMessages();
    shortRanges[2].data.resize(shortRanges[2].data.size() - 4 - 2 * 4 - 4);  // no intensities, a range missing
    std::vector<TestChannel> json = kChannels, lineEnd = kChannels;
    json[0].encoding = "json";
    lineEnd[0].encoding = "cd\nr";
    const std::string badCrc = changed(plain.bytes, plain.chunkStarts[1] + kChunkData + 50, plusOne);  // in a scan
    const auto crcOf = [&](const std::string& file) {
        const std::size_t from = plain.chunkStarts[1] + kChunkData;
        return crc32_z(0, reinterpret_cast<const unsigned char*>(file.data()) + from, plain.scanEnds[2] - from);
    };
    char crcs[64];
    std::snprintf(crcs, sizeof crcs, "chunk CRC mismatch (stored %08lx, computed %08lx)", crcOf(plain.bytes), crcOf(badCrc));
    std::string pastChunk = changed(one.bytes, one.chunkStarts[0] + kChunkData + 474 + 1, [](int) { return 100; });
    std::fill_n(pastChunk.begin() + one.chunkStarts[0] + kChunkCrc, 4, '\0');  // no CRC to catch it first
    const std::uint64_t lz4Imu = lz4.chunkStarts[1], zstdLast = zstd.chunkStarts[1], plainLast = plain.chunkStarts[1];
    const struct {
        const char* name;
        std::string bytes;
        std::size_t scans;
        std::uint64_t offset;  // in the message, or kNoOffset
        std::string what;
    } cases[] = {
        {"corrupt lz4 data", changed(lz4.bytes, lz4.chunkStarts[2] + kChunkData + 3, otherMagic), 1,
         lz4.chunkStarts[2], "corrupt lz4 data in chunk: ERROR_frameType_unknown"},
        {"corrupt zstd data", changed(zstd.bytes, zstdLast + kChunkData + 4, otherMagic), 1, zstdLast,
         "corrupt zstd data in chunk: Unknown frame descriptor"},
        {"zstd data larger than the chunk says", changed(zstd.bytes, zstdLast + kChunkSize, lessOne), 1, zstdLast,
         "corrupt zstd data in chunk: Destination buffer is too small"},
        {"lz4 data larger than the chunk says", changed(lz4.bytes, lz4Imu + kChunkSize, lessOne), 1, lz4Imu,
         "lz4 data in chunk gives more than the 38 bytes the chunk says"},
        {"lz4 data smaller than the chunk says", changed(lz4.bytes, lz4Imu + kChunkSize, plusOne), 1, lz4Imu,
         "lz4 data in chunk gives 39 bytes, the chunk says 40"},
        {"absurd uncompressed size", changed(lz4.bytes, lz4Imu + kChunkSize + 7, topBit), 1, lz4Imu,
         "chunk of 9223372036854775847 bytes uncompressed is over the limit of 67108864 bytes"},
        {"unknown compression", buildMcap(kChannels, scanMessages(), {"brotli", "brotli"}).bytes, 0, lz4.chunkStarts[0],
         "chunk compressed with \"brotli\", which scanlog does not read (lz4, zstd)"},
        {"uncompressed chunk of another size", changed(plain.bytes, plainLast + kChunkSize, plusOne), 1, plainLast,
         "uncompressed chunk holds 206 bytes, it says 207"},
        {"CRC mismatch", badCrc, 1, plainLast, crcs},
        {"a record runs past its chunk", pastChunk, 2, one.chunkStarts[0],
         "damaged chunk: its record at byte 474 runs past its end"},
        {"bad magic at the end", changed(zstd.bytes, zstd.bytes.size() - 1, plusOne), 3, zstd.bytes.size() - 8,
         "bad magic at the end of the file"},
        {"bad magic at the start", changed(zstd.bytes, 3, plusOne), 0, 0, "not an MCAP file (bad magic)"},
        {"no header", kMagic + zstd.bytes.substr(8 + 31), 0, 8, "no Header record after the magic"},
        {"ranges shorter than declared", buildMcap(kChannels, shortRanges, kLayouts[5]).bytes, 1, kNoOffset,
         "message 2: LaserScan ranges end after 1 of 2 values"},
        {"wrong message encoding", buildMcap(json, scanMessages(), kLayouts[3]).bytes, 0, kNoOffset,
         "topic /scan is serialized as \"json\"; only cdr is read"},
        {"an encoding with a line end", buildMcap(lineEnd, scanMessages(), kLayouts[1]).bytes, 0, kNoOffset,
         "topic /scan is serialized as \"cd\\x0ar\"; only cdr is read"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Result result = readBytes(c.bytes);
        EXPECT_FALSE(result.ok);
        EXPECT_EQ(result.error, "test.mcap: " + (c.offset != kNoOffset ? "offset " + std::to_string(c.offset) + ": " : "") + c.what);
        EXPECT_EQ(result.scans.size(), c.scans);
        // Announced once the topic is chosen; a failure before that leaves it to readLog.
        EXPECT_EQ(result.begins.size(), c.scans > 0 ? 1u : result.begins.size());
        EXPECT_LE(result.begins.size(), 1u);
    }
}

// Damage that leaves every record well formed, found only by holding the data section to
// the summary: no scan after a lost chunk is handed over, and the loss is reported.
TEST(ReadMcap, HoldsTheDataSectionToTheSummary) {
    // One message per uncompressed chunk (scan, IMU, scan, scan), with the summary's Chunk
    // Indexes and Statistics.
    const Built indexed = buildMcap(kChannels, scanMessages(), {"indexed", "", true, true, 1});
    const std::vector<std::uint64_t>& starts = indexed.chunkStarts;
    const auto withSummaryAt = [](std::string bytes, std::uint64_t summaryStart) {
        return bytes.replace(bytes.size() - 8 - 29 + 9, 8, u64(summaryStart));
    };
    const auto withoutCrc = [&](std::string bytes, std::size_t chunk) {  // so that the damage gets past it
        return bytes.replace(starts[chunk] + kChunkCrc, 4, zeros(4));
    };
    const std::uint64_t chunk2 = starts[3] - starts[2];  // the chunk and its Message Index
    const std::string attachment = changed(indexed.bytes, starts[2], [](int) { return 0x09; });
    const std::string removed = withSummaryAt(std::string(indexed.bytes).erase(starts[2], chunk2), indexed.dataEnd - chunk2);
    const std::string repeated = withSummaryAt(std::string(indexed.bytes).insert(starts[3], indexed.bytes.substr(starts[2], chunk2)),
                                               indexed.dataEnd + chunk2);
    const std::string early = withSummaryAt(indexed.bytes, starts[2]);
    // The first chunk holds the Schemas (72 bytes each) and Channels.
    const std::string otherSchema = changed(withoutCrc(indexed.bytes, 0), starts[0] + kChunkData + 72 + 9 + 2, plusOne);
    const std::string noChannel = changed(withoutCrc(indexed.bytes, 2), starts[2] + kChunkData + 9 + 1, plusOne);
    const struct {
        const char* name;
        std::string bytes;
        std::size_t scans;
        std::string what;
    } cases[] = {
        {"a chunk's opcode changed to an attachment's", attachment, 1,
         "offset " + std::to_string(starts[2]) + ": the summary lists a chunk of " + std::to_string(indexed.chunkLengths[2]) +
             " bytes here; the data section holds a record of opcode 0x09 and " + std::to_string(indexed.chunkLengths[2]) +
             " bytes"},
        {"a chunk removed", removed, 1,
         "offset " + std::to_string(starts[2]) + ": the summary lists a chunk of " + std::to_string(indexed.chunkLengths[2]) +
             " bytes here; the data section holds a record of opcode 0x06 and " + std::to_string(indexed.chunkLengths[3]) +
             " bytes"},
        {"the last chunk removed", withSummaryAt(std::string(indexed.bytes).erase(starts[3], indexed.dataEnd - 13 - starts[3]),
                                                  starts[3] + 13), 2,
         "offset " + std::to_string(starts[3]) + ": the summary lists a chunk of " + std::to_string(indexed.chunkLengths[3]) +
             " bytes here; the data section holds a record of opcode 0x0f and 13 bytes"},
        {"a chunk repeated", repeated, 2,
         "offset " + std::to_string(starts[3]) + ": the summary lists a chunk of " + std::to_string(indexed.chunkLengths[3]) +
             " bytes here; the data section holds a record of opcode 0x06 and " + std::to_string(indexed.chunkLengths[2]) +
             " bytes"},
        {"a chunk repeated, the Footer left as it was",
         std::string(indexed.bytes).insert(starts[3], indexed.bytes.substr(starts[2], chunk2)), 2,
         "offset " + std::to_string(starts[3]) + ": the summary lists a chunk of " + std::to_string(indexed.chunkLengths[3]) +
             " bytes here; the data section holds a record of opcode 0x06 and " + std::to_string(indexed.chunkLengths[2]) +
             " bytes"},
        {"summary_start at a chunk", early, 3,
         "offset " + std::to_string(indexed.bytes.size() - 8 - 29) + ": damaged Footer: its summary_start " + std::to_string(starts[2]) +
             " is not where the data section ends (" + std::to_string(indexed.dataEnd) + ")"},
        {"a Channel's schema id changed", otherSchema, 0,
         "offset " + std::to_string(starts[0]) + ": damaged Channel record: id 1 is defined differently elsewhere in the file"},
        {"a message's channel changed", noChannel, 1,
         "offset " + std::to_string(starts[2]) + ": damaged Message record: no Channel record defines its channel 257"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Result result = readBytes(c.bytes);
        EXPECT_FALSE(result.ok);
        EXPECT_EQ(result.error, "test.mcap: " + c.what);
        EXPECT_EQ(result.scans.size(), c.scans);
    }
}

TEST(ReadMcap, CutAnywhereGivesTheScansBeforeTheCutAndSaysWhere) {
    for (const Layout& layout : kLayouts) {
        SCOPED_TRACE(layout.name);
        const Built built = buildMcap(kChannels, scanMessages(), layout);
        for (std::size_t size = 1; size < built.bytes.size(); ++size) {
            const Result result = readBytes(built.bytes.substr(0, size));
            SCOPED_TRACE("cut to " + std::to_string(size) + " bytes: " + result.error);
            ASSERT_FALSE(result.ok);
            const auto complete = std::count_if(built.scanEnds.begin(), built.scanEnds.end(),
                                                [&](std::uint64_t end) { return end <= size; });
            ASSERT_EQ(result.scans.size(), static_cast<std::size_t>(complete));
            const char* says = size < 8                 ? "not an MCAP file"
                               : size < built.dataEnd ? ": truncated file: "
                                                       : ": truncated summary (every message was read): ";
            ASSERT_NE(result.error.find(says), std::string::npos);
        }
    }
}

// Every byte changed in turn: each read must end, without a sanitizer report, in scans or in
// an error naming the file.
TEST(ReadMcap, SurvivesAnyDamagedByte) {
    for (const Layout& layout : {kLayouts[0], kLayouts[3], kLayouts[5]}) {
        const std::string bytes = buildMcap(kChannels, scanMessages(), layout).bytes;
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            const Result result = readBytes(changed(bytes, i, i % 2 ? topBit : otherMagic));
            ASSERT_TRUE(result.ok || result.error.rfind("test.mcap: ", 0) == 0) << i << ": " << result.error;
            ASSERT_LE(result.scans.size(), 3u);
        }
    }
}

TEST(ReadMcap, ReadsTheFilesOfABagFolderInOrder) {
    TempDir folder;
    const std::string first = folder / "bag_0.mcap", second = folder / "bag_1.mcap";
    std::vector<TestMessage> messages = scanMessages();
    messages.back().data.resize(messages.back().data.size() - 4 - 4 - 4);  // its one range is missing
    std::ofstream(first) << buildMcap(kChannels, scanMessages(), kLayouts[5]).bytes;
    std::ofstream(second) << buildMcap(kChannels, messages, kLayouts[4]).bytes;
    const Result result = readFiles({first, second}, folder.path);
    EXPECT_EQ(result.begins.at(0).scanCount, 6u);
    EXPECT_EQ(result.scans.size(), 5u);
    EXPECT_EQ(result.error, second + ": message 6: LaserScan ranges end after 0 of 1 values");
}

}  // namespace
