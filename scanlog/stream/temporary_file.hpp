// Unnamed temporary files, for bags that must be read by name but arrive compressed or through
// a pipe, and for the records a player keeps to step back through.
#pragma once

#include <string>

// Opens an unnamed temporary file (gone once closed) in $TMPDIR, or /tmp when that is unset or
// empty, for reading and writing. -1 with errno set when it can't be made; `folder` is the
// folder it was made in (or tried), for messages.
int openTemporaryFile(std::string& folder);
