#pragma once

// The POSIX file work that the file manager, the bundle reader and the signature code share:
// owning a descriptor, listing a folder, reading a whole file, writing a new one. Names are taken
// relative to an open folder (or AT_FDCWD). Failures come back as error codes; the caller names the
// operation and the item.

#include <sys/types.h>
#include <unistd.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <system_error>
#include <tuple>
#include <utility>
#include <vector>

// Owns a file descriptor and closes it when it goes out of scope.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd = -1) noexcept : fd_(fd) {}
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
    FileDescriptor& operator=(FileDescriptor&&) = delete;
    ~FileDescriptor() {
        if (fd_ >= 0) {
            std::ignore = ::close(fd_);  // nothing was written through it that could still fail
        }
    }

    int get() const noexcept { return fd_; }
    bool valid() const noexcept { return fd_ >= 0; }
    // Gives up ownership, for a descriptor that is closed elsewhere (or checked when closed).
    int release() noexcept { return std::exchange(fd_, -1); }

private:
    int fd_;
};

namespace posix {

// The error of the last failed system call.
std::error_code lastError() noexcept;

// Reads the entry names of an open folder, without "." and "..", in the order the system lists
// them. Takes ownership of `folder` and closes it; a negative `folder` stands for a failed open
// whose errno is still set.
std::error_code readEntryNames(int folder, std::vector<std::string>& names);

// read(2), retried when a signal interrupts it: the byte count, 0 at the end, or -1 with errno.
ssize_t readSome(int fd, void* buffer, std::size_t size) noexcept;

// Writes all of `data`, however many calls it takes.
std::error_code writeAll(int fd, std::string_view data) noexcept;

enum class Links { refuse, follow };

// Reads a whole regular file. Fails with ELOOP for a symbolic link (when links are refused),
// EINVAL for anything that is not a regular file (a FIFO is opened without waiting for a writer)
// and EFBIG for a file larger than `maxBytes`, even one that grows while it is read.
std::error_code readWholeFile(int folder, const std::string& name, std::size_t maxBytes,
                              Links links, std::string& bytes);

// Opens `relative` below the open folder `root` without following any link on the way and without
// leaving the folder. Where the kernel cannot check the whole way, only the last component is
// protected.
FileDescriptor openBeneath(int root, const std::string& relative, int flags);

// A file that this call creates: never an item that was there, never through a link at the name.
// Private (mode 0600) until `complete` gives it its mode; a file that is not completed is removed
// again when this object goes, so that a failure leaves nothing half-written. The folder must stay
// open as long as this object lives.
class NewFile {
public:
    NewFile(int folder, std::string name);
    NewFile(const NewFile&) = delete;
    NewFile& operator=(const NewFile&) = delete;
    ~NewFile();

    // The creation's failure, if any; nothing else may be called then.
    std::error_code error() const noexcept { return error_; }
    int fd() const noexcept { return fd_.get(); }

    // Sets the permission bits (whatever the umask) and closes the file, which reports late write
    // errors (quota, network file systems). On failure the file is removed.
    std::error_code complete(mode_t mode);

private:
    int folder_;
    std::string name_;
    FileDescriptor fd_;
    std::error_code error_;
    bool completed_ = false;
};

// Writes a new file in one go with permission bits `mode`; see NewFile.
std::error_code writeNewFile(int folder, const std::string& name, std::string_view data,
                             mode_t mode);

}  // namespace posix
