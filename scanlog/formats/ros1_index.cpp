#include "ros1_index.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr std::string_view kMagic = "#ROSBAG V2.0\n";
// A record header holds a few short fields; more than this is damage, not read into memory.
constexpr std::uint32_t kLargestHeader = 1 << 16;
constexpr unsigned char kChunk = 0x05, kBagHeader = 0x03, kChunkInfo = 0x06;

struct BagFile {
    int fd = -1;
    std::uint64_t size = 0;
    mutable bool cut = false;  // something runs past the end of the file
};

bool readExactly(const BagFile& bag, std::uint64_t offset, void* into, std::size_t count) {
    if (offset > bag.size || count > bag.size - offset) {
        bag.cut = true;
        return false;
    }
    std::size_t done = 0;
    while (done < count) {
        const ssize_t got = pread(bag.fd, static_cast<char*>(into) + done, count - done, static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        done += static_cast<std::size_t>(got);
    }
    return true;
}

std::uint64_t little(const unsigned char* at, int size) {
    std::uint64_t value = 0;
    for (int i = size - 1; i >= 0; --i) value = value << 8 | at[i];
    return value;
}

// One record: its header's fields by name, and where its data lies.
struct Record {
    std::vector<unsigned char> header;
    std::uint64_t dataAt = 0;
    std::uint32_t dataLength = 0;
    std::uint64_t next = 0;
};

bool readRecord(const BagFile& bag, std::uint64_t offset, Record& record) {
    unsigned char length[4];
    if (!readExactly(bag, offset, length, 4)) return false;
    const auto headerLength = static_cast<std::uint32_t>(little(length, 4));
    if (headerLength > kLargestHeader) return false;
    record.header.resize(headerLength);
    if (!readExactly(bag, offset + 4, record.header.data(), headerLength)) return false;
    if (!readExactly(bag, offset + 4 + headerLength, length, 4)) return false;
    record.dataLength = static_cast<std::uint32_t>(little(length, 4));
    record.dataAt = offset + 8 + headerLength;
    record.next = record.dataAt + record.dataLength;
    if (record.next > bag.size) bag.cut = true;
    return !bag.cut;
}

// The value of field `name` (the bytes after "name="), or false when the header lacks it or
// it is not `size` bytes long (0: any length).
bool field(const Record& record, std::string_view name, std::size_t size, std::string_view& value) {
    const auto* at = record.header.data();
    std::size_t p = 0;
    while (p + 4 <= record.header.size()) {
        const auto length = static_cast<std::size_t>(little(at + p, 4));
        p += 4;
        if (length > record.header.size() - p) return false;
        const std::string_view text(reinterpret_cast<const char*>(at + p), length);
        p += length;
        const std::size_t equals = text.find('=');
        if (equals == std::string_view::npos || text.substr(0, equals) != name) continue;
        value = text.substr(equals + 1);
        return size == 0 || value.size() == size;
    }
    return false;
}

bool number(const Record& record, std::string_view name, std::size_t size, std::uint64_t& value) {
    std::string_view text;
    if (!field(record, name, size, text)) return false;
    value = little(reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(size));
    return true;
}

bool opcode(const Record& record, unsigned char& op) {
    std::string_view text;
    if (!field(record, "op", 1, text)) return false;
    op = static_cast<unsigned char>(text[0]);
    return true;
}

bool fail(const BagFile&, std::string& error, const std::string& what, std::uint64_t offset) {
    error = "damaged bag (" + what + " at offset " + std::to_string(offset) + ")";
    return false;
}

// A Chunk Info record: its chunk's position, and its messages per connection.
bool takeChunkInfo(const BagFile& bag, const Record& record, std::uint64_t offset, Ros1Index& index,
                   std::vector<std::uint64_t>& chunks, std::string& error) {
    std::uint64_t chunkAt = 0, count = 0;
    if (!number(record, "chunk_pos", 8, chunkAt) || !number(record, "count", 4, count) ||
        count * 8 > record.dataLength) {
        return fail(bag, error, "a Chunk Info record that contradicts itself", offset);
    }
    std::vector<unsigned char> counts(static_cast<std::size_t>(count * 8));
    if (!readExactly(bag, record.dataAt, counts.data(), counts.size())) return fail(bag, error, "a cut Chunk Info record", offset);
    for (std::size_t i = 0; i < counts.size(); i += 8) {
        index.messages[static_cast<std::uint32_t>(little(&counts[i], 4))] += little(&counts[i + 4], 4);
    }
    chunks.push_back(chunkAt);
    return true;
}

// A chunk's bytes as stored and as the library unpacks them. The unpacked size is the chunk's
// own claim, which damage may have made anything: it counts as no more than the stored size
// for an uncompressed chunk, and no more than kLargestRatio times it for a compressed one, so
// that a damaged claim is refused by the memory allowance rather than granted by it.
constexpr std::uint64_t kLargestRatio = 32;

bool measureChunk(const BagFile& bag, std::uint64_t offset, Ros1Index& index, std::string& error) {
    Record chunk;
    unsigned char op = 0;
    std::uint64_t size = 0;
    std::string_view compression;
    if (!readRecord(bag, offset, chunk) || !opcode(chunk, op) || op != kChunk || !number(chunk, "size", 4, size) ||
        !field(chunk, "compression", 0, compression)) {
        return fail(bag, error, "a chunk whose header is damaged", offset);
    }
    const std::uint64_t stored = chunk.dataLength;
    const std::uint64_t unpacked = std::min(size, compression == "none" ? stored : kLargestRatio * stored);
    index.largestChunk = std::max(index.largestChunk, stored + unpacked);
    return true;
}

bool readIndexSection(const BagFile& bag, Ros1Index& index, std::string& error) {
    char magic[kMagic.size()];
    if (!readExactly(bag, 0, magic, sizeof magic) || std::string_view(magic, sizeof magic) != kMagic) return true;
    Record header;
    unsigned char op = 0;
    std::uint64_t indexAt = 0, chunkCount = 0;
    if (!readRecord(bag, kMagic.size(), header) || !opcode(header, op) || op != kBagHeader ||
        !number(header, "index_pos", 8, indexAt) || !number(header, "chunk_count", 4, chunkCount)) {
        return fail(bag, error, "a damaged bag header record", kMagic.size());
    }
    if (indexAt == 0) return true;  // never closed: the library says so itself
    if (indexAt > bag.size) bag.cut = true;
    std::vector<std::uint64_t> chunks;
    for (std::uint64_t offset = indexAt; offset < bag.size;) {
        Record record;
        if (!readRecord(bag, offset, record) || !opcode(record, op)) return fail(bag, error, "a damaged record", offset);
        if (op == kChunkInfo && !takeChunkInfo(bag, record, offset, index, chunks, error)) return false;
        offset = record.next;
    }
    // Fewer: the file ends early in its index section, which the library reports.
    if (chunks.size() < chunkCount) bag.cut = true;
    if (chunks.size() > chunkCount) {
        return fail(bag, error, "the bag header counts " + std::to_string(chunkCount) + " chunks, the index lists " +
                               std::to_string(chunks.size()),
                    indexAt);
    }
    for (const std::uint64_t chunk : chunks) {
        if (!measureChunk(bag, chunk, index, error)) return false;
    }
    index.found = true;
    return true;
}

}  // namespace

bool readRos1Index(int fd, Ros1Index& index, std::string& error) {
    index = Ros1Index{};
    struct stat status {};
    if (fstat(fd, &status) != 0) return true;
    BagFile bag{fd, static_cast<std::uint64_t>(status.st_size)};
    const bool ok = readIndexSection(bag, index, error);
    // A bag cut short is left to the library, whose words for it say so; other damage is
    // ours to report.
    if (bag.cut) {
        index = Ros1Index{};
        error.clear();
        return true;
    }
    return ok;
}
