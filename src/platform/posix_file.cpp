#include "posix_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>

#include <cerrno>
#include <cstdint>

#if defined(__linux__)
#include <linux/openat2.h>
#endif

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

FileDescriptor openBeneath(int root, const std::string& relative, int flags) {
#if defined(__linux__) && defined(SYS_openat2)
    open_how how{};
    how.flags = static_cast<std::uint64_t>(flags | O_NOFOLLOW | O_CLOEXEC);
    how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    const long fd = ::syscall(SYS_openat2, root, relative.c_str(), &how, sizeof how);
    if (fd >= 0 || errno != ENOSYS) {
        return FileDescriptor(static_cast<int>(fd));
    }
#endif
    return FileDescriptor(::openat(root, relative.c_str(), flags | O_NOFOLLOW | O_CLOEXEC));
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
