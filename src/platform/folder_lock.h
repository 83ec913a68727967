#pragma once

#include <filesystem>

#include "posix_file.h"

namespace files {

// A folder held open with an exclusive advisory lock on the folder itself (flock, so that no file
// is created in it) for as long as this object lives. The lock is released when the object goes
// and, should the process die, by the system. Every holder of such a lock on the same folder, in
// this process or another, excludes the others.
class FolderLock {
public:
    enum class Wait { untilFree, never };
    // `held`: this object holds the lock. `busy`: another holder has it (only with Wait::never).
    // `unavailable`: the file system offers no such locks (some network file systems).
    enum class State { held, busy, unavailable };

    // Opens the folder (a link at the path is followed, as for any use of the folder by its path)
    // and takes the lock, waiting for another holder to release it when asked to. Throws
    // FileError when the folder cannot be opened.
    FolderLock(const std::filesystem::path& folder, Wait wait);

    State state() const noexcept { return state_; }
    // The open folder, whether or not the lock is held.
    int fd() const noexcept { return fd_.get(); }

private:
    FileDescriptor fd_;
    State state_;
};

}  // namespace files
