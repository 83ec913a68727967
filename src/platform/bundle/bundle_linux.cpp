#include "bundle.h"

namespace fs = std::filesystem;

std::optional<fs::path> Bundle::mainResourceURL() {
    std::error_code error;
    const fs::path executable = fs::read_symlink("/proc/self/exe", error);
    if (error || executable.empty()) {
        return std::nullopt;
    }
    const fs::path folder = executable.parent_path();
    const fs::path contents = folder.parent_path();
    const fs::path bundle = contents.parent_path();
    if (folder.filename() == "MacOS" && contents.filename() == "Contents" &&
        bundle.extension() == ".app") {
        return contents / "Resources";
    }
    return folder;
}
