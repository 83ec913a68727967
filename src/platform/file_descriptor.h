#pragma once

#include <unistd.h>

#include <tuple>
#include <utility>

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
