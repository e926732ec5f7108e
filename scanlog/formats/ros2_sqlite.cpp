// ROS 2 bags stored in SQLite (.db3): a `topics` table naming each topic with its type and
// serialization, and a `messages` table of (topic_id, timestamp, data) rows, data being the CDR
// bytes of one message. A bag may be split over several files, read in the order the bag's
// metadata lists them; each file has its own topic ids.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <memory>
#include <new>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>

#include "format_reader.hpp"
#include "scan_reader.hpp"
#include "sqlite_read_ahead.hpp"
#include "topics.hpp"
#include "pose_messages.hpp"

namespace {

using Database = std::unique_ptr<sqlite3, decltype(&sqlite3_close)>;
using Statement = std::unique_ptr<sqlite3_stmt, decltype(&sqlite3_finalize)>;

// A topic as one file's `topics` table holds it, with its message count in that file. Its
// texts are kept as messages show them (control bytes as \xHH), so that every message that
// names them stays one line.
struct StoredTopic {
    std::int64_t id = 0;
    std::string name;
    std::string type;
    std::string serialization;
    std::uint64_t messages = 0;
};

struct BagFile {
    std::string file;       // what to open
    std::string shown;      // how messages name it
    std::vector<StoredTopic> topics;
    std::string damage;     // SQLite's words when counting the messages ran into damage
};

// Messages name the file inside a bag folder, and otherwise the path the user gave (which
// also hides the /proc/self/fd/N of a gzip-compressed bag's decompressed copy).
std::string shownName(const std::string& file, const std::string& path) {
    const std::string folder = path + "/";
    return file.compare(0, folder.size(), folder) == 0 ? file : path;
}

// ---- opening ------------------------------------------------------------------------------

// `file:` URIs take their path percent-decoded and end it at `?` or `#`, so those (and `%`
// itself) are encoded. An absolute path gets an empty authority, since one starting `//`
// would otherwise be read as a host name.
std::string immutableUri(const std::string& file) {
    static const char hex[] = "0123456789ABCDEF";
    std::string uri = file.empty() || file[0] != '/' ? "file:" : "file://";
    for (const unsigned char c : file) {
        if (c == '?' || c == '#' || c == '%' || c < 0x20 || c == 0x7f) {
            uri += '%';
            uri += hex[c >> 4];
            uri += hex[c & 15];
        } else {
            uri += static_cast<char>(c);
        }
    }
    return uri + "?immutable=1";
}

// Immutable: the bag is taken as a file nobody writes, so SQLite takes no locks and never
// creates -wal, -shm or journal files beside it, even for a bag left in WAL mode or a folder
// the user may not write to.
bool openBagFile(const BagFile& bag, Database& db, std::string& error) {
    // SQLite's own words for a missing or unreadable file are vaguer than the system's.
    const int fd = open(bag.file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = "cannot open " + bag.shown + ": " + std::strerror(errno);
        return false;
    }
    close(fd);
    sqlite3* handle = nullptr;
    const int flags = SQLITE_OPEN_READONLY | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX;
    const int rc = sqlite3_open_v2(immutableUri(bag.file).c_str(), &handle, flags, bagVfs());
    db.reset(handle);
    if (rc != SQLITE_OK) {
        error = bag.shown + ": cannot open as SQLite: " + (handle ? sqlite3_errmsg(handle) : sqlite3_errstr(rc));
        return false;
    }
    // SQLite refuses a whole file that is shorter than its header says, so a truncated bag
    // would give nothing. With a writable schema it reads the pages that are there and fails
    // only on reaching a missing one, so the scans before the cut are kept. Nothing can be
    // written: the file is open read-only and immutable.
    sqlite3_db_config(handle, SQLITE_DBCONFIG_WRITABLE_SCHEMA, 1, nullptr);
    return true;
}

bool prepare(sqlite3* db, const char* sql, Statement& statement, std::string& error) {
    sqlite3_stmt* raw = nullptr;
    const int rc = sqlite3_prepare_v2(db, sql, -1, &raw, nullptr);
    statement.reset(raw);
    if (rc != SQLITE_OK) error = sqlite3_errmsg(db);
    return rc == SQLITE_OK;
}

std::string columnText(sqlite3_stmt* statement, int column) {
    const unsigned char* text = sqlite3_column_text(statement, column);
    return text ? reinterpret_cast<const char*>(text) : "";
}

// The first thing read from the file: it fails with SQLite's words when the file is no
// database at all or its schema is damaged.
bool hasBagTables(sqlite3* db, bool& has, std::string& error) {
    Statement statement(nullptr, sqlite3_finalize);
    const char* sql = "SELECT COUNT(*) FROM sqlite_master WHERE type = 'table' AND name IN ('topics', 'messages')";
    if (!prepare(db, sql, statement, error)) return false;
    if (sqlite3_step(statement.get()) != SQLITE_ROW) {
        error = sqlite3_errmsg(db);
        return false;
    }
    has = sqlite3_column_int(statement.get(), 0) == 2;
    return true;
}

// Every topic of the file, in the order of the topics table.
bool readTopics(sqlite3* db, std::vector<StoredTopic>& topics, std::string& error) {
    Statement statement(nullptr, sqlite3_finalize);
    const char* sql = "SELECT id, name, type, serialization_format FROM topics ORDER BY id";
    if (!prepare(db, sql, statement, error)) return false;
    int rc;
    while ((rc = sqlite3_step(statement.get())) == SQLITE_ROW) {
        StoredTopic topic;
        topic.id = sqlite3_column_int64(statement.get(), 0);
        topic.name = printableName(columnText(statement.get(), 1));
        topic.type = printableName(columnText(statement.get(), 2));
        topic.serialization = printableName(columnText(statement.get(), 3));
        topics.push_back(std::move(topic));
    }
    if (rc != SQLITE_DONE) error = sqlite3_errmsg(db);
    return rc == SQLITE_DONE;
}

// Counts each topic's messages: one pass over the messages' leaf pages, which never touches
// the message bytes themselves (overflow pages, for all but small messages). Rows are
// counted here rather than with GROUP BY, which would sort, and so that damage leaves the
// counts up to it: the topic can still be chosen and the scans before the damage read.
bool countMessages(sqlite3* db, std::vector<StoredTopic>& topics, std::string& error) {
    std::unordered_map<std::int64_t, StoredTopic*> byId;
    for (StoredTopic& topic : topics) byId.emplace(topic.id, &topic);
    Statement statement(nullptr, sqlite3_finalize);
    if (!prepare(db, "SELECT topic_id FROM messages", statement, error)) return false;
    std::int64_t lastId = 0;
    StoredTopic* last = nullptr;
    int rc;
    while ((rc = sqlite3_step(statement.get())) == SQLITE_ROW) {
        const std::int64_t id = sqlite3_column_int64(statement.get(), 0);
        // Messages of one topic tend to come in runs.
        if (last == nullptr || id != lastId) {
            const auto found = byId.find(id);
            lastId = id;
            last = found == byId.end() ? nullptr : found->second;
            if (last == nullptr) continue;
        }
        ++last->messages;
    }
    if (rc != SQLITE_DONE) error = sqlite3_errmsg(db);
    return rc == SQLITE_DONE;
}

// Immutable reading does not look at a write-ahead log, so what a recorder left in one (it
// stopped before checkpointing) is not read; say so rather than lose it silently.
void warnAboutWriteAheadLog(const BagFile& bag) {
    struct stat status {};
    const std::string wal = bag.file + "-wal";
    if (stat(wal.c_str(), &status) != 0 || status.st_size == 0) return;
    const std::string shown = printableName(bag.shown);
    std::fprintf(stderr, "scanlog: %s: messages in %s-wal (%lld bytes, not yet merged into the bag) are not read\n",
                 shown.c_str(), shown.c_str(), static_cast<long long>(status.st_size));
    std::fflush(stderr);
}

// "truncated file: ..." when the file is shorter than its header says, else empty. SQLite's
// own words for what that does to a read ("disk I/O error") don't say so.
std::string shortfall(const BagFile& bag) {
    const int fd = open(bag.file.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat status {};
    std::string cut;
    if (fd >= 0 && fstat(fd, &status) == 0) {
        const sqlite3_int64 length = sqliteLengthFromHeader(fd, status.st_size);
        if (status.st_size < length) {
            cut = "truncated file: " + std::to_string(status.st_size) + " bytes, its header says " + std::to_string(length);
        }
    }
    if (fd >= 0) close(fd);
    return cut;
}

// SQLite's words for a failed read, with the cause when the file was cut short.
std::string readFailure(const BagFile& bag, const std::string& what) {
    const std::string cut = shortfall(bag);
    return cut.empty() ? what : cut + " (" + what + ")";
}

// A file shorter than its header says was cut, or lost pages from inside: then every page
// after the gap sits one place early, and SQLite, which keeps no checksums, would read some
// of them as the missing ones' rows. SQLite's own check tells the two apart: after a cut its
// only complaints are pointers to pages past the end (`pagesThere`, the whole pages left), and,
// from SQLite 3.45 on (Debian 13), that an index now holds more or fewer entries than its
// table: a consequence of those lost pages, excused only when there are some.
// Anything else, and no scan of the file can be trusted. Run only on a file whose length is
// not its header's; a check that can't finish leaves the damage to be found where it lies.
constexpr int kComplaintsLooked = 100;

bool checkPages(sqlite3* db, sqlite3_int64 pagesThere, std::string& complaint) {
    Statement statement(nullptr, sqlite3_finalize);
    const std::string sql = "PRAGMA quick_check(" + std::to_string(kComplaintsLooked) + ")";
    std::string what;
    if (!prepare(db, sql.c_str(), statement, what)) return true;
    bool pagesLost = false;
    std::string countComplaint;
    while (sqlite3_step(statement.get()) == SQLITE_ROW) {
        const std::string rows = columnText(statement.get(), 0);
        for (std::size_t start = 0; start < rows.size();) {
            const std::size_t end = std::min(rows.find('\n', start), rows.size());
            const std::string line = rows.substr(start, end - start);
            start = end + 1;
            // Pages that only pages past the cut pointed to are never used now ("Page N is never
            // used"; "Page N: never used" from SQLite 3.45 on).
            if (line == "ok" || line.compare(0, 3, "***") == 0 || line.find(" is never used") != std::string::npos ||
                line.find(": never used") != std::string::npos) {
                continue;
            }
            if (line.rfind("wrong # of entries in index", 0) == 0) {
                if (countComplaint.empty()) countComplaint = line;
                continue;
            }
            // A pointer past the last whole page, or the last page, cut in half, that can't be read.
            long long page = 0;
            for (const std::string words : {"invalid page number ", "failed to get page "}) {
                const std::size_t at = line.find(words);
                if (at != std::string::npos) page = std::atoll(line.c_str() + at + words.size());
            }
            if (line.compare(0, 5, "Page ") == 0 && line.find(": unable to get the page") != std::string::npos) {
                page = std::atoll(line.c_str() + 5);
            }
            if (page <= pagesThere) {
                complaint = line;
                return false;
            }
            pagesLost = true;
        }
    }
    if (countComplaint.empty() || pagesLost) return true;
    complaint = countComplaint;
    return false;
}

// A file longer than its header says may hold pages a checkpoint wrote before it was
// stopped, which SQLite does not read; or pages put in from elsewhere, which shift the rest.
// The same check, with no cut to excuse anything, tells them apart.
bool checkFileLength(const BagFile& bag, sqlite3* db, std::string& error) {
    struct stat status {};
    sqlite3_int64 pageSize = 0;
    Statement statement(nullptr, sqlite3_finalize);
    std::string what;
    const int fd = open(bag.file.c_str(), O_RDONLY | O_CLOEXEC);
    const bool measured = fd >= 0 && fstat(fd, &status) == 0;
    const sqlite3_int64 length = measured ? sqliteLengthFromHeader(fd, status.st_size) : 0;
    if (fd >= 0) close(fd);
    if (!measured || status.st_size == length || !prepare(db, "PRAGMA page_size", statement, what) ||
        sqlite3_step(statement.get()) != SQLITE_ROW || (pageSize = sqlite3_column_int64(statement.get(), 0)) <= 0) {
        return true;
    }
    const bool cut = status.st_size < length;
    std::string complaint;
    if (checkPages(db, cut ? status.st_size / pageSize : std::numeric_limits<sqlite3_int64>::max(), complaint)) return true;
    error = bag.shown + ": damaged bag: " + std::to_string(status.st_size) + " bytes, its header says " +
            std::to_string(length) + ", and the pages are not as it says (" + printableName(complaint) + ")";
    return false;
}

bool readBagTopics(BagFile& bag, std::string& error) {
    warnAboutWriteAheadLog(bag);
    Database db(nullptr, sqlite3_close);
    if (!openBagFile(bag, db, error)) return false;
    bool isBag = false;
    std::string what;
    if (!hasBagTables(db.get(), isBag, what)) {
        error = bag.shown + ": not a readable ROS 2 bag: " + what;
        return false;
    }
    if (!isBag) {
        error = bag.shown + ": not a ROS 2 bag (an SQLite database without topics and messages tables)";
        return false;
    }
    if (!readTopics(db.get(), bag.topics, what)) {
        error = bag.shown + ": reading the topics: " + what;
        return false;
    }
    if (!checkFileLength(bag, db.get(), error)) return false;
    if (!countMessages(db.get(), bag.topics, what)) {
        bag.damage = bag.shown + ": counting the messages: " + readFailure(bag, what);
    }
    return true;
}

// When counting ran into damage, that, not a topic choice made on partial counts, is what
// the user needs to hear.
bool damageFound(const std::vector<BagFile>& bags, std::string& error) {
    for (const BagFile& bag : bags) {
        if (!bag.damage.empty()) {
            error = bag.damage;
            return true;
        }
    }
    return false;
}

// Only rows of a LaserScan type are read from a topic: a topic listed more than once, with
// different types, has its other messages left alone, as ROS 1 bags and MCAP files do.
bool holdsScans(const StoredTopic& stored, const std::string& topic) {
    return stored.name == topic && isLaserScanType(stored.type);
}

// The bag's topics over all its files, by name, in order of first appearance (see mergeTopic).
std::vector<TopicCount> bagTopics(const std::vector<BagFile>& bags) {
    std::vector<TopicCount> topics;
    for (const BagFile& bag : bags) {
        for (const StoredTopic& stored : bag.topics) mergeTopic(topics, {stored.name, stored.type, stored.messages});
    }
    return topics;
}

bool checkSerialization(const std::vector<BagFile>& bags, const std::string& topic, std::string& error) {
    for (const BagFile& bag : bags) {
        for (const StoredTopic& stored : bag.topics) {
            if (holdsScans(stored, topic) && stored.serialization != "cdr") {
                error = bag.shown + ": topic " + topic + " is serialized as \"" + stored.serialization +
                        "\"; only cdr is read";
                return false;
            }
        }
    }
    return true;
}

// LaserScans of the topic in the file; a file may list one topic more than once (a recorder
// that saw it change), and all of its rows count.
std::uint64_t messagesOn(const BagFile& bag, const std::string& topic) {
    std::uint64_t messages = 0;
    for (const StoredTopic& stored : bag.topics) {
        if (holdsScans(stored, topic)) messages += stored.messages;
    }
    return messages;
}

// The rows of the topic's LaserScans, by topic id ("1, 4"; ids are integers from the file).
std::string scanTopicIds(const BagFile& bag, const std::string& topic) {
    std::string ids;
    for (const StoredTopic& stored : bag.topics) {
        if (holdsScans(stored, topic)) ids += (ids.empty() ? "" : ", ") + std::to_string(stored.id);
    }
    return ids;
}

struct Reading {
    const RawScanSink& sink;
    std::uint64_t number = 0;  // LaserScan messages taken so far, over all files
    RawScan scan;              // reused, so that its ranges are allocated once
    bool stopped = false;
    std::vector<std::string> poseTopics;  // maps: pose topics and /tf, /tf_static, read beside the scans
    std::uint64_t poseNumber = 0;         // pose messages taken so far
};

// What the file's own records let us see after its messages were read: the count the table
// gave against the rows the timestamp order gave (a damaged index loses rows silently), damage
// met while counting, and a file shorter than its header says.
bool checkFileAfterReading(const BagFile& bag, const std::string& topic, std::uint64_t read, std::string& error) {
    const std::uint64_t counted = messagesOn(bag, topic);
    if (bag.damage.empty() && read != counted) {
        error = bag.shown + ": damaged bag: the messages table holds " + std::to_string(counted) + " messages of " +
                topic + ", " + std::to_string(read) + " of them were found in timestamp order";
        return false;
    }
    if (!bag.damage.empty()) {
        error = bag.damage;
        return false;
    }
    const std::string cut = shortfall(bag);
    if (!cut.empty()) error = bag.shown + ": " + cut;
    return cut.empty();
}

// The statement's text: the scans' topic ids (LaserScans of that name only), then one
// parameter for each pose topic, read beside them.
std::string messagesQuery(const BagFile& bag, const std::string& topic, std::size_t poseTopics) {
    std::string sql = "SELECT timestamp, data, topic_id FROM messages WHERE topic_id IN (" + scanTopicIds(bag, topic) + ")";
    if (poseTopics > 0) {
        std::string names;
        for (std::size_t k = 0; k < poseTopics; ++k) names += (k == 0 ? "?" : ", ?") + std::to_string(k + 1);
        sql += " OR topic_id IN (SELECT id FROM topics WHERE name IN (" + names + "))";
    }
    return sql + " ORDER BY timestamp, id";
}

const StoredTopic* storedTopic(const BagFile& bag, std::int64_t id) {
    for (const StoredTopic& stored : bag.topics) {
        if (stored.id == id) return &stored;
    }
    return nullptr;
}

// One message of a pose topic or of /tf or /tf_static: false on damage (error set).
bool readPoseRow(const BagFile& bag, const StoredTopic& topic, const unsigned char* data, std::size_t size,
                 std::int64_t timestamp, Reading& reading, std::string& error) {
    ++reading.poseNumber;
    std::string what;
    const auto take = [&reading, timestamp](const PoseSample& sample) {
        if (reading.stopped) return;
        PoseSample stamped = sample;
        if (stamped.stampNs == 0) stamped.stampNs = timestamp;
        if (!reading.sink.pose(stamped)) reading.stopped = true;
    };
    if (!decodeRos2Poses(data, size, topic.type, topic.name, take, what)) {
        error = bag.shown + ": " + topic.name + " message " + std::to_string(reading.poseNumber) + ": " + what;
        return false;
    }
    return true;
}

bool readMessages(const BagFile& bag, const std::string& topic, Reading& reading, std::string& error) {
    Database db(nullptr, sqlite3_close);
    if (!openBagFile(bag, db, error)) return false;
    Statement statement(nullptr, sqlite3_finalize);
    std::string what;
    // ORDER BY timestamp, id is served by the timestamp index rosbag2 creates (its entries
    // end in the row id), so rows stream without a sort; a bag without it is sorted by SQLite,
    // spilling to temporary files rather than growing in memory.
    // Pose topics come in the same statement, so that all rows arrive in time order.
    const std::string sql = messagesQuery(bag, topic, reading.poseTopics.size());
    if (!prepare(db.get(), sql.c_str(), statement, what)) {
        error = bag.shown + ": message " + std::to_string(reading.number + 1) + ": " + what;
        return false;
    }
    std::uint64_t read = 0;
    for (std::size_t k = 0; k < reading.poseTopics.size(); ++k) {
        const std::string& name = reading.poseTopics[k];
        sqlite3_bind_text(statement.get(), static_cast<int>(k + 1), name.c_str(), static_cast<int>(name.size()),
                          SQLITE_TRANSIENT);
    }
    int rc;
    while ((rc = sqlite3_step(statement.get())) == SQLITE_ROW) {
        const StoredTopic* stored = storedTopic(bag, sqlite3_column_int64(statement.get(), 2));
        if (stored != nullptr && stored->name != topic) {
            const auto* data = static_cast<const unsigned char*>(sqlite3_column_blob(statement.get(), 1));
            const auto size = static_cast<std::size_t>(sqlite3_column_bytes(statement.get(), 1));
            if (!readPoseRow(bag, *stored, data, size, sqlite3_column_int64(statement.get(), 0), reading, error)) {
                return false;
            }
            if (reading.stopped) return true;
            continue;
        }
        ++reading.number;
        ++read;
        const auto* data = static_cast<const unsigned char*>(sqlite3_column_blob(statement.get(), 1));
        const auto size = static_cast<std::size_t>(sqlite3_column_bytes(statement.get(), 1));
        if (!decodeRos2LaserScan(data, size, reading.scan, what)) {
            error = bag.shown + ": message " + std::to_string(reading.number) + ": " + what;
            return false;
        }
        if (reading.scan.stampNs == 0) reading.scan.stampNs = sqlite3_column_int64(statement.get(), 0);
        if (!reading.sink.scan(reading.scan)) {
            reading.stopped = true;
            return true;
        }
    }
    if (rc != SQLITE_DONE) {
        error = bag.shown + ": message " + std::to_string(reading.number + 1) + ": " + readFailure(bag, sqlite3_errmsg(db.get()));
        return false;
    }
    return checkFileAfterReading(bag, topic, read, error);
}

bool readBagFiles(const std::vector<std::string>& files, const std::string& path, const LogOptions& options,
                  const RawScanSink& sink, LogInfo& info, std::string& error) {
    std::vector<BagFile> bags;
    for (const std::string& file : files) {
        bags.push_back({file, shownName(file, path), {}, {}});
        if (!readBagTopics(bags.back(), error)) return false;
    }
    const std::vector<TopicCount> topics = bagTopics(bags);
    std::string chosen;
    info.laserScanTopics = laserScanTopicNames(topics);
    if (!chooseLaserScanTopic(topics, options.topic, chosen, error)) {
        if (severalLaserScanTopics(topics, options.topic) && sink.begin) sink.begin(info);
        if (!damageFound(bags, error)) error = path + ": " + error;
        return false;
    }
    if (!checkSerialization(bags, chosen, error)) return false;

    info.topic = chosen;
    for (const TopicCount& topic : topics) {
        if (topic.name == chosen) info.scanCount = topic.messages;
    }
    if (sink.begin) sink.begin(info);

    Reading reading{sink, 0, RawScan{}, false, {}, 0};
    if (sink.pose) {
        std::vector<std::string> poseTopics;
        if (!choosePoseTopics(topics, sink.poseTopic, poseTopics, error)) {
            error = path + ": " + error;
            return false;
        }
        for (const TopicCount& topic : topics) {
            if (isTransformTopic(topic.name) && isTransformType(topic.type)) poseTopics.push_back(topic.name);
        }
        for (const std::string& name : poseTopics) {
            if (!checkSerialization(bags, name, error)) return false;
        }
        reading.poseTopics = poseTopics;
    }
    for (const BagFile& bag : bags) {
        // A file without the topic's messages is skipped, unless damage may have hidden them.
        const bool skipped = messagesOn(bag, chosen) == 0 && bag.damage.empty() && reading.poseTopics.empty();
        if (skipped ? !checkFileAfterReading(bag, chosen, 0, error) : !readMessages(bag, chosen, reading, error)) {
            return false;
        }
        if (reading.stopped) return true;
    }
    return true;
}

}  // namespace

bool readRos2Sqlite(const std::vector<std::string>& files, const std::string& path, const LogOptions& options,
                    const RawScanSink& sink, std::string& error) {
    LogInfo info;
    info.format = LogFormat::ros2Sqlite;
    return readBagFiles(files, path, options, sink, info, error);
}
