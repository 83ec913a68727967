#include "folder_lock.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>

#include "file_error.h"

namespace files {

namespace {

FolderLock::State lock(int fd, FolderLock::Wait wait) noexcept {
    const int operation = LOCK_EX | (wait == FolderLock::Wait::never ? LOCK_NB : 0);
    while (::flock(fd, operation) != 0) {
        if (errno == EWOULDBLOCK) {
            return FolderLock::State::busy;
        }
        if (errno != EINTR) {
            return FolderLock::State::unavailable;  // ENOLCK, or EBADF where locks need write
                                                    // access
        }
    }
    return FolderLock::State::held;
}

}  // namespace

FolderLock::FolderLock(const std::filesystem::path& folder, Wait wait)
    : fd_(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)), state_(State::unavailable) {
    if (!fd_.valid()) {
        throwFileError("Nie udało się otworzyć folderu " + quoted(folder), errno, folder);
    }
    state_ = lock(fd_.get(), wait);
}

}  // namespace files
