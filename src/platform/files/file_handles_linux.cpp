// The parts of the shared file work that use Linux's own calls: opening beneath a folder
// (openat2) and renaming without replacing (renameat2).
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "file_handles.h"

namespace posix {

namespace {

// openBeneath where the kernel has no openat2 (or a sandbox forbids it): every folder on the way
// is opened by its name in the one before, without following a link.
FileDescriptor openStepwise(int root, const std::string& relative, int flags) {
    FileDescriptor folder;  // the folder reached so far; invalid while that is `root` itself
    for (std::size_t start = 0;;) {
        const std::size_t slash = relative.find('/', start);
        const std::string part = relative.substr(start, slash - start);
        const int at = folder.valid() ? folder.get() : root;
        if (part == "..") {
            errno = EXDEV;
            return FileDescriptor();
        }
        if (slash == std::string::npos) {
            const char* name = part.empty() ? "." : part.c_str();
            return FileDescriptor(::openat(at, name, flags | O_NOFOLLOW | O_CLOEXEC));
        }
        if (!part.empty() && part != ".") {
            folder = FileDescriptor(
                ::openat(at, part.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (!folder.valid()) {
                return folder;
            }
        }
        start = slash + 1;
    }
}

}  // namespace

FileDescriptor openBeneath(int root, const std::string& relative, int flags) {
#if defined(SYS_openat2)
    open_how how{};
    how.flags = static_cast<std::uint64_t>(flags | O_NOFOLLOW | O_CLOEXEC);
    how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    const long fd = ::syscall(SYS_openat2, root, relative.c_str(), &how, sizeof how);
    if (fd >= 0 || (errno != ENOSYS && errno != EPERM)) {
        return FileDescriptor(static_cast<int>(fd));
    }
#endif
    return openStepwise(root, relative, flags);
}

std::error_code renameWithoutReplacing(int fromFolder, const std::string& from, int toFolder,
                                       const std::string& to) {
    if (::renameat2(fromFolder, from.c_str(), toFolder, to.c_str(), RENAME_NOREPLACE) == 0) {
        return {};
    }
    if (errno != EINVAL && errno != ENOSYS) {
        return lastError();
    }
    struct stat st {};
    if (::fstatat(toFolder, to.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        return std::make_error_code(std::errc::file_exists);
    }
    return ::renameat(fromFolder, from.c_str(), toFolder, to.c_str()) == 0 ? std::error_code()
                                                                           : lastError();
}

}  // namespace posix
