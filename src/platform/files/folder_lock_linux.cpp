#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <thread>
#include <tuple>

#include "file_error.h"
#include "folder_lock.h"

namespace files {

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// How often a waiting holder looks whether the lock has come free: often enough that giving up on
// request takes no noticeable time.
constexpr std::chrono::milliseconds retryInterval = 50ms;

// How many times in a row a try may start again at once because the lock file was replaced.
constexpr int maxImmediateRetries = 3;

enum class Attempt { held, taken, replaced, unavailable };

const std::string lockFileName{folderLockFileName};

// Private to its owner, or shared with the group when the group may write the folder anyway.
mode_t lockFileMode(int folder) noexcept {
    struct stat st {};
    return ::fstat(folder, &st) == 0 && (st.st_mode & S_IWGRP) != 0 ? 0660 : 0600;
}

// True while the open file is the one at the lock file's name: a holder removes it just before it
// lets go, and whoever then gets the lock on the removed file must start again.
bool isAtLockFileName(int folder, int file) noexcept {
    struct stat opened {};
    struct stat named {};
    return ::fstat(file, &opened) == 0 &&
           ::fstatat(folder, lockFileName.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
           opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
}

// Takes the open file's write lock without waiting. The lock belongs to the open file, so two
// holders in one process exclude each other too.
Attempt lockOpenFile(int folder, int file) noexcept {
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    while (::fcntl(file, F_OFD_SETLK, &lock) != 0) {
        if (errno == EAGAIN || errno == EACCES) {
            return Attempt::taken;
        }
        if (errno != EINTR) {
            return Attempt::unavailable;  // no such locks on this file system
        }
    }
    return isAtLockFileName(folder, file) ? Attempt::held : Attempt::replaced;
}

// One try: opens the lock file for writing (made when missing, never through a link, nothing but
// a plain file), and takes its write lock. A write lock needs the file open for writing, so a user
// who may not write the folder can never hold it.
Attempt tryLock(int folder, FileDescriptor& file) noexcept {
    const mode_t mode = lockFileMode(folder);
    file = FileDescriptor(
        ::openat(folder, lockFileName.c_str(),
                 O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, mode));
    struct stat st {};
    if (!file.valid() || ::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return Attempt::unavailable;  // read-only, not ours to open, or a link or worse at the name
    }
    if ((st.st_mode & 0777 & ~mode) != 0) {
        // Not a holder's file: someone who may only read the folder may have it open, and a read
        // lock of theirs would keep the write lock out. It is replaced, never used.
        file = {};
        return ::unlinkat(folder, lockFileName.c_str(), 0) == 0 ? Attempt::replaced
                                                                : Attempt::unavailable;
    }
    return lockOpenFile(folder, file.get());
}

}  // namespace

FolderLock::FolderLock(const std::filesystem::path& folder, std::chrono::milliseconds patience,
                       std::stop_token stop)
    : folder_(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
    if (!folder_.valid()) {
        throwFileError("Nie udało się otworzyć folderu " + quoted(folder), errno, folder);
    }
    const Clock::time_point deadline = Clock::now() + patience;
    for (int replacements = 0;;) {
        const Attempt attempt = tryLock(folder_.get(), lockFile_);
        if (attempt == Attempt::held) {
            state_ = State::held;
            return;
        }
        lockFile_ = {};
        if (attempt == Attempt::unavailable) {
            state_ = State::unavailable;
            return;
        }
        // The file went (its holder let go just now, or it was no holder's): the next try makes
        // a new one at once, unless someone keeps replacing it.
        if (attempt == Attempt::replaced && ++replacements < maxImmediateRetries) {
            continue;
        }
        if (stop.stop_requested()) {
            state_ = State::stopped;
            return;
        }
        const Clock::time_point now = Clock::now();
        if (now >= deadline) {
            state_ = State::busy;
            return;
        }
        std::this_thread::sleep_for(std::min<Clock::duration>(retryInterval, deadline - now));
    }
}

FolderLock::~FolderLock() {
    if (state_ == State::held) {
        // Removed while still held, so that nobody takes the lock on a file that is going. Should
        // this fail, the next holder takes the file over.
        std::ignore = ::unlinkat(folder_.get(), lockFileName.c_str(), 0);
    }
    // lockFile_ closes before folder_, and the lock goes with it.
}

}  // namespace files
