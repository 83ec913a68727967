#include "status_change.h"

#include <sys/stat.h>

#include "file_manager.h"

namespace files {

std::optional<std::chrono::nanoseconds> statusChangeTime(const fs::path& path) noexcept {
    struct stat st {};
    if (::lstat(withoutTrailingSeparator(path).c_str(), &st) != 0) {
        return std::nullopt;
    }
    return std::chrono::seconds(st.st_ctim.tv_sec) + std::chrono::nanoseconds(st.st_ctim.tv_nsec);
}

}  // namespace files
