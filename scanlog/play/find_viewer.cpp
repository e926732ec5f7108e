#include "find_viewer.hpp"

#include <sys/stat.h>
#include <unistd.h>

std::string findViewer(const std::string& ownFolder, const std::string& searchPath) {
    const auto runnable = [](const std::string& path) {
        struct stat status {};
        return stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) && access(path.c_str(), X_OK) == 0;
    };
    const std::string name = "rangeScanInspector";
    if (!ownFolder.empty() && runnable(ownFolder + "/" + name)) return ownFolder + "/" + name;
    if (searchPath.empty()) return "";
    std::size_t start = 0;
    for (;;) {
        const std::size_t colon = searchPath.find(':', start);
        std::string folder = searchPath.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
        if (folder.empty()) folder = ".";  // an empty entry means the current folder
        if (runnable(folder + "/" + name)) return folder + "/" + name;
        if (colon == std::string::npos) return "";
        start = colon + 1;
    }
}
