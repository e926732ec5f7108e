// MCAP files: a ROS 2 bag stored as MCAP (a folder of .mcap files) or one .mcap file given
// directly. A small reader of our own, written from the published MCAP format description, because no
// packaged one exists.
//
// An MCAP file is a sequence of records, each an opcode byte, a uint64 length and that many
// bytes, all little-endian: magic, Header, the data section (Schema, Channel and Message
// records, loose or batched in Chunks that may be lz4- or zstd-compressed), Data End, an
// optional summary (copies of the Schemas and Channels, index records, Statistics), the Footer
// and the magic again. Messages are handed over in the order they are stored, walking the data
// section from the front and decompressing one chunk at a time, so memory is bounded by the
// largest chunk whatever the file's length. The index records are never needed for that.
//
// Choosing the topic needs every topic's message count before the first scan: the summary's
// Statistics record gives them at no cost; a file without one gets a counting pass first.
//
// The data section is walked up to its Data End record whatever the Footer says, and what the
// walk finds is held against the summary: a chunk that a Chunk Index lists must lie where it
// says, found before any message after it is handed over; every message count of the
// Statistics must match; the data section's Schemas and Channels must match the summary's.
// Any disagreement is damage, since a record lost to it would otherwise go unnoticed.
//
// The files of a bag folder are opened one at a time, so memory and descriptors stay those of
// one file whatever the number of files.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <lz4frame.h>
#include <memory>
#include <new>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>
#include <zlib.h>
#include <zstd.h>

#include "format_reader.hpp"
#include "scan_reader.hpp"
#include "pose_messages.hpp"
#include "topics.hpp"

namespace {

constexpr unsigned char kMagic[8] = {0x89, 'M', 'C', 'A', 'P', '0', '\r', '\n'};
constexpr std::uint64_t kMagicSize = sizeof kMagic;
constexpr std::uint64_t kRecordHeadSize = 9;       // opcode and uint64 length
constexpr std::uint64_t kFooterContentSize = 20;  // summary_start, summary_offset_start, summary_crc
constexpr std::uint64_t kFooterRecordSize = kRecordHeadSize + kFooterContentSize;
// Nothing larger is held in memory at once: a record (a compressed chunk), and a chunk's
// decompressed records, each up to this. Writers make chunks of a few megabytes; a length
// beyond this is refused as damage instead of being allocated, which keeps a read under
// 256 MB whatever the file claims.
constexpr std::uint64_t kMemoryLimit = std::uint64_t{64} << 20;
// How much is read at a time when records are small, so that small records cost no system
// call each.
constexpr std::size_t kReadAhead = 1 << 20;

enum Opcode : unsigned char {
    kHeader = 0x01,
    kFooter = 0x02,
    kSchema = 0x03,
    kChannel = 0x04,
    kMessage = 0x05,
    kChunk = 0x06,
    kChunkIndex = 0x08,
    kStatistics = 0x0B,
    kDataEnd = 0x0F,
};

// ---- reading the file -----------------------------------------------------------------------

// A stretch of the file held in memory. Records are looked at where they lie in it, and the
// next few records usually lie there too.
struct FileWindow {
    int fd = -1;
    std::uint64_t fileSize = 0;
    std::vector<unsigned char> bytes;
    std::uint64_t start = 0;
    std::size_t length = 0;
};

// Points `data` at bytes [offset, offset + count) of the file, which the caller has checked
// lie inside it. False with `what` set when the file can't be read.
bool fetch(FileWindow& window, std::uint64_t offset, std::size_t count, const unsigned char*& data,
           std::string& what) {
    if (offset >= window.start && offset - window.start + count <= window.length) {
        data = window.bytes.data() + (offset - window.start);
        return true;
    }
    const std::size_t wanted =
        static_cast<std::size_t>(std::min<std::uint64_t>(std::max(count, kReadAhead), window.fileSize - offset));
    if (window.bytes.size() < wanted) window.bytes.resize(wanted);
    window.length = 0;
    std::size_t have = 0;
    while (have < wanted) {
        const ssize_t got = pread(window.fd, window.bytes.data() + have, wanted - have, static_cast<off_t>(offset + have));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            what = std::string("cannot read the file: ") + std::strerror(errno);
            return false;
        }
        if (got == 0) break;
        have += static_cast<std::size_t>(got);
    }
    if (have < count) {
        what = "the file ended while it was being read";
        return false;
    }
    window.start = offset;
    window.length = have;
    data = window.bytes.data();
    return true;
}

// Reads fields of a record that is already in memory. Reading past its end clears `ok` and
// yields zeros, so a record is parsed first and checked once.
struct Cursor {
    const unsigned char* at = nullptr;
    const unsigned char* end = nullptr;
    bool ok = true;
};

Cursor cursorOver(const unsigned char* data, std::uint64_t size) { return Cursor{data, data + size, true}; }

std::uint64_t bytesLeft(const Cursor& cursor) { return static_cast<std::uint64_t>(cursor.end - cursor.at); }

bool skip(Cursor& cursor, std::uint64_t count) {
    if (!cursor.ok || count > bytesLeft(cursor)) {
        cursor.ok = false;
        cursor.at = cursor.end;
        return false;
    }
    cursor.at += count;
    return true;
}

std::uint64_t readLittleEndian(Cursor& cursor, int size) {
    const unsigned char* from = cursor.at;
    if (!skip(cursor, static_cast<std::uint64_t>(size))) return 0;
    std::uint64_t value = 0;
    for (int i = size - 1; i >= 0; --i) value = value << 8 | from[i];
    return value;
}

std::uint16_t readUint16(Cursor& cursor) { return static_cast<std::uint16_t>(readLittleEndian(cursor, 2)); }
std::uint32_t readUint32(Cursor& cursor) { return static_cast<std::uint32_t>(readLittleEndian(cursor, 4)); }
std::uint64_t readUint64(Cursor& cursor) { return readLittleEndian(cursor, 8); }

// A uint32 length, then that many bytes (the format's String, and its uint32-prefixed Bytes).
std::string_view readString(Cursor& cursor) {
    const std::uint32_t size = readUint32(cursor);
    const unsigned char* from = cursor.at;
    if (!skip(cursor, size)) return {};
    return std::string_view(reinterpret_cast<const char*>(from), size);
}

// Names from the file as messages may show them: bytes that are not printable ASCII as \xHH,
// and cut after kShownLength bytes, so that a damaged name keeps a message on one line.
constexpr std::size_t kShownLength = 200;

std::string shown(std::string_view text) { return printableText(text, kShownLength); }

// ---- what a file holds ----------------------------------------------------------------------

// Names are kept as shown(): every message that names them is then one line.
struct ChannelInfo {
    std::string topic;
    std::uint16_t schemaId = 0;
    std::string encoding;  // the channel's message encoding
};

bool operator==(const ChannelInfo& a, const ChannelInfo& b) {
    return a.topic == b.topic && a.schemaId == b.schemaId && a.encoding == b.encoding;
}

// Where a Chunk Index says a chunk lies: the whole record, opcode and length included.
struct ChunkPlace {
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
};

// A file's schemas and channels (ids are the file's own), and its messages per channel.
struct Catalogue {
    std::unordered_map<std::uint16_t, std::string> schemaNames;
    std::unordered_map<std::uint16_t, ChannelInfo> channels;
    std::unordered_map<std::uint16_t, std::uint64_t> messageCounts;
    bool counted = false;             // messageCounts come from the summary's Statistics
    std::vector<ChunkPlace> chunks;   // the summary's Chunk Indexes, by offset
    std::string summaryDamage;        // what is wrong with the summary, reported after the data
};

std::string typeOf(const Catalogue& catalogue, const ChannelInfo& channel) {
    const auto schema = catalogue.schemaNames.find(channel.schemaId);
    return schema == catalogue.schemaNames.end() ? std::string() : schema->second;
}

struct McapFile {
    std::string path;  // what to open
    std::string name;  // for messages: the path the user gave, or the file inside the bag folder
    FileWindow window;
    bool footerFound = false;        // a Footer and the closing magic at the end of the file
    std::uint64_t footerOffset = 0;  // valid when footerFound
    std::uint64_t summaryStart = 0;  // as the Footer says; 0: no summary
    std::uint64_t dataEndAt = 0;     // the end of Data End, once a counting walk found it
    Catalogue catalogue;
};

struct Decompression {
    ZSTD_DCtx* zstd = nullptr;
    LZ4F_dctx* lz4 = nullptr;
    std::unique_ptr<unsigned char[]> buffer;  // left uninitialised: only what is decompressed is touched
    std::size_t capacity = 0;
};

enum class Pass { counting, streaming };

// What a channel means to the streaming pass.
enum ChannelUse : unsigned char { kIgnored = 0, kScans = 1, kScansWrongEncoding = 2, kPoses = 3 };

// One walk through a file's data section.
struct Walk {
    Pass pass = Pass::counting;
    McapFile* file = nullptr;
    Decompression* decompression = nullptr;
    // Streaming only.
    std::string chosenTopic;
    std::vector<unsigned char> channelUse = std::vector<unsigned char>(65536, kIgnored);
    const RawScanSink* sink = nullptr;
    std::uint64_t* scanNumber = nullptr;  // LaserScan messages so far, over all files
    RawScan scan;
    bool stopped = false;
    std::unordered_map<std::uint16_t, std::uint64_t> messagesSeen;  // per channel, to hold against the summary
    std::size_t nextChunk = 0;  // the first Chunk Index whose chunk the walk has not reached
    const std::vector<std::string>* poseTopics = nullptr;  // maps: pose topics read beside the scans
    std::uint64_t poseNumber = 0;
};

// ---- messages -------------------------------------------------------------------------------

std::string offsetPlace(const McapFile& file, std::uint64_t offset) {
    return file.name + ": offset " + std::to_string(offset) + ": ";
}

bool failAt(const McapFile& file, std::uint64_t offset, const std::string& what, std::string& error) {
    error = offsetPlace(file, offset) + what;
    return false;
}

// Damage after the last message: everything was delivered, and the message says so.
std::string truncation(bool afterData, const std::string& what) {
    return (afterData ? "truncated summary (every message was read): " : "truncated file: ") + what;
}

std::string wrongEncoding(const std::string& topic, const std::string& encoding) {
    return "topic " + topic + " is serialized as \"" + encoding + "\"; only cdr is read";
}

// ---- records --------------------------------------------------------------------------------

void setChannelUse(Walk& walk, std::uint16_t id, const ChannelInfo& channel) {
    if (walk.pass != Pass::streaming) return;
    const std::string type = typeOf(walk.file->catalogue, channel);
    const bool scans = channel.topic == walk.chosenTopic && isLaserScanType(type);
    walk.channelUse[id] = !scans ? kIgnored : channel.encoding == "cdr" ? kScans : kScansWrongEncoding;
    if (scans || walk.poseTopics == nullptr || channel.encoding != "cdr") return;
    bool poses = isTransformTopic(channel.topic) && isTransformType(type);
    for (const std::string& topic : *walk.poseTopics) poses = poses || (channel.topic == topic && isPoseType(type));
    if (poses) walk.channelUse[id] = kPoses;
}

bool takePoses(Walk& walk, std::uint16_t channel, Cursor record, std::uint64_t logTime, std::string& error) {
    const ChannelInfo& info = walk.file->catalogue.channels[channel];
    std::string what;
    const auto take = [&walk, logTime](const PoseSample& sample) {
        if (walk.stopped) return;
        PoseSample stamped = sample;
        if (stamped.stampNs == 0) stamped.stampNs = static_cast<std::int64_t>(logTime);
        if (!walk.sink->pose(stamped)) walk.stopped = true;
    };
    ++walk.poseNumber;
    if (!decodeRos2Poses(record.at, bytesLeft(record), typeOf(walk.file->catalogue, info), info.topic, take, what)) {
        error = walk.file->name + ": " + info.topic + " message " + std::to_string(walk.poseNumber) + ": " + what;
        return false;
    }
    return true;
}

// A Schema or Channel record may come more than once (in each chunk that uses it, and in the
// summary), always the same: one that differs from an earlier one with its id is damaged.
std::string redefined(const char* kind, std::uint16_t id) {
    return std::string("damaged ") + kind + " record: id " + std::to_string(id) +
           " is defined differently elsewhere in the file";
}

bool takeSchema(Walk& walk, Cursor record, std::string& what) {
    const std::uint16_t id = readUint16(record);
    const std::string name = shown(readString(record));
    if (!record.ok) {
        what = "damaged Schema record (shorter than its fields)";
        return false;
    }
    // Schema id 0 means "no schema" and is never defined.
    if (id == 0) return true;
    const auto [known, added] = walk.file->catalogue.schemaNames.emplace(id, name);
    if (!added && known->second != name) {
        what = redefined("Schema", id);
        return false;
    }
    return true;
}

bool takeChannel(Walk& walk, Cursor record, std::string& what) {
    ChannelInfo channel;
    const std::uint16_t id = readUint16(record);
    channel.schemaId = readUint16(record);
    channel.topic = shown(readString(record));
    channel.encoding = shown(readString(record));
    if (!record.ok) {
        what = "damaged Channel record (shorter than its fields)";
        return false;
    }
    const auto [known, added] = walk.file->catalogue.channels.emplace(id, channel);
    if (!added && !(known->second == channel)) {
        what = redefined("Channel", id);
        return false;
    }
    setChannelUse(walk, id, channel);
    return true;
}

bool takeMessage(Walk& walk, Cursor record, std::uint64_t offset, std::string& error) {
    const std::uint16_t channel = readUint16(record);
    readUint32(record);  // sequence
    const std::uint64_t logTime = readUint64(record);
    readUint64(record);  // publish time
    if (!record.ok) return failAt(*walk.file, offset, "damaged Message record (shorter than its fields)", error);
    if (walk.pass == Pass::counting) {
        ++walk.file->catalogue.messageCounts[channel];
        return true;
    }
    ++walk.messagesSeen[channel];
    if (walk.channelUse[channel] == kIgnored) {
        if (walk.file->catalogue.channels.count(channel) != 0) return true;
        return failAt(*walk.file, offset,
                      "damaged Message record: no Channel record defines its channel " + std::to_string(channel), error);
    }
    if (walk.channelUse[channel] == kPoses) return takePoses(walk, channel, record, logTime, error);
    const std::string place = walk.file->name + ": message " + std::to_string(++*walk.scanNumber) + ": ";
    if (walk.channelUse[channel] == kScansWrongEncoding) {
        error = place + wrongEncoding(walk.chosenTopic, walk.file->catalogue.channels[channel].encoding);
        return false;
    }
    std::string what;
    if (!decodeRos2LaserScan(record.at, bytesLeft(record), walk.scan, what)) {
        error = place + what;
        return false;
    }
    // A message without a stamp of its own is placed at the time it was recorded. Stamps are
    // signed nanoseconds: a log time from 2262 on can't be one, and is taken as damage.
    if (walk.scan.stampNs == 0) {
        if (logTime > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            error = place + "log time " + std::to_string(logTime) + " ns is beyond the times scanlog holds (2262)";
            return false;
        }
        walk.scan.stampNs = static_cast<std::int64_t>(logTime);
    }
    if (!walk.sink->scan(walk.scan)) walk.stopped = true;
    return true;
}

// Schema, Channel and Message records, wherever they lie (loose, or inside a chunk at
// `offset`, where a damaged one is reported).
bool takeContentRecord(Walk& walk, unsigned char opcode, Cursor record, std::uint64_t offset, std::string& error) {
    if (opcode == kMessage) return takeMessage(walk, record, offset, error);
    std::string what;
    const bool ok = opcode == kSchema    ? takeSchema(walk, record, what)
                    : opcode == kChannel ? takeChannel(walk, record, what)
                                         : true;
    return ok || failAt(*walk.file, offset, what, error);
}

// ---- chunks ---------------------------------------------------------------------------------

unsigned char* roomFor(Decompression& decompression, std::size_t size) {
    if (size > decompression.capacity || !decompression.buffer) {
        decompression.buffer.reset(new (std::nothrow) unsigned char[std::max<std::size_t>(size, 1)]);
        decompression.capacity = decompression.buffer ? size : 0;
    }
    return decompression.buffer.get();
}

bool unzstd(Decompression& decompression, Cursor compressed, unsigned char* into, std::size_t size,
            std::string& what) {
    const std::size_t got = ZSTD_decompressDCtx(decompression.zstd, into, size, compressed.at, bytesLeft(compressed));
    if (ZSTD_isError(got)) {
        what = std::string("corrupt zstd data in chunk: ") + ZSTD_getErrorName(got);
        return false;
    }
    if (got != size) {
        what = "zstd data in chunk gives " + std::to_string(got) + " bytes, the chunk says " + std::to_string(size);
        return false;
    }
    return true;
}

// The LZ4 frame format (as liblz4's frame API writes it), possibly several frames in a row.
bool unlz4(Decompression& decompression, Cursor compressed, unsigned char* into, std::size_t size,
           std::string& what) {
    LZ4F_resetDecompressionContext(decompression.lz4);
    std::size_t produced = 0;
    std::size_t expected = 0;  // what the frame still needs; 0 at a frame's end
    while (compressed.at < compressed.end) {
        std::size_t room = size - produced;
        std::size_t offered = bytesLeft(compressed);
        expected = LZ4F_decompress(decompression.lz4, into + produced, &room, compressed.at, &offered, nullptr);
        if (LZ4F_isError(expected)) {
            what = std::string("corrupt lz4 data in chunk: ") + LZ4F_getErrorName(expected);
            return false;
        }
        produced += room;
        compressed.at += offered;
        // No progress means there is output left and no room for it.
        if (room == 0 && offered == 0) {
            what = "lz4 data in chunk gives more than the " + std::to_string(size) + " bytes the chunk says";
            return false;
        }
    }
    if (expected != 0) {
        what = "corrupt lz4 data in chunk: it ends inside a frame";
        return false;
    }
    if (produced != size) {
        what = "lz4 data in chunk gives " + std::to_string(produced) + " bytes, the chunk says " + std::to_string(size);
        return false;
    }
    return true;
}

bool walkChunkRecords(Walk& walk, Cursor records, std::uint64_t offset, std::string& error) {
    const unsigned char* const start = records.at;
    while (records.at < records.end && !walk.stopped) {
        const std::uint64_t at = static_cast<std::uint64_t>(records.at - start);
        const unsigned char opcode = static_cast<unsigned char>(readLittleEndian(records, 1));
        const std::uint64_t length = readUint64(records);
        const unsigned char* body = records.at;
        if (!skip(records, length)) {
            return failAt(*walk.file, offset,
                          "damaged chunk: its record at byte " + std::to_string(at) + " runs past its end",
                          error);
        }
        if (!takeContentRecord(walk, opcode, cursorOver(body, length), offset, error)) return false;
    }
    return true;
}

bool takeChunk(Walk& walk, Cursor record, std::uint64_t offset, std::string& error) {
    readUint64(record);  // message_start_time
    readUint64(record);  // message_end_time
    const std::uint64_t uncompressedSize = readUint64(record);
    const std::uint32_t crc = readUint32(record);
    const std::string_view compression = readString(record);
    const std::uint64_t compressedSize = readUint64(record);
    if (!record.ok || compressedSize > bytesLeft(record)) {
        return failAt(*walk.file, offset, "damaged Chunk record (its records run past its end)", error);
    }
    if (uncompressedSize > kMemoryLimit) {
        return failAt(*walk.file, offset,
                      "chunk of " + std::to_string(uncompressedSize) + " bytes uncompressed is over the limit of " +
                          std::to_string(kMemoryLimit) + " bytes",
                      error);
    }
    const Cursor compressed = cursorOver(record.at, compressedSize);
    const std::size_t size = static_cast<std::size_t>(uncompressedSize);
    const unsigned char* records = compressed.at;
    std::string what;
    if (compression.empty()) {
        if (compressedSize != uncompressedSize) {
            what = "uncompressed chunk holds " + std::to_string(compressedSize) + " bytes, it says " +
                   std::to_string(uncompressedSize);
        }
    } else if (compression == "zstd" || compression == "lz4") {
        unsigned char* into = roomFor(*walk.decompression, size);
        if (into == nullptr) {
            what = "cannot allocate " + std::to_string(size) + " bytes for the chunk";
        } else if (compression == "zstd") {
            unzstd(*walk.decompression, compressed, into, size, what);
        } else {
            unlz4(*walk.decompression, compressed, into, size, what);
        }
        records = into;
    } else {
        what = "chunk compressed with \"" + shown(compression) + "\", which scanlog does not read (lz4, zstd)";
    }
    if (!what.empty()) return failAt(*walk.file, offset, what, error);
    // Counting only needs the records' shapes; the streaming pass checks every chunk's CRC
    // before it hands over a scan from it.
    if (crc != 0 && walk.pass == Pass::streaming) {
        const std::uint32_t computed = static_cast<std::uint32_t>(crc32_z(0, records, size));
        if (computed != crc) {
            char text[80];
            std::snprintf(text, sizeof text, "chunk CRC mismatch (stored %08x, computed %08x)", crc, computed);
            return failAt(*walk.file, offset, text, error);
        }
    }
    return walkChunkRecords(walk, cursorOver(records, size), offset, error);
}

// ---- walking a file -------------------------------------------------------------------------

struct RecordHead {
    unsigned char opcode = 0;
    std::uint64_t length = 0;
};

// The opcode and length of the record at `offset`, which must end by `limit`.
bool readRecordHead(McapFile& file, std::uint64_t offset, std::uint64_t limit, bool afterData, RecordHead& head,
                    std::string& error) {
    if (offset == limit) return failAt(file, offset, truncation(afterData, "it ends without a footer"), error);
    if (limit - offset < kRecordHeadSize) {
        return failAt(file, offset, truncation(afterData, "it ends inside a record's opcode and length"), error);
    }
    const unsigned char* data = nullptr;
    std::string what;
    if (!fetch(file.window, offset, kRecordHeadSize, data, what)) return failAt(file, offset, what, error);
    Cursor cursor = cursorOver(data, kRecordHeadSize);
    head.opcode = static_cast<unsigned char>(readLittleEndian(cursor, 1));
    head.length = readUint64(cursor);
    if (head.length > limit - offset - kRecordHeadSize) {
        return failAt(file, offset,
                      truncation(afterData, "a record of " + std::to_string(head.length) + " bytes runs past the end of the file (" +
                                                std::to_string(file.window.fileSize) + " bytes)"),
                      error);
    }
    return true;
}

bool readRecordBody(McapFile& file, std::uint64_t offset, const RecordHead& head, Cursor& body, std::string& error) {
    if (head.length > kMemoryLimit) {
        return failAt(file, offset,
                      "record of " + std::to_string(head.length) + " bytes is over the limit of " +
                          std::to_string(kMemoryLimit) + " bytes",
                      error);
    }
    const unsigned char* data = nullptr;
    std::string what;
    if (!fetch(file.window, offset + kRecordHeadSize, static_cast<std::size_t>(head.length), data, what)) {
        return failAt(file, offset, what, error);
    }
    body = cursorOver(data, head.length);
    return true;
}

// The Footer at `offset` and the magic after it.
bool checkFooter(McapFile& file, std::uint64_t offset, const RecordHead& head, bool afterData, std::string& error) {
    if (head.length < kFooterContentSize) {
        return failAt(file, offset, "damaged Footer record of " + std::to_string(head.length) + " bytes", error);
    }
    const std::uint64_t magicAt = offset + kRecordHeadSize + head.length;
    if (file.window.fileSize - magicAt < kMagicSize) {
        return failAt(file, magicAt, truncation(afterData, "it ends inside the closing magic"), error);
    }
    const unsigned char* data = nullptr;
    std::string what;
    if (!fetch(file.window, magicAt, kMagicSize, data, what)) return failAt(file, magicAt, what, error);
    if (std::memcmp(data, kMagic, kMagicSize) != 0) return failAt(file, magicAt, "bad magic at the end of the file", error);
    return true;
}

// After the Data End record of a file whose end was not found at open: the summary's records
// up to the Footer, which must be followed by the magic.
bool checkSummary(McapFile& file, std::uint64_t offset, std::string& error) {
    for (;;) {
        RecordHead head;
        if (!readRecordHead(file, offset, file.window.fileSize, true, head, error)) return false;
        if (head.opcode == kFooter) return checkFooter(file, offset, head, true, error);
        offset += kRecordHeadSize + head.length;
    }
}

std::string hex(unsigned char byte) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02x", byte);
    return text;
}

// The record at `offset` against the summary's Chunk Indexes, in the order the walk meets
// them: a listed chunk the walk stepped over, or found as another record, is lost; a chunk
// that a file with Chunk Indexes does not list is one record too many.
bool checkListedChunk(Walk& walk, std::uint64_t offset, const RecordHead& head, std::string& error) {
    const std::vector<ChunkPlace>& chunks = walk.file->catalogue.chunks;
    std::size_t& next = walk.nextChunk;
    if (next < chunks.size() && chunks[next].offset < offset) {
        return failAt(*walk.file, chunks[next].offset, "the summary lists a chunk here, which the data section lacks",
                      error);
    }
    if (next < chunks.size() && chunks[next].offset == offset) {
        if (head.opcode != kChunk || head.length != chunks[next].length - kRecordHeadSize) {
            return failAt(*walk.file, offset,
                          "the summary lists a chunk of " + std::to_string(chunks[next].length) +
                              " bytes here; the data section holds a record of opcode " + hex(head.opcode) + " and " +
                              std::to_string(kRecordHeadSize + head.length) + " bytes",
                          error);
        }
        ++next;
        return true;
    }
    if (head.opcode == kChunk && !chunks.empty()) {
        return failAt(*walk.file, offset, "a chunk that the summary's Chunk Indexes do not list", error);
    }
    return true;
}

// What the whole data section held, against the summary, once the walk reached its end at
// `offset` (the end of Data End, or the Footer of a file without one).
bool checkAgainstSummary(Walk& walk, std::uint64_t offset, bool atDataEnd, std::string& error) {
    McapFile& file = *walk.file;
    const Catalogue& catalogue = file.catalogue;
    if (walk.nextChunk < catalogue.chunks.size()) {
        const std::uint64_t lost = catalogue.chunks[walk.nextChunk].offset;
        return failAt(file, lost, "the summary lists a chunk here, past the end of the data section", error);
    }
    if (catalogue.counted) {
        std::vector<std::uint16_t> ids;
        for (const auto& [id, messages] : catalogue.messageCounts) ids.push_back(id);
        for (const auto& [id, messages] : walk.messagesSeen) ids.push_back(id);
        std::sort(ids.begin(), ids.end());
        for (const std::uint16_t id : ids) {
            const auto claimed = catalogue.messageCounts.find(id);
            const auto seen = walk.messagesSeen.find(id);
            const std::uint64_t says = claimed == catalogue.messageCounts.end() ? 0 : claimed->second;
            const std::uint64_t holds = seen == walk.messagesSeen.end() ? 0 : seen->second;
            if (says != holds) {
                return failAt(file, offset,
                              "the summary counts " + std::to_string(says) + " messages on channel " +
                                  std::to_string(id) + ", the data section holds " + std::to_string(holds),
                              error);
            }
        }
    }
    if (atDataEnd && file.footerFound && file.summaryStart != 0 && file.summaryStart != offset) {
        return failAt(file, file.footerOffset,
                      "damaged Footer: its summary_start " + std::to_string(file.summaryStart) +
                          " is not where the data section ends (" + std::to_string(offset) + ")",
                      error);
    }
    if (!catalogue.summaryDamage.empty()) {
        error = catalogue.summaryDamage;
        return false;
    }
    return true;
}

// The data section from the Header to Data End (or, without one, to the Footer), whatever
// the Footer's summary_start says. Streaming also checks the end of a file whose Footer was
// not found at open, and what it read against the summary.
bool walkFile(Walk& walk, std::string& error) {
    McapFile& file = *walk.file;
    const std::uint64_t limit = file.footerFound ? file.footerOffset : file.window.fileSize;
    const bool streaming = walk.pass == Pass::streaming;
    std::uint64_t offset = kMagicSize;
    bool first = true;
    while (!walk.stopped) {
        // A file without Data End: its summary's records were walked as the data's.
        if (file.footerFound && offset == limit && !first) return !streaming || checkAgainstSummary(walk, offset, false, error);
        RecordHead head;
        if (!readRecordHead(file, offset, limit, false, head, error)) return false;
        if (first && head.opcode != kHeader) return failAt(file, offset, "no Header record after the magic", error);
        first = false;
        if (streaming && !checkListedChunk(walk, offset, head, error)) return false;
        const std::uint64_t next = offset + kRecordHeadSize + head.length;
        if (head.opcode == kDataEnd) {
            if (!streaming) {
                file.dataEndAt = next;
                return true;
            }
            if (!checkAgainstSummary(walk, next, true, error)) return false;
            return file.footerFound || checkSummary(file, next, error);
        }
        if (head.opcode == kFooter) {
            return !streaming || (checkFooter(file, offset, head, false, error) && checkAgainstSummary(walk, offset, false, error));
        }
        if (head.opcode == kSchema || head.opcode == kChannel || head.opcode == kMessage || head.opcode == kChunk) {
            Cursor body;
            if (!readRecordBody(file, offset, head, body, error)) return false;
            const bool ok = head.opcode == kChunk ? takeChunk(walk, body, offset, error)
                                                  : takeContentRecord(walk, head.opcode, body, offset, error);
            if (!ok) return false;
        }
        // Every other record (indexes, attachments, metadata, unknown opcodes) is skipped by its length.
        offset = next;
    }
    return true;
}

// ---- the summary ----------------------------------------------------------------------------

// Finds the Footer and closing magic where they belong, at the very end.
void findFooter(McapFile& file) {
    const std::uint64_t size = file.window.fileSize;
    if (size < kMagicSize + kRecordHeadSize + kFooterRecordSize + kMagicSize) return;
    const std::uint64_t offset = size - kMagicSize - kFooterRecordSize;
    const unsigned char* data = nullptr;
    std::string what;
    if (!fetch(file.window, offset, kFooterRecordSize + kMagicSize, data, what)) return;
    Cursor cursor = cursorOver(data, kFooterRecordSize + kMagicSize);
    const unsigned char opcode = static_cast<unsigned char>(readLittleEndian(cursor, 1));
    const std::uint64_t length = readUint64(cursor);
    const std::uint64_t summaryStart = readUint64(cursor);
    if (opcode != kFooter || length != kFooterContentSize || std::memcmp(data + kFooterRecordSize, kMagic, kMagicSize) != 0) {
        return;
    }
    file.footerFound = true;
    file.footerOffset = offset;
    if (summaryStart > kMagicSize && summaryStart < offset) file.summaryStart = summaryStart;
}

// A Chunk Index's chunk_start_offset and chunk_length (after the chunk's start and end times).
bool takeChunkIndex(McapFile& file, Cursor body) {
    skip(body, 8 + 8);
    ChunkPlace place;
    place.offset = readUint64(body);
    place.length = readUint64(body);
    if (!body.ok || place.length < kRecordHeadSize || place.offset < kMagicSize || place.offset > file.footerOffset) return false;
    file.catalogue.chunks.push_back(place);
    return true;
}

// Schemas, Channels, Chunk Indexes and message counts from the summary. False when the
// summary has no per-channel counts: the caller counts instead. A damaged summary is noted,
// to be reported once the data section has been read.
bool readSummary(McapFile& file, std::uint64_t summaryStart) {
    if (summaryStart == 0) return false;
    Catalogue catalogue;
    bool counted = false;
    Walk walk;
    walk.file = &file;
    std::string& error = file.catalogue.summaryDamage;
    std::string what;
    for (std::uint64_t offset = summaryStart; offset < file.footerOffset;) {
        RecordHead head;
        Cursor body;
        if (!readRecordHead(file, offset, file.footerOffset, true, head, error)) return false;
        if (head.opcode == kSchema || head.opcode == kChannel || head.opcode == kStatistics || head.opcode == kChunkIndex) {
            if (!readRecordBody(file, offset, head, body, error)) return false;
        }
        if ((head.opcode == kSchema && !takeSchema(walk, body, what)) ||
            (head.opcode == kChannel && !takeChannel(walk, body, what))) {
            return failAt(file, offset, what, error);
        }
        if (head.opcode == kChunkIndex && !takeChunkIndex(file, body)) {
            return failAt(file, offset, "damaged Chunk Index record", error);
        }
        if (head.opcode == kStatistics) {
            // message_count, schema_count, channel_count, attachment_count, metadata_count,
            // chunk_count, message_start_time, message_end_time; then channel_message_counts.
            skip(body, 8 + 2 + 4 + 4 + 4 + 4 + 8 + 8);
            const std::uint32_t countsSize = readUint32(body);
            Cursor counts = cursorOver(body.at, countsSize);
            if (!skip(body, countsSize)) return failAt(file, offset, "damaged Statistics record", error);
            while (counts.at < counts.end) {
                const std::uint16_t channel = readUint16(counts);
                const std::uint64_t messages = readUint64(counts);
                if (!counts.ok) return failAt(file, offset, "damaged Statistics record", error);
                catalogue.messageCounts[channel] += messages;
                counted = true;
            }
        }
        offset += kRecordHeadSize + head.length;
    }
    std::sort(file.catalogue.chunks.begin(), file.catalogue.chunks.end(),
              [](const ChunkPlace& a, const ChunkPlace& b) { return a.offset < b.offset; });
    // takeSchema and takeChannel filled the file's own catalogue.
    for (const auto& [channel, messages] : catalogue.messageCounts) {
        if (messages != 0 && file.catalogue.channels.count(channel) == 0) {
            error = offsetPlace(file, summaryStart) + "the summary's Statistics count messages on channel " +
                    std::to_string(channel) + ", which it does not define";
            return false;
        }
    }
    if (!counted) return false;
    file.catalogue.messageCounts = std::move(catalogue.messageCounts);
    file.catalogue.counted = true;
    return true;
}

// ---- the whole bag --------------------------------------------------------------------------

void closeMcapFile(McapFile& file) {
    if (file.window.fd >= 0) close(file.window.fd);
    file.window = FileWindow{};
}

bool openMcapFile(McapFile& file, std::string& error) {
    closeMcapFile(file);
    file.footerFound = false;
    file.footerOffset = file.summaryStart = file.dataEndAt = 0;
    file.window.fd = open(file.path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat status {};
    if (file.window.fd < 0 || fstat(file.window.fd, &status) != 0) {
        error = "cannot open " + file.name + ": " + std::strerror(errno);
        return false;
    }
    file.window.fileSize = static_cast<std::uint64_t>(status.st_size);
    const unsigned char* data = nullptr;
    std::string what;
    if (file.window.fileSize < kMagicSize) return failAt(file, 0, "not an MCAP file (it is too short)", error);
    if (!fetch(file.window, 0, kMagicSize, data, what)) return failAt(file, 0, what, error);
    if (std::memcmp(data, kMagic, kMagicSize) != 0) return failAt(file, 0, "not an MCAP file (bad magic)", error);
    findFooter(file);
    return true;
}

// Counts each channel's messages by walking the data section.
void countMessages(McapFile& file, Decompression& decompression, std::string& damage) {
    Catalogue counting;
    counting.summaryDamage = std::move(file.catalogue.summaryDamage);
    // A summary without Statistics may still index its chunks; a damaged one is not trusted.
    if (counting.summaryDamage.empty()) counting.chunks = std::move(file.catalogue.chunks);
    file.catalogue = std::move(counting);
    Walk walk;
    walk.pass = Pass::counting;
    walk.file = &file;
    walk.decompression = &decompression;
    walkFile(walk, damage);
}

// Learns a file's channels and message counts: from its summary, or by walking it. A walk
// that meets damage keeps what it counted; the streaming pass reports the damage where it
// lies, after the scans before it. A Footer that does not point at the summary is damaged;
// the summary is then looked for where the walk found the data section's end, so that the
// data can still be held to it before the first scan.
void catalogueFile(McapFile& file, Decompression& decompression, std::string& damage) {
    if (readSummary(file, file.summaryStart)) return;
    countMessages(file, decompression, damage);
    const std::uint64_t at = file.dataEndAt;
    if (!file.footerFound || at == 0 || at == file.summaryStart || at >= file.footerOffset) return;
    Catalogue counted = std::move(file.catalogue);
    file.catalogue = Catalogue{};
    if (readSummary(file, at)) return;
    if (file.catalogue.summaryDamage.empty()) counted.chunks = std::move(file.catalogue.chunks);
    file.catalogue = std::move(counted);
}

// Topics over all files, merged by name (see mergeTopic).
std::vector<TopicCount> topicsOf(const std::vector<McapFile>& files) {
    std::vector<TopicCount> topics;
    for (const McapFile& file : files) {
        // Channel ids come out of a hash map: in id order, so that a merge comes out the same
        // way each run.
        std::vector<std::uint16_t> ids;
        for (const auto& entry : file.catalogue.channels) ids.push_back(entry.first);
        std::sort(ids.begin(), ids.end());
        for (const std::uint16_t id : ids) {
            const auto& channel = file.catalogue.channels.at(id);
            const auto counted = file.catalogue.messageCounts.find(id);
            const std::uint64_t messages = counted == file.catalogue.messageCounts.end() ? 0 : counted->second;
            mergeTopic(topics, {channel.topic, typeOf(file.catalogue, channel), messages});
        }
    }
    // Sorted, so that messages list topics the same way each run.
    std::sort(topics.begin(), topics.end(), [](const TopicCount& a, const TopicCount& b) { return a.name < b.name; });
    return topics;
}

std::uint64_t scansOn(const std::vector<TopicCount>& topics, const std::string& topic) {
    std::uint64_t scans = 0;
    for (const TopicCount& candidate : topics) {
        if (candidate.name == topic && isLaserScanType(candidate.type)) scans += candidate.messages;
    }
    return scans;
}

bool streamFile(McapFile& file, Decompression& decompression, const std::string& topic, const RawScanSink& sink,
                const std::vector<std::string>* poseTopics, std::uint64_t& scanNumber, bool& stopped,
                std::string& error) {
    if (!openMcapFile(file, error)) return false;
    Walk walk;
    walk.poseTopics = poseTopics;
    walk.pass = Pass::streaming;
    walk.file = &file;
    walk.decompression = &decompression;
    walk.chosenTopic = topic;
    walk.sink = &sink;
    walk.scanNumber = &scanNumber;
    for (const auto& [id, channel] : file.catalogue.channels) setChannelUse(walk, id, channel);
    const bool ok = walkFile(walk, error);
    stopped = walk.stopped;
    closeMcapFile(file);
    return ok;
}

// Every channel of the chosen topic known before streaming must carry CDR; one found only
// while streaming is checked at its first message.
bool checkEncodings(const std::vector<McapFile>& files, const std::string& topic, std::string& error) {
    for (const McapFile& file : files) {
        for (const auto& [id, channel] : file.catalogue.channels) {
            if (channel.topic == topic && isLaserScanType(typeOf(file.catalogue, channel)) && channel.encoding != "cdr") {
                error = file.name + ": " + wrongEncoding(topic, channel.encoding);
                return false;
            }
        }
    }
    return true;
}

bool readFiles(std::vector<McapFile>& files, const std::string& path, const LogOptions& options,
               const RawScanSink& sink, Decompression& decompression, LogInfo& info, std::string& error) {
    std::string damage;
    for (McapFile& file : files) {
        if (!openMcapFile(file, error)) return false;
        if (damage.empty()) catalogueFile(file, decompression, damage);
        closeMcapFile(file);
    }
    const std::vector<TopicCount> topics = topicsOf(files);
    std::string chosen;
    std::string what;
    info.laserScanTopics = laserScanTopicNames(topics);
    if (!chooseLaserScanTopic(topics, options.topic, chosen, what)) {
        if (severalLaserScanTopics(topics, options.topic) && sink.begin) sink.begin(info);
        // Damage that hid the topics is the better explanation.
        error = !damage.empty() ? damage : path + ": " + what;
        return false;
    }
    if (!checkEncodings(files, chosen, error)) return false;
    info.topic = chosen;
    info.scanCount = scansOn(topics, chosen);
    if (sink.begin) sink.begin(info);
    std::vector<std::string> poseTopics;
    if (sink.pose && !choosePoseTopics(topics, sink.poseTopic, poseTopics, what)) {
        error = path + ": " + what;
        return false;
    }
    std::uint64_t scanNumber = 0;
    for (McapFile& file : files) {
        bool stopped = false;
        if (!streamFile(file, decompression, chosen, sink, sink.pose ? &poseTopics : nullptr, scanNumber, stopped,
                        error)) {
            return false;
        }
        if (stopped) return true;
    }
    return true;
}

// A file inside a bag folder is named in messages by its own path; a file given directly
// (perhaps decompressed to /proc/self/fd/N) by the path the user gave.
std::string nameFor(const std::string& file, const std::string& path) {
    return file.size() > path.size() && file.compare(0, path.size(), path) == 0 && file[path.size()] == '/' ? file
                                                                                                           : path;
}

}  // namespace

bool readMcap(const std::vector<std::string>& files, const std::string& path, const LogOptions& options,
              const RawScanSink& sink, std::string& error) {
    LogInfo info;
    info.format = LogFormat::mcap;
    std::vector<McapFile> opened(files.size());
    Decompression decompression;
    decompression.zstd = ZSTD_createDCtx();
    LZ4F_createDecompressionContext(&decompression.lz4, LZ4F_VERSION);
    bool ok = decompression.zstd != nullptr && decompression.lz4 != nullptr;
    if (!ok) error = path + ": cannot set up decompression";
    for (std::size_t i = 0; i < files.size(); ++i) {
        opened[i].path = files[i];
        opened[i].name = nameFor(files[i], path);
    }
    if (ok && files.empty()) {
        error = path + ": no MCAP files to read";
        ok = false;
    }
    if (ok) ok = readFiles(opened, path, options, sink, decompression, info, error);
    for (McapFile& file : opened) closeMcapFile(file);
    ZSTD_freeDCtx(decompression.zstd);
    LZ4F_freeDecompressionContext(decompression.lz4);
    return ok;
}
