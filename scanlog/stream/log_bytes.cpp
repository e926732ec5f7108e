#include "log_bytes.hpp"

#include <algorithm>
#include <cerrno>
#include <poll.h>
#include <unistd.h>

#include "recognise.hpp"

namespace {

// Lets the consumer pass on what it holds before a read that would wait for a live log.
void noteWaiting(LogBytes& bytes) {
    if (bytes.waiting == nullptr || !*bytes.waiting) return;
    pollfd ready{bytes.fd, POLLIN, 0};
    if (poll(&ready, 1, 0) == 0) (*bytes.waiting)();
}

ssize_t readRaw(LogBytes& bytes, char* into, std::size_t size) {
    if (bytes.rawUsed < bytes.raw.size()) {
        const std::size_t n = std::min(size, bytes.raw.size() - bytes.rawUsed);
        std::memcpy(into, bytes.raw.data() + bytes.rawUsed, n);
        bytes.rawUsed += n;
        return static_cast<ssize_t>(n);
    }
    noteWaiting(bytes);
    for (;;) {
        const ssize_t got = read(bytes.fd, into, size);
        if (got >= 0) return got;
        if (errno != EINTR) {
            bytes.error = systemError(errno);
            return -1;
        }
    }
}

ssize_t failDecoding(LogBytes& bytes, const std::string& what) {
    bytes.error = "damaged gzip data: " + what;
    errno = EIO;
    return -1;
}

// Reads more compressed bytes when the last ones are used up. False on a read error.
bool fillInput(LogBytes& bytes) {
    z_stream& z = bytes.stream;
    if (z.avail_in != 0 || bytes.inputEnded) return true;
    const ssize_t got = readRaw(bytes, reinterpret_cast<char*>(bytes.input.data()), bytes.input.size());
    if (got < 0) return false;
    bytes.inputEnded = got == 0;
    z.next_in = bytes.input.data();
    z.avail_in = static_cast<uInt>(got);
    return true;
}

// Inflates into `into` until something comes out, the data ends, or it is found damaged.
// Files made of several gzip members (concatenated with cat) read as one.
ssize_t readInflated(LogBytes& bytes, char* into, std::size_t size) {
    z_stream& z = bytes.stream;
    while (!bytes.finished) {
        if (!fillInput(bytes)) return -1;
        z.next_out = reinterpret_cast<Bytef*>(into);
        z.avail_out = static_cast<uInt>(std::min<std::size_t>(size, 1u << 30));
        const uInt room = z.avail_out;
        const int result = inflate(&z, Z_NO_FLUSH);
        const std::size_t produced = room - z.avail_out;
        if (result == Z_STREAM_END) {
            // Another member may follow; only more input can tell.
            if (!fillInput(bytes)) return -1;
            if (z.avail_in == 0) {
                bytes.finished = true;
            } else {
                inflateReset(&z);
            }
        } else if (result == Z_BUF_ERROR && bytes.inputEnded && z.avail_in == 0 && produced == 0) {
            return failDecoding(bytes, "the file ends inside the compressed data");
        } else if (result != Z_OK && result != Z_BUF_ERROR) {
            return failDecoding(bytes, z.msg != nullptr ? z.msg : "inflate failed");
        }
        if (produced > 0) return static_cast<ssize_t>(produced);
    }
    return 0;
}

ssize_t readDecoded(LogBytes& bytes, char* into, std::size_t size) {
    return bytes.compressed ? readInflated(bytes, into, size) : readRaw(bytes, into, size);
}

// Reads until `enough` says the bytes can be recognised, or kHeadSize bytes, or the end.
template <typename Enough>
bool readUntil(std::string& head, Enough enough, const std::function<ssize_t(char*, std::size_t)>& readSome) {
    char block[kHeadSize];
    while (head.size() < kHeadSize && !enough(head)) {
        const ssize_t got = readSome(block, kHeadSize - head.size());
        if (got < 0) return false;
        if (got == 0) break;
        head.append(block, static_cast<std::size_t>(got));
    }
    return true;
}

}  // namespace

// The reader that the format readers are given.
ssize_t readLogBytes(void* context, char* into, std::size_t size) {
    auto& bytes = *static_cast<LogBytes*>(context);
    if (bytes.headUsed < bytes.head.size()) {
        const std::size_t n = std::min(size, bytes.head.size() - bytes.headUsed);
        std::memcpy(into, bytes.head.data() + bytes.headUsed, n);
        bytes.headUsed += n;
        return static_cast<ssize_t>(n);
    }
    return readDecoded(bytes, into, size);
}

// Opens the gzip layer when the file starts with gzip's magic, and reads the head.
bool readHead(LogBytes& bytes) {
    const auto raw = [&bytes](char* into, std::size_t size) { return readRaw(bytes, into, size); };
    if (!readUntil(bytes.raw, [](const std::string& h) { return h.size() >= 2; }, raw)) return false;
    bytes.compressed = bytes.raw.size() >= 2 && bytes.raw[0] == '\x1f' && bytes.raw[1] == '\x8b';
    if (bytes.compressed) {
        bytes.input.resize(128 * 1024);
        if (inflateInit2(&bytes.stream, 16 + MAX_WBITS) != Z_OK) {
            bytes.error = "cannot start gzip decompression";
            return false;
        }
        bytes.streamOpen = true;
    }
    const auto decoded = [&bytes](char* into, std::size_t size) { return readDecoded(bytes, into, size); };
    return readUntil(bytes.head, recognisable, decoded);
}

void closeLogBytes(LogBytes& bytes) {
    if (bytes.streamOpen) inflateEnd(&bytes.stream);
    bytes.streamOpen = false;
}
