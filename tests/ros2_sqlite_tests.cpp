// ROS 2 SQLite bags and the CDR LaserScan messages in them. Bags are made here with SQLite
// and messages in CDR, laid out as rosbag2 writes them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cdr_writer.hpp"
#include "formats/format_reader.hpp"
#include "test_support.hpp"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<unsigned char>;

constexpr const char* kLaserScan = "sensor_msgs/msg/LaserScan";

// ---- messages ------------------------------------------------------------------------------

struct ScanMessage {
    std::int32_t seconds = 0;
    std::uint32_t nanoseconds = 0;
    std::string frame = "laser";
    float angleMin = -1.5f, angleMax = 1.5f, angleIncrement = 0.5f, timeIncrement = 0.001f, scanTime = 0.1f;
    float rangeMin = 0.1f, rangeMax = 30;
    std::vector<float> ranges{1, 2, 3, 4, 5, 6, 7};
    std::vector<float> intensities;
};

// sensor_msgs/msg/LaserScan in CDR, field by field as ROS 2 lays it out.
Bytes serialize(const ScanMessage& m, bool bigEndian = false) {
    CdrWriter w = startCdr(bigEndian);
    cdrUint32(w, static_cast<std::uint32_t>(m.seconds));
    cdrUint32(w, m.nanoseconds);
    cdrString(w, m.frame);
    for (const float value : {m.angleMin, m.angleMax, m.angleIncrement, m.timeIncrement, m.scanTime, m.rangeMin, m.rangeMax})
        cdrFloat(w, value);
    cdrFloats(w, m.ranges);
    cdrFloats(w, m.intensities);
    return Bytes(w.bytes.begin(), w.bytes.end());
}

ScanMessage scanAt(std::int32_t seconds, float firstRange) {
    ScanMessage m;
    m.seconds = seconds;
    m.nanoseconds = 500;
    m.ranges = {firstRange, firstRange + 1, firstRange + 2};
    return m;
}

bool decode(const Bytes& bytes, RawScan& scan, std::string& error) {
    return decodeRos2LaserScan(bytes.data(), bytes.size(), scan, error);
}

// ---- bags ----------------------------------------------------------------------------------

struct TopicRow {
    std::int64_t id;
    std::string name;
    std::string type;
    std::string serialization = "cdr";
};

struct MessageRow {
    std::int64_t id;
    std::int64_t topicId;
    std::int64_t timestamp;
    Bytes data;
};

void exec(sqlite3* db, const std::string& sql) {
    char* message = nullptr;
    ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message), SQLITE_OK) << message << " in " << sql;
}

void insertMessages(sqlite3* db, const std::vector<MessageRow>& messages) {
    sqlite3_stmt* insert = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "INSERT INTO messages VALUES (?, ?, ?, ?)", -1, &insert, nullptr), SQLITE_OK);
    for (const MessageRow& m : messages) {
        sqlite3_bind_int64(insert, 1, m.id);
        sqlite3_bind_int64(insert, 2, m.topicId);
        sqlite3_bind_int64(insert, 3, m.timestamp);
        sqlite3_bind_blob(insert, 4, m.data.data(), static_cast<int>(m.data.size()), SQLITE_TRANSIENT);
        ASSERT_EQ(sqlite3_step(insert), SQLITE_DONE);
        sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
}

// The tables and index rosbag2 creates.
void writeBag(const std::string& file, const std::vector<TopicRow>& topics, const std::vector<MessageRow>& messages,
              bool wal = false) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
    if (wal) exec(db, "PRAGMA journal_mode=WAL");
    exec(db, "CREATE TABLE schema(schema_version INTEGER PRIMARY KEY, ros_distro TEXT NOT NULL);"
             "CREATE TABLE topics(id INTEGER PRIMARY KEY, name TEXT NOT NULL, type TEXT NOT NULL, "
             "serialization_format TEXT NOT NULL, offered_qos_profiles TEXT NOT NULL);"
             "CREATE TABLE messages(id INTEGER PRIMARY KEY, topic_id INTEGER NOT NULL, timestamp INTEGER NOT NULL, "
             "data BLOB NOT NULL);"
             "CREATE INDEX timestamp_idx ON messages (timestamp ASC); BEGIN");
    for (const TopicRow& t : topics) {
        exec(db, "INSERT INTO topics VALUES (" + std::to_string(t.id) + ", '" + t.name + "', '" + t.type + "', '" +
                     t.serialization + "', '')");
    }
    insertMessages(db, messages);
    exec(db, "COMMIT");
    ASSERT_EQ(sqlite3_close(db), SQLITE_OK);
}

// A bag of `count` scans on /scan, scan i stamped i seconds and reading i metres first.
std::vector<MessageRow> scanRows(int count, std::int64_t topicId = 1, int firstId = 1) {
    std::vector<MessageRow> rows;
    for (int i = 0; i < count; ++i) {
        const int n = firstId + i;
        rows.push_back({n, topicId, std::int64_t{n} * 1000, serialize(scanAt(n, static_cast<float>(n)))});
    }
    return rows;
}

const std::vector<TopicRow> kScanTopic{{1, "/scan", kLaserScan}};

std::vector<std::string> listing(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// ---- reading -------------------------------------------------------------------------------

struct Collected {
    std::vector<LogInfo> infos;
    std::vector<RawScan> scans;
    bool ok = false;
    std::string error;
};

Collected readBag(const std::vector<std::string>& files, const std::string& path, const std::string& topic = "",
                  std::size_t wanted = std::numeric_limits<std::size_t>::max()) {
    Collected c;
    RawScanSink sink;
    sink.begin = [&c](const LogInfo& info) { c.infos.push_back(info); };
    sink.scan = [&c, wanted](const RawScan& scan) {
        c.scans.push_back(scan);
        return c.scans.size() < wanted;
    };
    LogOptions options;
    options.topic = topic;
    c.ok = readRos2Sqlite(files, path, options, sink, c.error);
    return c;
}

Collected readFile(const std::string& file, const std::string& topic = "") { return readBag({file}, file, topic); }

ScanMessage scanOfManyRanges(int i) {
    ScanMessage m = scanAt(i, static_cast<float>(i));
    m.ranges.resize(1000, 2.5f);
    for (std::size_t k = 1; k < m.ranges.size(); ++k) m.ranges[k] = static_cast<float>(k % 97) * 0.25f + 0.5f;
    return m;
}

std::vector<double> doubles(const ScanMessage& m) { return std::vector<double>(m.ranges.begin(), m.ranges.end()); }

std::vector<float> firstRanges(const Collected& c) {
    std::vector<float> firsts;
    for (const RawScan& scan : c.scans) firsts.push_back(static_cast<float>(scan.ranges.at(0)));
    return firsts;
}

// ---- CDR decoding --------------------------------------------------------------------------

TEST(DecodeRos2LaserScan, ReadsEveryFieldInBothByteOrders) {
    // Frame names of every length modulo 4 move the floats after them to every padding case.
    for (const bool bigEndian : {false, true}) {
        for (const std::string frame : {"", "l", "la", "las", "base_laser"}) {
            ScanMessage m;
            m.seconds = 1771520011;
            m.nanoseconds = 719411186;
            m.frame = frame;
            m.angleMin = -2.356194f;
            m.angleIncrement = -0.006136f;
            m.rangeMin = 0.05f;
            m.rangeMax = 25.5f;
            m.ranges = {0.5f, std::numeric_limits<float>::infinity(), 12.25f};
            m.intensities = {100, 200, 300};
            RawScan scan;
            std::string error;
            const std::string label = "frame \"" + frame + "\", big-endian " + std::to_string(bigEndian);
            ASSERT_TRUE(decode(serialize(m, bigEndian), scan, error)) << label << ": " << error;
            EXPECT_EQ(scan.stampNs, 1771520011719411186) << label;
            EXPECT_EQ(scan.angleMin, double{-2.356194f}) << label;
            EXPECT_EQ(scan.angleIncrement, double{-0.006136f}) << label;
            EXPECT_EQ(scan.rangeMin, double{0.05f}) << label;
            EXPECT_EQ(scan.rangeMax, 25.5) << label;
            EXPECT_FALSE(scan.rangeMaxIsNoReturn) << label;
            EXPECT_EQ(scan.ranges, (std::vector<double>{0.5, std::numeric_limits<double>::infinity(), 12.25})) << label;
        }
    }
}

TEST(DecodeRos2LaserScan, ReadsBytesLaidOutByHand) {
    // Written byte by byte rather than with a writer, so that a decoder and a test writer
    // sharing one mistake can't agree: frame "ab" ends at offset 15 and one pad byte follows.
    const Bytes bytes{0x00, 0x01, 0x00, 0x00,                                                 // CDR little-endian
                      0x05, 0x00, 0x00, 0x00, 0x07, 0x00, 0x00, 0x00,                         // stamp 5 s 7 ns
                      0x03, 0x00, 0x00, 0x00, 'a', 'b', 0x00, 0x00,                           // "ab", pad
                      0x00, 0x00, 0xC0, 0xBF, 0x00, 0x00, 0xC0, 0x3F, 0x00, 0x00, 0x00, 0x3F,  // -1.5 1.5 0.5
                      0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,                         // times
                      0x00, 0x00, 0x80, 0x3E, 0x00, 0x00, 0x20, 0x41,                         // 0.25 10
                      0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80, 0x3F, 0x00, 0x00, 0x00, 0x40,  // [1, 2]
                      0x00, 0x00, 0x00, 0x00};                                                // []
    RawScan scan;
    std::string error;
    ASSERT_TRUE(decode(bytes, scan, error)) << error;
    EXPECT_EQ(scan.stampNs, 5000000007);
    EXPECT_EQ(scan.angleMin, -1.5);
    EXPECT_EQ(scan.angleIncrement, 0.5);
    EXPECT_EQ(scan.rangeMin, 0.25);
    EXPECT_EQ(scan.rangeMax, 10);
    EXPECT_EQ(scan.ranges, (std::vector<double>{1, 2}));
}

TEST(DecodeRos2LaserScan, RejectsDamagedMessagesWithTheirFault) {
    ScanMessage m;
    m.frame = "ab";                // ranges' length at offset 48, values from 52
    m.ranges = {1, 2, 3, 4, 5};    // ranges end at 72, intensities' length follows
    m.intensities = {9, 9};
    const Bytes whole = serialize(m);
    ASSERT_EQ(whole.size(), 84u);
    auto cut = [&whole](std::size_t size) { return Bytes(whole.begin(), whole.begin() + static_cast<long>(size)); };
    auto patched = [&whole](std::size_t at, std::uint32_t value) {
        Bytes bytes = whole;
        for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<unsigned char>(value >> (8 * i));
        return bytes;
    };
    struct Case {
        const char* name;
        Bytes bytes;
        std::string error;  // empty: any message
    };
    const Case cases[] = {
        {"empty", {}, "LaserScan message of 0 bytes is too short"},
        {"header only, cut", cut(3), "LaserScan message of 3 bytes is too short"},
        {"header alone", cut(4), ""},
        {"cut inside the frame name", cut(18), ""},
        {"ranges cut after two values", cut(60), "LaserScan ranges end after 2 of 5 values"},
        {"ranges cut inside a value", cut(63), "LaserScan ranges end after 2 of 5 values"},
        {"ranges' length absurd", patched(48, 0xFFFFFFFF), "LaserScan ranges end after 8 of 4294967295 values"},
        {"frame length absurd", patched(12, 0x7FFFFFFF), ""},
        {"intensities cut", cut(80), "LaserScan intensities end after 1 of 2 values"},
        {"parameter-list encapsulation", [&] { Bytes b = whole; b[1] = 0x03; return b; }(),
         "not plain CDR (encapsulation 0x0003)"},
        {"XCDR2 encapsulation", [&] { Bytes b = whole; b[1] = 0x07; return b; }(), "not plain CDR (encapsulation 0x0007)"},
    };
    for (const Case& c : cases) {
        RawScan scan;
        std::string error;
        EXPECT_FALSE(decode(c.bytes, scan, error)) << c.name;
        if (!c.error.empty()) {
            EXPECT_EQ(error, c.error) << c.name;
        }
        EXPECT_FALSE(error.empty()) << c.name;
    }
}

TEST(DecodeRos2LaserScan, EveryTruncationFailsCleanly) {
    // Run under the sanitizers, this shows no cut reads past the bytes it was given.
    ScanMessage m;
    m.intensities = {1, 2, 3, 4, 5, 6, 7};
    const Bytes whole = serialize(m, true);
    for (std::size_t size = 0; size < whole.size(); ++size) {
        const Bytes bytes(whole.begin(), whole.begin() + static_cast<long>(size));
        RawScan scan;
        std::string error;
        EXPECT_FALSE(decode(bytes, scan, error)) << size << " bytes";
        EXPECT_FALSE(error.empty()) << size << " bytes";
    }
}

// ---- reading bags --------------------------------------------------------------------------

TEST(ReadRos2Sqlite, HandsOverScansWithTheirInfo) {
    TempDir folder;
    const std::string file = folder / "bag.db3";
    // /scan is listed twice (rows of both ids count); another topic's bytes are never decoded;
    // a zero header stamp takes the record time.
    ScanMessage unstamped = scanAt(0, 2);
    unstamped.nanoseconds = 0;
    writeBag(file, {{1, "/scan", kLaserScan}, {2, "/imu", "sensor_msgs/msg/Imu"}, {3, "/scan", kLaserScan}},
             {{1, 1, 1000, serialize(scanAt(1, 1))},
              {2, 3, 1771520011719411186, serialize(unstamped)},
              {3, 2, 1771520011719411187, Bytes{1, 2, 3}},
              {4, 1, 1771520011819411186, serialize(scanAt(3, 3))}});
    const Collected c = readFile(file);
    ASSERT_TRUE(c.ok) << c.error;
    ASSERT_EQ(c.infos.size(), 1u);
    EXPECT_EQ(c.infos[0].format, LogFormat::ros2Sqlite);
    EXPECT_EQ(c.infos[0].topic, "/scan");
    EXPECT_EQ(c.infos[0].scanCount, 3u);
    ASSERT_EQ(c.scans.size(), 3u);
    EXPECT_EQ(c.scans[0].stampNs, 1000000500);
    EXPECT_EQ(c.scans[1].stampNs, 1771520011719411186);
    EXPECT_EQ(c.scans[2].stampNs, 3000000500);
    EXPECT_EQ(c.scans[1].ranges, (std::vector<double>{2, 3, 4}));
    EXPECT_EQ(c.scans[2].angleMin, -1.5);
    EXPECT_EQ(c.scans[2].rangeMax, 30);
}

TEST(ReadRos2Sqlite, OrdersByTimestampThenId) {
    // Ids in the order written, timestamps in the order recorded: the timestamp wins, and
    // equal timestamps keep their ids' order; with the index or without it.
    for (const bool indexed : {true, false}) {
        TempDir folder;
        const std::string file = folder / "bag.db3";
        writeBag(file, kScanTopic,
                 {{1, 1, 300, serialize(scanAt(1, 30))},
                  {2, 1, 100, serialize(scanAt(1, 10))},
                  {5, 1, 200, serialize(scanAt(1, 21))},
                  {3, 1, 200, serialize(scanAt(1, 20))},
                  {4, 1, 50, serialize(scanAt(1, 5))}});
        if (!indexed) {
            sqlite3* db = nullptr;
            ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
            exec(db, "DROP INDEX timestamp_idx");
            sqlite3_close(db);
        }
        const Collected c = readFile(file);
        ASSERT_TRUE(c.ok) << c.error;
        EXPECT_EQ(firstRanges(c), (std::vector<float>{5, 10, 20, 21, 30})) << "indexed " << indexed;
    }
}

TEST(ReadRos2Sqlite, ReadsTheFilesOfABagInTurn) {
    TempDir folder;
    // Each file numbers its own topics: /scan is 1 in the first file and 2 in the second.
    writeBag(folder / "bag_0.db3", kScanTopic, scanRows(2));
    std::vector<MessageRow> rows = scanRows(3, 2, 3);
    rows.push_back({9, 1, 3500, Bytes{0}});
    writeBag(folder / "bag_1.db3", {{1, "/odom", "nav_msgs/msg/Odometry"}, {2, "/scan", kLaserScan}}, rows);
    const std::vector<std::string> files{folder / "bag_0.db3", folder / "bag_1.db3"};
    const Collected c = readBag(files, folder.path);
    ASSERT_TRUE(c.ok) << c.error;
    ASSERT_EQ(c.infos.size(), 1u);
    EXPECT_EQ(c.infos[0].scanCount, 5u);
    EXPECT_EQ(firstRanges(c), (std::vector<float>{1, 2, 3, 4, 5}));
    // A consumer that has enough stops the reading at once, in whichever file.
    for (const std::size_t wanted : {1, 2, 4}) {
        const Collected some = readBag(files, folder.path, "", wanted);
        EXPECT_TRUE(some.ok) << some.error;
        EXPECT_EQ(some.scans.size(), wanted);
    }
}

TEST(ReadRos2Sqlite, ChoosesTheLaserScanTopic) {
    TempDir folder;
    const std::string two = folder / "two.db3";
    std::vector<MessageRow> rows = scanRows(2, 1);
    for (MessageRow& row : scanRows(3, 2, 10)) rows.push_back(row);
    writeBag(two, {{1, "/front_scan", kLaserScan}, {2, "/rear_scan", kLaserScan}, {3, "/imu", "sensor_msgs/msg/Imu"}},
             rows);
    const std::string none = folder / "none.db3";
    writeBag(none, {{1, "/imu", "sensor_msgs/msg/Imu"}}, {{1, 1, 5, Bytes{0}}});
    struct Case {
        std::string file;
        std::string topic;
        std::size_t scans;     // taken when the choice succeeds
        std::string error;     // after "FILE: "; empty when the choice succeeds
    };
    const Case cases[] = {
        {two, "/rear_scan", 3, ""},
        {two, "front_scan", 2, ""},
        {two, "", 0, "several LaserScan topics; choose one with --topic: /front_scan (2 messages), /rear_scan (3 messages)"},
        {two, "/imu", 0, "topic /imu holds sensor_msgs/msg/Imu, not LaserScan; LaserScan topics: /front_scan (2 messages), "
                         "/rear_scan (3 messages)"},
        {two, "/side_scan", 0, "no topic /side_scan in the bag; LaserScan topics: /front_scan (2 messages), /rear_scan "
                               "(3 messages)"},
        {none, "", 0, "no sensor_msgs/LaserScan topic (topics: /imu (sensor_msgs/msg/Imu))"},
    };
    for (const Case& c : cases) {
        const Collected got = readFile(c.file, c.topic);
        const std::string label = c.file + " --topic '" + c.topic + "'";
        EXPECT_EQ(got.ok, c.error.empty()) << label << ": " << got.error;
        EXPECT_EQ(got.scans.size(), c.scans) << label;
        if (!c.error.empty()) {
            EXPECT_EQ(got.error, c.file + ": " + c.error) << label;
            // Nothing announced, readLog says it is a bag, unless the choice was left open among
            // several: then the LaserScan topics are announced, for a report on each.
            if (c.file == two && c.topic.empty()) {
                ASSERT_EQ(got.infos.size(), 1u) << label;
                EXPECT_EQ(got.infos[0].topic, "") << label;
                EXPECT_EQ(got.infos[0].laserScanTopics, (std::vector<std::string>{"/front_scan", "/rear_scan"})) << label;
            } else {
                EXPECT_TRUE(got.infos.empty()) << label;
            }
        }
    }
}

// The timestamp index's root page, made to list only its first entry: an index that SQLite
// walks without complaint, but that loses rows.
void cutTimestampIndexToOneEntry(const std::string& file) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
    sqlite3_stmt* query = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT rootpage, (SELECT page_size FROM pragma_page_size) FROM sqlite_master "
                                     "WHERE name = 'timestamp_idx'", -1, &query, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(query), SQLITE_ROW);
    const std::int64_t root = sqlite3_column_int64(query, 0), pageSize = sqlite3_column_int64(query, 1);
    sqlite3_finalize(query);
    sqlite3_close(db);
    std::fstream bytes(file, std::ios::in | std::ios::out | std::ios::binary);
    bytes.seekp((root - 1) * pageSize + 3);  // a leaf page's cell count, big-endian
    bytes.write("\0\1", 2);
}

// Damage and oddities that SQLite itself reads without complaint.
TEST(ReadRos2Sqlite, FindsWhatSqliteDoesNotComplainOf) {
    TempDir folder;
    const std::string otherType = folder / "other_type.db3", lostIndex = folder / "lost_index.db3",
                      lineEnd = folder / "line_end.db3";
    std::vector<MessageRow> rows = scanRows(2);
    rows.push_back({3, 2, 1500, serialize(scanAt(9, 9))});  // a LaserScan's bytes, stored as another type
    writeBag(otherType, {{1, "/scan", kLaserScan}, {2, "/scan", "std_msgs/msg/String"}}, rows);
    writeBag(lostIndex, kScanTopic, scanRows(5));
    cutTimestampIndexToOneEntry(lostIndex);
    writeBag(lineEnd, {{1, "/scan", kLaserScan, "cd\nr"}}, scanRows(1));
    const struct {
        std::string file;
        std::vector<float> firsts;
        std::string error;  // after "FILE: "
    } cases[] = {
        {otherType, {1, 2}, ""},
        {lostIndex, {1},
         "damaged bag: the messages table holds 5 messages of /scan, 1 of them were found in timestamp order"},
        {lineEnd, {}, "topic /scan is serialized as \"cd\\x0ar\"; only cdr is read"},
    };
    for (const auto& c : cases) {
        const Collected got = readFile(c.file);
        SCOPED_TRACE(c.file);
        EXPECT_EQ(got.ok, c.error.empty());
        EXPECT_EQ(got.error, c.error.empty() ? "" : c.file + ": " + c.error);
        EXPECT_EQ(firstRanges(got), c.firsts);
    }
    EXPECT_EQ(readFile(otherType).infos.at(0).scanCount, 2u);
}

TEST(ReadRos2Sqlite, ReadsLargeAndScatteredBagsExactly) {
    // Messages of many sizes (one of 1.6 MB, more than any read-ahead window), recorded out of
    // order among another topic's, so that pages are read forward, backward and far apart.
    TempDir folder;
    const std::string file = folder / "bag.db3";
    constexpr int kScans = 1200;
    auto rangesOf = [](int stamp) {
        const int count = stamp == 600 ? 400000 : 1 + (stamp * 37) % 1500;
        std::vector<float> ranges(static_cast<std::size_t>(count));
        for (int i = 0; i < count; ++i) ranges[static_cast<std::size_t>(i)] = static_cast<float>(stamp) + i / 4096.0f;
        return ranges;
    };
    std::vector<MessageRow> rows;
    for (int id = 1; id <= kScans; ++id) {
        const int stamp = 1 + (id * 7919) % kScans;  // a permutation of 1..kScans
        ScanMessage m = scanAt(stamp, 0);
        m.ranges = rangesOf(stamp);
        rows.push_back({2 * id, 1, stamp, serialize(m)});
        rows.push_back({2 * id + 1, 2, stamp, Bytes(static_cast<std::size_t>(50 + id % 3000), 0xAB)});
    }
    writeBag(file, {{1, "/scan", kLaserScan}, {2, "/points", "sensor_msgs/msg/PointCloud2"}}, rows);
    const Collected c = readFile(file);
    ASSERT_TRUE(c.ok) << c.error;
    ASSERT_EQ(c.scans.size(), static_cast<std::size_t>(kScans));
    for (int stamp = 1; stamp <= kScans; ++stamp) {
        const RawScan& scan = c.scans[static_cast<std::size_t>(stamp - 1)];
        ASSERT_EQ(scan.stampNs, std::int64_t{stamp} * 1000000000 + 500) << stamp;
        const std::vector<float> expected = rangesOf(stamp);
        ASSERT_EQ(scan.ranges.size(), expected.size()) << stamp;
        for (std::size_t i = 0; i < expected.size(); ++i) ASSERT_EQ(scan.ranges[i], double{expected[i]}) << stamp << ", " << i;
    }
}

TEST(ReadRos2Sqlite, ReportsADamagedMessageAfterTheScansBeforeIt) {
    TempDir folder;
    writeBag(folder / "a.db3", kScanTopic, scanRows(2));
    ScanMessage m = scanAt(3, 3);
    m.ranges.assign(10, 1.0f);
    Bytes cut = serialize(m);
    cut.resize(cut.size() - 4 * 5 - 4);  // drop the intensities' length and the last five ranges
    writeBag(folder / "b.db3", kScanTopic, {{1, 1, 10, serialize(scanAt(3, 3))}, {2, 1, 20, cut}, {3, 1, 30, serialize(scanAt(4, 4))}});
    const Collected c = readBag({folder / "a.db3", folder / "b.db3"}, folder.path);
    EXPECT_FALSE(c.ok);
    // Counted over the whole bag, named by the file it is in.
    EXPECT_EQ(c.error, folder / "b.db3" + ": message 4: LaserScan ranges end after 5 of 10 values");
    EXPECT_EQ(c.scans.size(), 3u);
    EXPECT_EQ(c.infos.size(), 1u);
}

// A cut inside a page once gave that page's missing bytes as zeros, read as ranges; a cut
// at a page's end, pages the b-tree points to that are not there.
TEST(ReadRos2Sqlite, TruncatedBagKeepsExactlyWhatCameBeforeAndSaysItIsCut) {
    TempDir folder;
    const std::string file = folder / "bag.db3";
    // Scans of 1000 ranges fill a page or more each, so a cut loses the later ones.
    std::vector<MessageRow> rows;
    for (int i = 1; i <= 200; ++i) rows.push_back({i, 1, i * 1000, serialize(scanOfManyRanges(i))});
    writeBag(file, kScanTopic, rows);
    const auto size = fs::file_size(file);
    const struct {
        double kept;
        std::uintmax_t intoPage;
    } cuts[] = {{0.97, 100}, {0.75, 100}, {0.5, 2000}, {0.1, 100}, {0.97, 0}, {0.5, 0}, {0.99, 4095}};
    for (const auto& cut : cuts) {
        const std::string cutFile = folder / "cut.db3";
        fs::copy_file(file, cutFile, fs::copy_options::overwrite_existing);
        const std::uintmax_t length = static_cast<std::uintmax_t>(size * cut.kept) / 4096 * 4096 + cut.intoPage;
        fs::resize_file(cutFile, length);
        const Collected c = readFile(cutFile);
        SCOPED_TRACE(std::to_string(length) + " bytes: " + c.error);
        EXPECT_FALSE(c.ok);
        // Everything before the cut arrived exactly, in order, and the place counts on from it.
        ASSERT_FALSE(c.scans.empty());
        EXPECT_LT(c.scans.size(), 200u);
        for (std::size_t i = 0; i < c.scans.size(); ++i) ASSERT_EQ(c.scans[i].ranges, doubles(scanOfManyRanges(i + 1)));
        const std::string cause = "truncated file: " + std::to_string(length) + " bytes, its header says " + std::to_string(size);
        EXPECT_EQ(c.error.rfind(cutFile + ": message " + std::to_string(c.scans.size() + 1) + ": " + cause + " (", 0), 0u);
    }
}

// A page taken out of the middle, or one repeated, shifts every later page one place: SQLite
// would read some as others, so the bag is refused before any scan.
TEST(ReadRos2Sqlite, PagesMissingOrRepeatedInsideAreRefusedBeforeAnyScan) {
    TempDir folder;
    const std::string file = folder / "bag.db3";
    std::vector<MessageRow> rows;
    for (int i = 1; i <= 200; ++i) rows.push_back({i, 1, i * 1000, serialize(scanOfManyRanges(i))});
    writeBag(file, kScanTopic, rows);
    std::ifstream in(file, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), {});
    const std::size_t middle = bytes.size() / 4096 / 2 * 4096;
    const std::string page = bytes.substr(middle, 4096);
    const std::string cases[] = {std::string(bytes).erase(20 * 4096, 4096), std::string(bytes).erase(middle, 4096),
                                 std::string(bytes).insert(middle, page), std::string(bytes).insert(20 * 4096, page)};
    for (const std::string& damaged : cases) {
        const std::string changed = folder / "changed.db3";
        std::ofstream(changed, std::ios::binary) << damaged;
        const Collected c = readFile(changed);
        SCOPED_TRACE(std::to_string(damaged.size()) + " bytes: " + c.error);
        EXPECT_FALSE(c.ok);
        EXPECT_TRUE(c.scans.empty());
        EXPECT_EQ(c.error.rfind(changed + ": damaged bag: " + std::to_string(damaged.size()) + " bytes, its header says " +
                                    std::to_string(bytes.size()) + ", and the pages are not as it says (",
                                0),
                  0u);
    }
}

TEST(ReadRos2Sqlite, DamageFoundWhileCountingOutranksTheTopicChoice) {
    TempDir folder;
    const std::string file = folder / "bag.db3";
    std::vector<MessageRow> rows;
    for (int i = 1; i <= 100; ++i) {
        ScanMessage m = scanAt(i, static_cast<float>(i));
        m.ranges.resize(1000, 2.5f);
        rows.push_back({i, 1 + i % 2, i * 1000, serialize(m)});
    }
    writeBag(file, {{1, "/front_scan", kLaserScan}, {2, "/rear_scan", kLaserScan}}, rows);
    const auto whole = fs::file_size(file);
    fs::resize_file(file, whole / 2);
    // The counts are partial, so a list of topics with counts would mislead.
    EXPECT_EQ(readFile(file).error, file + ": counting the messages: truncated file: " + std::to_string(whole / 2) +
                                        " bytes, its header says " + std::to_string(whole) + " (database disk image is malformed)");
    const Collected chosen = readFile(file, "/rear_scan");
    EXPECT_FALSE(chosen.ok);
    EXPECT_FALSE(chosen.scans.empty());
    EXPECT_NE(chosen.error.find(": message "), std::string::npos) << chosen.error;
}

TEST(ReadRos2Sqlite, SaysSoWhenAWriteAheadLogIsLeftBeside) {
    TempDir folder;
    const std::string file = folder / "bag.db3";
    writeBag(file, kScanTopic, scanRows(2), true);
    // A recorder that stopped before checkpointing leaves its last messages in bag.db3-wal.
    sqlite3* recorder = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &recorder), SQLITE_OK);
    exec(recorder, "PRAGMA wal_autocheckpoint=0");
    insertMessages(recorder, scanRows(1, 1, 3));
    const std::string copy = folder / "copy";
    fs::create_directory(copy);
    fs::copy_file(file, copy + "/bag.db3");
    fs::copy_file(file + "-wal", copy + "/bag.db3-wal");
    sqlite3_close(recorder);
    const auto walSize = fs::file_size(copy + "/bag.db3-wal");
    testing::internal::CaptureStderr();
    const Collected c = readFile(copy + "/bag.db3");
    const std::string warning = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(c.ok) << c.error;
    EXPECT_EQ(c.scans.size(), 2u);
    EXPECT_EQ(warning, "scanlog: " + copy + "/bag.db3: messages in " + copy + "/bag.db3-wal (" +
                           std::to_string(walSize) + " bytes, not yet merged into the bag) are not read\n");
    EXPECT_EQ(listing(copy), (std::vector<std::string>{"bag.db3", "bag.db3-wal"}));
    EXPECT_EQ(fs::file_size(copy + "/bag.db3-wal"), walSize);
}

TEST(ReadRos2Sqlite, CorruptPagesFailWithoutCrashing) {
    TempDir folder;
    const std::string file = folder / "bag.db3";
    writeBag(file, kScanTopic, scanRows(300));
    const auto size = fs::file_size(file);
    // Scribble over one page at a time, the schema page included.
    for (std::uintmax_t page = 0; page * 4096 < size; page += 3) {
        const std::string bad = folder / "bad.db3";
        fs::copy_file(file, bad, fs::copy_options::overwrite_existing);
        std::fstream bytes(bad, std::ios::in | std::ios::out | std::ios::binary);
        bytes.seekp(static_cast<std::streamoff>(page * 4096 + 100));
        for (int i = 0; i < 2000; ++i) bytes.put(static_cast<char>(i * 37 + 11));
        bytes.close();
        const Collected c = readFile(bad);
        if (!c.ok) {
            EXPECT_EQ(c.error.compare(0, bad.size() + 2, bad + ": "), 0) << c.error;
        }
        EXPECT_LE(c.scans.size(), 300u);
    }
}

TEST(ReadRos2Sqlite, RefusesWhatIsNotACdrBag) {
    TempDir folder;
    const std::string plain = folder / "plain.db3";
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(plain.c_str(), &db), SQLITE_OK);
    exec(db, "CREATE TABLE topics(id INTEGER PRIMARY KEY, name TEXT)");
    sqlite3_close(db);
    const std::string json = folder / "json.db3";
    writeBag(json, {{1, "/scan", kLaserScan, "json"}}, {{1, 1, 5, Bytes{'{', '}'}}});
    const std::string garbage = folder / "garbage.db3";
    std::ofstream(garbage) << "SQLite format 3" << std::string(1, '\0') << std::string(5000, 'x');
    const std::string missing = folder / "missing.db3";
    const std::map<std::string, std::string> expected{
        {plain, plain + ": not a ROS 2 bag (an SQLite database without topics and messages tables)"},
        {json, json + ": topic /scan is serialized as \"json\"; only cdr is read"},
        {garbage, garbage + ": not a readable ROS 2 bag: file is not a database"},
        {missing, "cannot open " + missing + ": No such file or directory"},
    };
    for (const auto& [file, error] : expected) {
        const Collected c = readFile(file);
        EXPECT_FALSE(c.ok) << file;
        EXPECT_EQ(c.error, error);
        EXPECT_TRUE(c.scans.empty()) << file;
        EXPECT_TRUE(c.infos.empty()) << file;
    }
}

TEST(ReadRos2Sqlite, ReadsAnUnnamedCopyThroughItsDescriptor) {
    // A gzip-compressed bag is decompressed into a file without a name and read as
    // /proc/self/fd/N; messages still name the path the user gave.
    TempDir folder;
    const std::string file = folder / "bag.db3";
    writeBag(file, kScanTopic, scanRows(3));
    const int copy = open(folder.path.c_str(), O_TMPFILE | O_RDWR, 0600);
    ASSERT_GE(copy, 0);
    std::ifstream in(file, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_EQ(write(copy, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    const std::string byDescriptor = "/proc/self/fd/" + std::to_string(copy);
    const Collected c = readBag({byDescriptor}, "bag.db3.gz");
    EXPECT_TRUE(c.ok) << c.error;
    EXPECT_EQ(c.scans.size(), 3u);
    EXPECT_EQ(readBag({byDescriptor}, "bag.db3.gz", "/rear").error,
              "bag.db3.gz: no topic /rear in the bag; LaserScan topics: /scan (3 messages)");
    close(copy);
}

TEST(ReadRos2Sqlite, LeavesAWalModeBagUntouchedEvenInAReadOnlyFolder) {
    for (const bool readOnly : {false, true}) {
        TempDir folder;
        const std::string file = folder / "bag.db3";
        writeBag(file, kScanTopic, scanRows(4), true);
        ASSERT_EQ(listing(folder.path), std::vector<std::string>{"bag.db3"});
        if (readOnly) {
            fs::permissions(file, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
            fs::permissions(folder.path, fs::perms::owner_read | fs::perms::owner_exec);
        }
        struct stat before {};
        ASSERT_EQ(stat(file.c_str(), &before), 0);
        const Collected c = readFile(file);
        EXPECT_TRUE(c.ok) << c.error;
        EXPECT_EQ(c.scans.size(), 4u);
        // No -wal, -shm or journal beside it, and the bag itself unwritten.
        EXPECT_EQ(listing(folder.path), std::vector<std::string>{"bag.db3"}) << "read-only " << readOnly;
        struct stat after {};
        ASSERT_EQ(stat(file.c_str(), &after), 0);
        EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
        EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    }
}

TEST(ReadRos2Sqlite, OpensPathsThatAUriWouldMisread) {
    TempDir folder;
    // Each name, if put in a URI unencoded, would open another file or none.
    for (const std::string name : {"a?b.db3", "a#b.db3", "a%3Fb.db3", "100%.db3", "sp ace.db3"}) {
        writeBag(folder / name, kScanTopic, scanRows(1));
        const Collected c = readFile(folder / name);
        EXPECT_TRUE(c.ok) << name << ": " << c.error;
        EXPECT_EQ(c.scans.size(), 1u) << name;
    }
    // Relative to the working folder, as a user types it.
    const fs::path home = fs::current_path();
    fs::current_path(folder.path);
    const Collected c = readFile("a?b.db3");
    fs::current_path(home);
    EXPECT_TRUE(c.ok) << c.error;
    EXPECT_EQ(c.scans.size(), 1u);
    // A path with doubled slashes in front is still a local file, not a host name.
    const Collected doubled = readFile("/" + folder / "a#b.db3");
    EXPECT_TRUE(doubled.ok) << doubled.error;
}

}  // namespace
