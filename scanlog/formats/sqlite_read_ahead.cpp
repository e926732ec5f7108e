// The bag is read-only and immutable, so the file needs no locks, no journal and no shared
// memory: opening, reading and its size are all there is. Rows lie in the file in the order
// they were recorded, so the table's pages come mostly forward (with short steps back to a
// row's leaf page), while the timestamp index is read as a second, sparser stream among
// them. A few windows are kept on the file: a read just past one refills it with a larger
// window (doubling up to kReadAheadBytes), a read far from all of them replaces the least
// recently used one with just the page asked for, so scattered reads cost no more than
// before. Temporary files (SQLite's sorter) go to the default VFS unchanged.
#include "sqlite_read_ahead.hpp"

#include <algorithm>
#include <cstdint>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

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

}  // namespace

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
