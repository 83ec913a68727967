#include "file_handles.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

namespace posix {

std::error_code lastError() noexcept {
    return {errno, std::generic_category()};
}

std::error_code readEntryNames(int folder, std::vector<std::string>& names) {
    if (folder < 0) {
        return lastError();  // the failure of the call that should have opened it
    }
    DIR* dir = ::fdopendir(folder);
    if (dir == nullptr) {
        const std::error_code error = lastError();
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
    const std::error_code error(errno, std::generic_category());
    ::closedir(dir);  // closes `folder` too
    return error;
}

ssize_t readSome(int fd, void* buffer, std::size_t size) noexcept {
    for (;;) {
        const ssize_t n = ::read(fd, buffer, size);
        if (n >= 0 || errno != EINTR) {
            return n;
        }
    }
}

std::error_code writeAll(int fd, std::string_view data) noexcept {
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return n == 0 ? std::make_error_code(std::errc::io_error) : lastError();
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return {};
}

std::error_code readWholeFile(int folder, const std::string& name, std::size_t maxBytes,
                              Links links, std::string& bytes) {
    const int noFollow = links == Links::refuse ? O_NOFOLLOW : 0;
    // O_NONBLOCK: a FIFO at the name must not make open() wait for a writer.
    const FileDescriptor fd(
        ::openat(folder, name.c_str(), O_RDONLY | noFollow | O_NONBLOCK | O_CLOEXEC));
    struct stat st {};
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0) {
        return lastError();
    }
    if (!S_ISREG(st.st_mode)) {
        return std::make_error_code(std::errc::invalid_argument);
    }
    if (static_cast<std::uintmax_t>(st.st_size) > maxBytes) {
        return std::make_error_code(std::errc::file_too_large);
    }
    bytes.clear();
    bytes.reserve(static_cast<std::size_t>(st.st_size));  // one allocation, unless it grows
    char buffer[64 << 10];
    for (;;) {
        const ssize_t n = readSome(fd.get(), buffer, sizeof buffer);
        if (n == 0) {
            return {};
        }
        if (n < 0) {
            return lastError();
        }
        if (bytes.size() + static_cast<std::size_t>(n) > maxBytes) {
            return std::make_error_code(std::errc::file_too_large);
        }
        bytes.append(buffer, static_cast<std::size_t>(n));
    }
}

std::error_code readLinkTarget(int folder, const std::string& name, std::string& target) {
    constexpr std::size_t maxBytes = 64 << 10;
    for (std::size_t size = 256; size <= maxBytes; size *= 2) {
        target.resize(size);
        const ssize_t n = ::readlinkat(folder, name.c_str(), target.data(), size);
        if (n < 0) {
            return lastError();
        }
        if (static_cast<std::size_t>(n) < size) {  // a full buffer may have cut the target short
            target.resize(static_cast<std::size_t>(n));
            return {};
        }
    }
    return std::make_error_code(std::errc::filename_too_long);
}

namespace {

// Deeper than any real bundle: such a tree is refused rather than walked until the stack ends.
constexpr int maxRemovalDepth = 4096;

std::error_code removeAny(int folder, const std::string& name, int depth);

// Opens a folder for emptying, never through a link. A folder that its owner made read-only (or
// closed entirely) gets its owner's rights back first: only then can its entries go.
FileDescriptor openForRemoval(int parent, const std::string& name) {
    const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    FileDescriptor folder(::openat(parent, name.c_str(), flags));
    if (!folder.valid() && errno == EACCES &&
        ::fchmodat(parent, name.c_str(), S_IRWXU, AT_SYMLINK_NOFOLLOW) == 0) {
        folder = FileDescriptor(::openat(parent, name.c_str(), flags));
    }
    struct stat st {};
    if (folder.valid() && ::fstat(folder.get(), &st) == 0 && (st.st_mode & S_IRWXU) != S_IRWXU) {
        // Not ours to change, perhaps: then unlinking the entries says why it fails.
        std::ignore = ::fchmod(folder.get(), (st.st_mode & 07777) | S_IRWXU);
    }
    return folder;
}

std::error_code removeFolder(int parent, const std::string& name, int depth) {
    if (depth > maxRemovalDepth) {
        return std::make_error_code(std::errc::filename_too_long);
    }
    {
        const FileDescriptor folder = openForRemoval(parent, name);
        if (!folder.valid()) {
            if (errno != ELOOP && errno != ENOTDIR) {
                return lastError();
            }
            // No folder any more (swapped for a link, say): the entry goes as it is now.
            return ::unlinkat(parent, name.c_str(), 0) == 0 ? std::error_code() : lastError();
        }
        std::vector<std::string> names;
        if (auto error = readEntryNames(::fcntl(folder.get(), F_DUPFD_CLOEXEC, 0), names)) {
            return error;
        }
        for (const std::string& entry : names) {
            const std::error_code error = removeAny(folder.get(), entry, depth + 1);
            if (error && error != std::errc::no_such_file_or_directory) {  // vanished: fine
                return error;
            }
        }
    }
    return ::unlinkat(parent, name.c_str(), AT_REMOVEDIR) == 0 ? std::error_code() : lastError();
}

std::error_code removeAny(int folder, const std::string& name, int depth) {
    if (::unlinkat(folder, name.c_str(), 0) == 0) {
        return {};
    }
    // Linux refuses to unlink a folder with EISDIR, POSIX with EPERM.
    return errno == EISDIR || errno == EPERM ? removeFolder(folder, name, depth) : lastError();
}

}  // namespace

std::error_code removeEntry(int folder, const std::string& name) {
    return removeAny(folder, name, 0);
}

NewFile::NewFile(int folder, std::string name)
    : folder_(folder),
      name_(std::move(name)),
      fd_(::openat(folder, name_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                   0600)) {
    if (!fd_.valid()) {
        error_ = lastError();
    }
}

NewFile::~NewFile() {
    if (!error_ && !completed_) {
        std::ignore = ::unlinkat(folder_, name_.c_str(), 0);  // ours, and incomplete
    }
}

std::error_code NewFile::complete(mode_t mode) {
    std::error_code error;
    if (::fchmod(fd_.get(), mode) != 0) {
        error = lastError();
    }
    if (::close(fd_.release()) != 0 && !error) {
        error = lastError();
    }
    completed_ = !error;
    return error;
}

std::error_code writeNewFile(int folder, const std::string& name, std::string_view data,
                             mode_t mode) {
    NewFile file(folder, name);
    if (file.error()) {
        return file.error();
    }
    if (const std::error_code error = writeAll(file.fd(), data)) {
        return error;
    }
    return file.complete(mode);
}

}  // namespace posix
