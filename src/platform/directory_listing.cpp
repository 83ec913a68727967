#include "directory_listing.h"

#include <dirent.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>
#include <tuple>

int readEntryNames(int folder, std::vector<std::string>& names) {
    if (folder < 0) {
        return errno;  // the failure of the call that should have opened it
    }
    DIR* dir = ::fdopendir(folder);
    if (dir == nullptr) {
        const int error = errno;
        std::ignore = ::close(folder);
        return error;
    }
    errno = 0;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string_view name = entry->d_name;
        if (name != "." && name != "..") {
            names.emplace_back(name);
        }
        errno = 0;
    }
    const int error = errno;
    ::closedir(dir);  // closes `folder` too
    return error;
}
