#pragma once

#include <chrono>
#include <filesystem>
#include <stop_token>
#include <string_view>

#include "file_handles.h"

namespace files {

// The name of the lock file that holders of a folder's lock keep in it while they hold it.
inline constexpr std::string_view folderLockFileName = ".Vantorel.lock";

// A folder held open, with an exclusive lock that only someone who may write the folder can take,
// for as long as this object lives. The lock is a write lock on a file of the holder's own in the
// folder (mode 0600, or 0660 in a folder its group may write): a user who may only read the folder
// can neither create that file nor open it, so cannot hold installations up. The holder removes
// the file before it lets go; should a holder die, the system releases its lock and the file that
// is left over is taken over by the next holder. Every holder of the lock on the same folder, in
// this process or another, excludes the others.
class FolderLock {
public:
    // `held`: this object holds the lock. `busy`: another holder kept it for the whole patience.
    // `stopped`: the wait for another holder was given up on request. `unavailable`: the lock
    // cannot be had here (no locks on this file system, a read-only folder, a lock file of someone
    // else's that this user may not open); the folder is open all the same.
    enum class State { held, busy, stopped, unavailable };

    // Opens the folder (a link at the path is followed, as for any use of the folder by its path)
    // and takes the lock, waiting up to `patience` for another holder to release it, unless `stop`
    // is requested first. Throws FileError when the folder cannot be opened.
    FolderLock(const std::filesystem::path& folder, std::chrono::milliseconds patience,
               std::stop_token stop = {});
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;
    ~FolderLock();

    State state() const noexcept { return state_; }
    // The open folder, whether or not the lock is held.
    int fd() const noexcept { return folder_.get(); }

private:
    FileDescriptor folder_;
    FileDescriptor lockFile_;
    State state_ = State::unavailable;
};

}  // namespace files
