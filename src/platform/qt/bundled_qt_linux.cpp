#include "bundled_qt.h"

namespace bundledqt {

namespace fs = std::filesystem;

std::optional<fs::path> runningBundleContents() {
    std::error_code error;
    const fs::path executable = fs::read_symlink("/proc/self/exe", error);
    if (error) {
        return std::nullopt;  // no /proc: taken as not a bundle, so Qt is left as it is
    }
    const fs::path contents = executable.parent_path().parent_path();
    if (executable.parent_path().filename() == "MacOS" && contents.filename() == "Contents" &&
        contents.parent_path().extension() == ".app") {
        return contents;
    }
    return std::nullopt;
}

}  // namespace bundledqt
