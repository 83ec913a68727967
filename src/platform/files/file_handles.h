#pragma once

// The POSIX file work that the file manager, the bundle reader and the signature code share:
// owning a descriptor, listing a folder, reading a whole file, writing a new one. Names are taken
// relative to an open folder (or AT_FDCWD). Failures come back as error codes; the caller names the
// operation and the item. file_handles_posix.cpp holds what any POSIX system offers;
// file_handles_linux.cpp opening beneath a folder and renaming without replacing, with Linux's own
// calls.

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
    FileDescriptor() noexcept = default;
    explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept {
        if (this != &other) {
            close();
            fd_ = other.release();
        }
        return *this;
    }
    ~FileDescriptor() { close(); }

    int get() const noexcept { return fd_; }
    bool valid() const noexcept { return fd_ >= 0; }
    // Gives up ownership, for a descriptor that is closed elsewhere (or checked when closed).
    int release() noexcept { return std::exchange(fd_, -1); }

private:
    void close() noexcept {
        if (fd_ >= 0) {
            std::ignore = ::close(fd_);  // nothing was written through it that could still fail
        }
    }

    int fd_ = -1;
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

// Reads the target of the symbolic link `name` in the open folder, however long it is: a target
// that fills the buffer is read again with a larger one. ENAMETOOLONG beyond 64 KiB.
std::error_code readLinkTarget(int folder, const std::string& name, std::string& target);

// Opens `relative` ("a/b", or "." for the folder itself) below the open folder `root` without
// following any link on the way and without leaving the folder: a link anywhere on the way fails
// with ELOOP (or ENOTDIR), a way out with EXDEV. The kernel checks the whole way where it can
// (openat2); elsewhere each folder on the way is opened by name, without following a link.
FileDescriptor openBeneath(int root, const std::string& relative, int flags);

// Renames `from` in the open folder `fromFolder` to `to` in `toFolder` (one file system), never
// replacing whatever is at `to`: EEXIST then. Where a file system cannot rename without replacing,
// `to` is checked first: not atomic, but never replaces an item that was there before the call.
std::error_code renameWithoutReplacing(int fromFolder, const std::string& from, int toFolder,
                                       const std::string& to);

// Removes the entry `name` of the open folder `folder`: a file or a symbolic link is unlinked (a
// link is never followed, nor a folder that was swapped for one), a folder is emptied through its
// own handle and then removed. A folder of the tree that its owner made read-only is made writable
// through its handle first. Entries that vanish meanwhile are fine; `name` itself must exist.
std::error_code removeEntry(int folder, const std::string& name);

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
