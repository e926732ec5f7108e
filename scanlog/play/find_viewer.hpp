// Finding the viewer that `scanlog view` starts.
#pragma once

#include <string>

// The viewer to start: `rangeScanInspector` in `ownFolder` (where scanlog itself lives) if it
// is there and executable, else the first one on `searchPath` (PATH's form). Empty when
// there is none.
std::string findViewer(const std::string& ownFolder, const std::string& searchPath);
