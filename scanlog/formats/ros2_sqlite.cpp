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
#include "topics.hpp"
#include "pose_messages.hpp"

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

// ---- the bag file under SQLite ----------------------------------------------------------
//
// SQLite reads a bag through a VFS of our own, for two reasons. Speed: the default VFS reads
// one page (usually 4 KB) per system call, and a LaserScan spans a page or more; those calls
// were most of the time a conversion took. And names: the default VFS opens the database
// without following symbolic links, so a gzip-compressed bag's decompressed copy, a file
// without a name read as /proc/self/fd/N, could not be opened at all.
//
// The bag is read-only and immutable, so the file needs no locks, no journal and no shared
// memory: opening, reading and its size are all there is. Rows lie in the file in the order
// they were recorded, so the table's pages come mostly forward (with short steps back to a
// row's leaf page), while the timestamp index is read as a second, sparser stream among
// them. A few windows are kept on the file: a read just past one refills it with a larger
// window (doubling up to kReadAheadBytes), a read far from all of them replaces the least
// recently used one with just the page asked for, so scattered reads cost no more than
// before. Temporary files (SQLite's sorter) go to the default VFS unchanged.

constexpr sqlite3_int64 kReadAheadBytes = 1 << 20;
constexpr sqlite3_int64 kReadAheadMargin = 64 << 10;  // how close to a window a read continues it
constexpr int kWindows = 4;
constexpr const char* kBagVfs = "scanlog-bag";

struct Window {
    sqlite3_int64 start = 0;   // file offset of the window's first byte
    sqlite3_int64 size = 0;    // bytes held
    sqlite3_int64 grow = 0;    // bytes the next nearby refill fetches
    std::uint64_t used = 0;    // when it last served a read
};

struct BagHandle {
    sqlite3_file base;             // must come first: SQLite sees this struct as an sqlite3_file
    int fd = -1;
    char* buffer = nullptr;        // kWindows * kReadAheadBytes
    Window windows[kWindows];
    std::uint64_t clock = 0;
    sqlite3_int64 fileSize = 0;    // the file is immutable, so its size is known at open
};

sqlite3_vfs* defaultVfs = nullptr;

BagHandle& handleOf(sqlite3_file* file) { return *reinterpret_cast<BagHandle*>(file); }

char* windowBytes(BagHandle& f, const Window& w) { return f.buffer + (&w - f.windows) * kReadAheadBytes; }

// Bytes read at `offset` until `size` or the end of the file; -1 on a read error.
sqlite3_int64 readAt(int fd, char* into, sqlite3_int64 size, sqlite3_int64 offset) {
    sqlite3_int64 done = 0;
    while (done < size) {
        const ssize_t got = pread(fd, into + done, static_cast<std::size_t>(size - done), offset + done);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return -1;
        if (got == 0) break;
        done += got;
    }
    return done;
}

Window* windowHolding(BagHandle& f, sqlite3_int64 offset, int amount) {
    for (Window& w : f.windows) {
        if (offset >= w.start && offset + amount <= w.start + w.size) return &w;
    }
    return nullptr;
}

// The window a read continues: one ending just before it (or starting just after it). Only
// so close, or a sparse stream (the index) would take over the dense one's window.
Window* windowNear(BagHandle& f, sqlite3_int64 offset) {
    for (Window& w : f.windows) {
        if (w.size > 0 && offset + kReadAheadMargin >= w.start && offset < w.start + w.size + kReadAheadMargin) return &w;
    }
    return nullptr;
}

Window& leastRecentlyUsed(BagHandle& f) {
    Window* oldest = &f.windows[0];
    for (Window& w : f.windows) {
        if (w.used < oldest->used) oldest = &w;
    }
    return *oldest;
}

int refill(BagHandle& f, int amount, sqlite3_int64 offset, Window*& filled) {
    Window* near = windowNear(f, offset);
    Window& w = near != nullptr ? *near : leastRecentlyUsed(f);
    w.grow = near != nullptr ? std::min(kReadAheadBytes, std::max<sqlite3_int64>(2 * w.grow, amount)) : amount;
    // Continuing, the window keeps a margin behind the read: the pages of a row do not all
    // lie in order, and a step back into the margin costs no new read.
    const sqlite3_int64 from = near != nullptr ? std::max<sqlite3_int64>(0, offset - kReadAheadMargin) : offset;
    const sqlite3_int64 bytes = std::min(std::max(w.grow, offset + amount - from), f.fileSize - from);
    w.size = 0;
    if (readAt(f.fd, windowBytes(f, w), bytes, from) != bytes) return SQLITE_IOERR_READ;
    w.start = from;
    w.size = bytes;
    filled = &w;
    return SQLITE_OK;
}

int bagRead(sqlite3_file* file, void* into, int amount, sqlite3_int64 offset) {
    BagHandle& f = handleOf(file);
    if (offset < 0) return SQLITE_IOERR_READ;
    // Past the end SQLite wants what every VFS gives: the bytes there are, zeros after them,
    // and a short-read code (so a truncated bag is read up to its cut).
    if (offset + amount > f.fileSize || amount > kReadAheadBytes - kReadAheadMargin) {
        const sqlite3_int64 got = readAt(f.fd, static_cast<char*>(into), amount, offset);
        if (got < 0) return SQLITE_IOERR_READ;
        if (got == amount) return SQLITE_OK;
        std::memset(static_cast<char*>(into) + got, 0, static_cast<std::size_t>(amount - got));
        return SQLITE_IOERR_SHORT_READ;
    }
    Window* w = windowHolding(f, offset, amount);
    if (w == nullptr) {
        const int rc = refill(f, amount, offset, w);
        if (rc != SQLITE_OK) return rc;
    }
    w->used = ++f.clock;
    std::memcpy(into, windowBytes(f, *w) + (offset - w->start), static_cast<std::size_t>(amount));
    return SQLITE_OK;
}

int bagClose(sqlite3_file* file) {
    BagHandle& f = handleOf(file);
    sqlite3_free(f.buffer);
    close(f.fd);
    f.~BagHandle();
    return SQLITE_OK;
}

int bagWrite(sqlite3_file*, const void*, int, sqlite3_int64) { return SQLITE_READONLY; }
int bagTruncate(sqlite3_file*, sqlite3_int64) { return SQLITE_READONLY; }
int bagSync(sqlite3_file*, int) { return SQLITE_OK; }
int bagFileSize(sqlite3_file* file, sqlite3_int64* size) {
    *size = handleOf(file).fileSize;
    return SQLITE_OK;
}
// Immutable: nobody else writes the file, so every lock is granted at once.
int bagLock(sqlite3_file*, int) { return SQLITE_OK; }
int bagUnlock(sqlite3_file*, int) { return SQLITE_OK; }
int bagCheckReservedLock(sqlite3_file*, int* reserved) {
    *reserved = 0;
    return SQLITE_OK;
}
int bagFileControl(sqlite3_file*, int, void*) { return SQLITE_NOTFOUND; }
int bagSectorSize(sqlite3_file*) { return 4096; }
int bagDeviceCharacteristics(sqlite3_file*) { return SQLITE_IOCAP_IMMUTABLE; }

// Version 1: no shared memory (an immutable bag in WAL mode is read without it) and no
// memory mapping.
const sqlite3_io_methods bagMethods = {
    1,
    bagClose,
    bagRead,
    bagWrite,
    bagTruncate,
    bagSync,
    bagFileSize,
    bagLock,
    bagUnlock,
    bagCheckReservedLock,
    bagFileControl,
    bagSectorSize,
    bagDeviceCharacteristics,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

int bagOpen(sqlite3_vfs*, sqlite3_filename name, sqlite3_file* file, int flags, int* outFlags) {
    if (name == nullptr || (flags & SQLITE_OPEN_MAIN_DB) == 0) return defaultVfs->xOpen(defaultVfs, name, file, flags, outFlags);
    file->pMethods = nullptr;  // until it is open: SQLite closes only what has methods
    if ((flags & SQLITE_OPEN_READONLY) == 0) return SQLITE_CANTOPEN;
    const int fd = open(name, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return SQLITE_CANTOPEN;
    struct stat status {};
    char* buffer = fstat(fd, &status) == 0 ? static_cast<char*>(sqlite3_malloc64(kWindows * kReadAheadBytes)) : nullptr;
    if (buffer == nullptr) {
        close(fd);
        return SQLITE_CANTOPEN;
    }
    BagHandle* f = new (file) BagHandle{};
    f->fd = fd;
    f->buffer = buffer;
    f->fileSize = status.st_size;
    f->base.pMethods = &bagMethods;
    if (outFlags != nullptr) *outFlags = flags;
    return SQLITE_OK;
}

// SQLite resolves symbolic links so that its lock and journal files go beside the real file.
// An immutable bag has neither, and /proc/self/fd/N resolves to a name that can't be opened:
// absolute paths are taken as they are.
int bagFullPathname(sqlite3_vfs*, const char* name, int size, char* out) {
    if (name[0] != '/') return defaultVfs->xFullPathname(defaultVfs, name, size, out);
    const std::size_t length = std::strlen(name);
    if (length >= static_cast<std::size_t>(size)) return SQLITE_CANTOPEN;
    std::memcpy(out, name, length + 1);
    return SQLITE_OK;
}

// The name of the VFS bags are opened with; null (the default VFS) when it can't be set up.
const char* bagVfs() {
    static const bool registered = [] {
        static sqlite3_vfs vfs;
        defaultVfs = sqlite3_vfs_find(nullptr);
        if (defaultVfs == nullptr) return false;
        // A copy keeps the default VFS's other methods (and the data they use); only opening
        // and naming files differ.
        vfs = *defaultVfs;
        vfs.pNext = nullptr;
        vfs.zName = kBagVfs;
        vfs.szOsFile = std::max(static_cast<int>(sizeof(BagHandle)), defaultVfs->szOsFile);
        vfs.xOpen = bagOpen;
        vfs.xFullPathname = bagFullPathname;
        return sqlite3_vfs_register(&vfs, 0) == SQLITE_OK;
    }();
    return registered ? kBagVfs : nullptr;
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

// The bag's topics over all its files, by name, in order of first appearance.
std::vector<TopicCount> bagTopics(const std::vector<BagFile>& bags) {
    std::vector<TopicCount> topics;
    for (const BagFile& bag : bags) {
        for (const StoredTopic& stored : bag.topics) {
            TopicCount* known = nullptr;
            for (TopicCount& topic : topics) {
                if (topic.name == stored.name) known = &topic;
            }
            if (known == nullptr) {
                topics.push_back({stored.name, stored.type, 0});
                known = &topics.back();
            }
            known->messages += stored.messages;
        }
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
    std::vector<std::string> poseTopics;  // maps: pose topics and /tf, /tf_static, read beside the scans
    std::uint64_t poseNumber = 0;         // pose messages taken so far
};

// The statement's text: the scans' topic as ?1, then one parameter for each pose topic.
std::string messagesQuery(std::size_t poseTopics) {
    std::string names = "?1";
    for (std::size_t k = 0; k < poseTopics; ++k) names += ", ?" + std::to_string(k + 2);
    return "SELECT timestamp, data, topic_id FROM messages WHERE topic_id IN (SELECT id FROM topics WHERE name IN (" +
           names + ")) ORDER BY timestamp, id";
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
    const std::string sql = messagesQuery(reading.poseTopics.size());
    if (!prepare(db.get(), sql.c_str(), statement, what)) {
        error = bag.shown + ": message " + std::to_string(reading.number + 1) + ": " + what;
        return false;
    }
    sqlite3_bind_text(statement.get(), 1, topic.c_str(), static_cast<int>(topic.size()), SQLITE_TRANSIENT);
    for (std::size_t k = 0; k < reading.poseTopics.size(); ++k) {
        const std::string& name = reading.poseTopics[k];
        sqlite3_bind_text(statement.get(), static_cast<int>(k + 2), name.c_str(), static_cast<int>(name.size()),
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
        if (messagesOn(bag, chosen) == 0 && bag.damage.empty() && reading.poseTopics.empty()) continue;
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
