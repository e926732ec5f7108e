// A SQLite file layer (VFS) for reading ROS 2 bags: read-ahead windows and names taken as given.
//
// SQLite reads a bag through a VFS of our own, for two reasons. Speed: the default VFS reads
// one page (usually 4 KB) per system call, and a LaserScan spans a page or more; those calls
// were most of the time a conversion took. And names: the default VFS opens the database
// without following symbolic links, so a gzip-compressed bag's decompressed copy, a file
// without a name read as /proc/self/fd/N, could not be opened at all.
#pragma once

// The name of the VFS bags are opened with; null (the default VFS) when it can't be set up.
const char* bagVfs();
