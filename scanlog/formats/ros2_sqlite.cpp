// ROS 2 bags stored in SQLite (.db3): a `topics` table naming each topic with its type and
// serialization, and a `messages` table of (topic_id, timestamp, data) rows, data being the CDR
// bytes of one message. A bag may be split over several files, read in the order the bag's
// metadata lists them; each file has its own topic ids.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <new>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>

#include "format_reader.hpp"
#include "sqlite_read_ahead.hpp"
#include "topics.hpp"

namespace {

constexpr const char* kFormatName = "ROS 2 bag (SQLite)";

using Database = std::unique_ptr<sqlite3, decltype(&sqlite3_close)>;
using Statement = std::unique_ptr<sqlite3_stmt, decltype(&sqlite3_finalize)>;

// A topic as one file's `topics` table holds it, with its message count in that file.
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
        error = "scanlog: cannot open " + bag.shown + ": " + std::strerror(errno);
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
        topic.name = columnText(statement.get(), 1);
        topic.type = columnText(statement.get(), 2);
        topic.serialization = columnText(statement.get(), 3);
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
    std::fprintf(stderr, "scanlog: %s: messages in %s-wal (%lld bytes, not yet merged into the bag) are not read\n",
                 bag.shown.c_str(), bag.shown.c_str(), static_cast<long long>(status.st_size));
    std::fflush(stderr);
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
    if (!countMessages(db.get(), bag.topics, what)) bag.damage = bag.shown + ": counting the messages: " + what;
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
            if (stored.name == topic && stored.serialization != "cdr") {
                error = bag.shown + ": topic " + topic + " is serialized as \"" + stored.serialization +
                        "\"; only cdr is read";
                return false;
            }
        }
    }
    return true;
}

// Messages of the topic in the file; a file may list one topic more than once (a recorder
// that saw it change), and all of its rows count.
std::uint64_t messagesOn(const BagFile& bag, const std::string& topic) {
    std::uint64_t messages = 0;
    for (const StoredTopic& stored : bag.topics) {
        if (stored.name == topic) messages += stored.messages;
    }
    return messages;
}

struct Reading {
    const RawScanSink& sink;
    std::uint64_t number = 0;  // LaserScan messages taken so far, over all files
    RawScan scan;              // reused, so that its ranges are allocated once
    bool stopped = false;
};

bool readMessages(const BagFile& bag, const std::string& topic, Reading& reading, std::string& error) {
    Database db(nullptr, sqlite3_close);
    if (!openBagFile(bag, db, error)) return false;
    Statement statement(nullptr, sqlite3_finalize);
    std::string what;
    // ORDER BY timestamp, id is served by the timestamp index rosbag2 creates (its entries
    // end in the row id), so rows stream without a sort; a bag without it is sorted by SQLite,
    // spilling to temporary files rather than growing in memory.
    const char* sql = "SELECT timestamp, data FROM messages WHERE topic_id IN (SELECT id FROM topics WHERE name = ?1) "
                      "ORDER BY timestamp, id";
    if (!prepare(db.get(), sql, statement, what)) {
        error = bag.shown + ": message " + std::to_string(reading.number + 1) + ": " + what;
        return false;
    }
    sqlite3_bind_text(statement.get(), 1, topic.c_str(), static_cast<int>(topic.size()), SQLITE_TRANSIENT);
    int rc;
    while ((rc = sqlite3_step(statement.get())) == SQLITE_ROW) {
        ++reading.number;
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
        error = bag.shown + ": message " + std::to_string(reading.number + 1) + ": " + sqlite3_errmsg(db.get());
        return false;
    }
    return true;
}

bool readBagFiles(const std::vector<std::string>& files, const std::string& path, const LogOptions& options,
                  const RawScanSink& sink, LogInfo& info, bool& begun, std::string& error) {
    std::vector<BagFile> bags;
    for (const std::string& file : files) {
        bags.push_back({file, shownName(file, path), {}, {}});
        if (!readBagTopics(bags.back(), error)) return false;
    }
    const std::vector<TopicCount> topics = bagTopics(bags);
    std::string chosen;
    info.laserScanTopics = laserScanTopicNames(topics);
    if (!chooseLaserScanTopic(topics, options.topic, chosen, error)) {
        if (!damageFound(bags, error)) error = path + ": " + error;
        return false;
    }
    if (!checkSerialization(bags, chosen, error)) return false;

    info.topic = chosen;
    for (const TopicCount& topic : topics) {
        if (topic.name == chosen) info.scanCount = topic.messages;
    }
    begun = true;
    if (sink.begin) sink.begin(info);

    Reading reading{sink, 0, RawScan{}, false};
    for (const BagFile& bag : bags) {
        // A file without the topic's messages is skipped, unless damage may have hidden them.
        if (messagesOn(bag, chosen) == 0 && bag.damage.empty()) continue;
        if (!readMessages(bag, chosen, reading, error)) return false;
        if (reading.stopped) return true;
    }
    return true;
}

}  // namespace

bool readRos2Sqlite(const std::vector<std::string>& files, const std::string& path, const LogOptions& options,
                    const RawScanSink& sink, std::string& error) {
    LogInfo info;
    info.format = kFormatName;
    bool begun = false;
    const bool ok = readBagFiles(files, path, options, sink, info, begun, error);
    // The log was recognised as a bag, so the consumer hears of it even when it can't be read.
    if (!begun && sink.begin) sink.begin(info);
    return ok;
}
