// A SQLite file layer (VFS) for reading ROS 2 bags: read-ahead windows and names taken as given.
//
// SQLite reads a bag through a VFS of our own, for two reasons. Speed: the default VFS reads
// one page (usually 4 KB) per system call, and a LaserScan spans a page or more; those calls
// were most of the time a conversion took. And names: the default VFS opens the database
// without following symbolic links, so a gzip-compressed bag's decompressed copy, a file
// without a name read as /proc/self/fd/N, could not be opened at all.
#pragma once

#include <sqlite3.h>

// The name of the VFS bags are opened with; null (the default VFS) when it can't be set up.
const char* bagVfs();

// The length a database file's header gives it: its page count times its page size (a file
// too short to hold a header needs one). A file shorter than this was cut short.
sqlite3_int64 sqliteLengthFromHeader(int fd, sqlite3_int64 fileSize);
bool wholeSqliteFile(int fd, sqlite3_int64 fileSize);
