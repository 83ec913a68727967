#include <fcntl.h>
#include <linux/fs.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <tuple>
#include <utility>
#include <vector>

#include "file_manager.h"
#include "posix_file.h"
#include "worker_pool.h"

namespace files {

namespace {

std::mutex moveFaultHookMutex;
MoveFaultHook moveFaultHook;

int injectedMoveFault(const fs::path& from, const fs::path& to) {
    std::lock_guard lock(moveFaultHookMutex);
    return moveFaultHook ? moveFaultHook(from, to) : 0;
}

std::optional<struct stat> statWithoutFollowing(const fs::path& path) noexcept {
    struct stat st {};
    if (::lstat(withoutTrailingSeparator(path).c_str(), &st) != 0) {
        return std::nullopt;
    }
    return st;
}

// ---- copying -------------------------------------------------------------------------------

struct FileCopyJob {
    fs::path from;
    fs::path to;
    std::uint64_t size;
};

struct FolderToFinish {
    fs::path to;
    struct stat source;
};

[[noreturn]] void throwCopyError(const fs::path& from, const fs::path& to, int errorNumber) {
    throwFileError("Nie udało się skopiować " + quoted(from) + " do " + quoted(to), errorNumber);
}

void restoreTimes(int fd, const struct stat& source) {
    const struct timespec times[2] = {source.st_atim, source.st_mtim};
    std::ignore = ::futimens(fd, times);  // times are a courtesy; a failure does not fail the copy
}

// Copies the rest of one open file to another with plain reads and writes, from the current
// offsets up to the end of the input. Returns 0 or an errno value.
int copyByReadAndWrite(int in, int out, off_t sizeHint) {
    const size_t bufferSize = static_cast<size_t>(std::clamp<off_t>(sizeHint, 64 << 10, 1 << 20));
    const auto buffer = std::make_unique_for_overwrite<char[]>(bufferSize);
    for (;;) {
        const ssize_t n = posix::readSome(in, buffer.get(), bufferSize);
        if (n <= 0) {
            return n == 0 ? 0 : errno;
        }
        const auto error =
            posix::writeAll(out, std::string_view(buffer.get(), static_cast<size_t>(n)));
        if (error) {
            return error.value();
        }
    }
}

// Copies the bytes of one open file to another: a reflink where the file system shares extents,
// copy_file_range inside the kernel otherwise, and plain reads and writes as the last resort.
// `size` is the input's size when the copy began. Returns 0 or an errno value.
int copyContents(int in, int out, off_t size) {
    if (size > 0 && ::ioctl(out, FICLONE, in) == 0) {
        return 0;
    }
    for (off_t left = size; left > 0;) {
        const ssize_t n =
            ::copy_file_range(in, nullptr, out, nullptr, static_cast<size_t>(left), 0);
        if (n > 0) {
            left -= n;
            continue;
        }
        if (n == 0) {
            return 0;  // the file shrank while we copied it; keep what it holds now
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno == EXDEV || errno == ENOSYS || errno == EOPNOTSUPP || errno == EINVAL) {
            return copyByReadAndWrite(in, out, left);  // from the current offsets on
        }
        return errno;
    }
    return 0;
}

void copyRegularFile(const FileCopyJob& job) {
    // O_NONBLOCK: should the item have been swapped for a FIFO since the walk, open() must not
    // hang.
    FileDescriptor in(::open(job.from.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!in.valid()) {
        throwCopyError(job.from, job.to, errno);
    }
    struct stat st {};
    if (::fstat(in.get(), &st) != 0) {
        throwCopyError(job.from, job.to, errno);
    }
    if (!S_ISREG(st.st_mode)) {
        throwCopyError(job.from, job.to, EINVAL);
    }
    // The copy removes itself unless it is completed.
    posix::NewFile out(AT_FDCWD, job.to.native());
    if (out.error()) {
        throwCopyError(job.from, job.to, out.error().value());
    }
    if (const int error = copyContents(in.get(), out.fd(), st.st_size); error != 0) {
        throwCopyError(job.from, job.to, error);
    }
    restoreTimes(out.fd(), st);
    if (const auto error = out.complete(st.st_mode & 07777)) {
        throwCopyError(job.from, job.to, error.value());
    }
}

// Walks the source tree without following links: creates the folders (owner-writable for now) and
// the links of the copy, and lists the regular files to copy. Throws on special files.
void copyStructure(const fs::path& from, const fs::path& to, std::vector<FileCopyJob>& files,
                   std::vector<FolderToFinish>& folders) {
    const auto st = statWithoutFollowing(from);
    if (!st) {
        throwCopyError(from, to, errno);
    }
    if (S_ISLNK(st->st_mode)) {
        std::string target(static_cast<size_t>(st->st_size) + 1, '\0');
        const ssize_t n = ::readlink(from.c_str(), target.data(), target.size());
        if (n < 0) {
            throwCopyError(from, to, errno);
        }
        target.resize(static_cast<size_t>(n));
        if (::symlink(target.c_str(), to.c_str()) != 0) {
            throwCopyError(from, to, errno);
        }
        return;
    }
    if (S_ISREG(st->st_mode)) {
        files.push_back({from, to, static_cast<std::uint64_t>(st->st_size)});
        return;
    }
    if (!S_ISDIR(st->st_mode)) {
        throwFileError("Nie udało się skopiować " + quoted(from) +
                           ": to plik specjalny (potok, gniazdo lub urządzenie), a nie plik, "
                           "folder ani dowiązanie",
                       ENOTSUP);
    }
    if (::mkdir(to.c_str(), 0700) != 0) {
        throwCopyError(from, to, errno);
    }
    folders.push_back({to, *st});
    for (const auto& name : contentsOfDirectory(from)) {
        copyStructure(from / name, to / name, files, folders);
    }
}

void copyFilesInParallel(const std::vector<FileCopyJob>& jobs) {
    std::vector<std::uint64_t> sizes;
    for (const auto& job : jobs) {
        sizes.push_back(job.size);
    }
    workers::runLargestFirst(sizes, workers::defaultThreadCount(),
                             [&](size_t item, unsigned) { copyRegularFile(jobs[item]); });
}

// Gives each copied folder its source's permission bits and times, deepest first, so that a
// read-only folder is closed only after everything inside it was written.
void finishFolders(const std::vector<FolderToFinish>& folders) {
    for (auto it = folders.rbegin(); it != folders.rend(); ++it) {
        FileDescriptor fd(::open(it->to.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!fd.valid() || ::fchmod(fd.get(), it->source.st_mode & 07777) != 0) {
            throwFileError("Nie udało się ustawić uprawnień folderu " + quoted(it->to), errno);
        }
        restoreTimes(fd.get(), it->source);
    }
}

}  // namespace

fs::path withoutTrailingSeparator(const fs::path& path) {
    fs::path result = path;
    while (!result.has_filename() && result.has_relative_path()) {
        result = result.parent_path();
    }
    return result;
}

// ---- queries -----------------------------------------------------------------------------------

bool fileExists(const fs::path& path) noexcept {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

bool isWritableFile(const fs::path& path) noexcept {
    return ::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0;
}

bool isExecutableFile(const fs::path& path) noexcept {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
           ::faccessat(AT_FDCWD, path.c_str(), X_OK, AT_EACCESS) == 0;
}

fs::path homeDirectoryForCurrentUser() noexcept {
    if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') {
        return home;
    }
    // getpwuid_r rather than getpwuid: the install task may look up the home folder on its own
    // thread while the screen does the same.
    std::vector<char> buffer(16 << 10);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
        found != nullptr && entry.pw_dir != nullptr && entry.pw_dir[0] == '/') {
        return entry.pw_dir;
    }
    return "/";  // no home folder at all: the root folder, as Qt's own lookup ends too
}

ResourceValues resourceValues(const fs::path& path) {
    const auto st = statWithoutFollowing(path);
    if (!st) {
        throwFileError("Nie udało się odczytać właściwości " + quoted(path), errno);
    }
    return {S_ISLNK(st->st_mode), S_ISDIR(st->st_mode)};
}

std::vector<std::string> contentsOfDirectory(const fs::path& path) {
    std::vector<std::string> names;
    const auto error =
        posix::readEntryNames(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC), names);
    if (error) {
        throwFileError("Nie udało się odczytać zawartości folderu " + quoted(path), error.value());
    }
    return names;
}

// ---- changes ----------------------------------------------------------------------------------

void createDirectory(const fs::path& path) {
    std::error_code error;
    fs::create_directories(path, error);
    if (!error && !fs::is_directory(path, error) && !error) {
        error = std::make_error_code(std::errc::not_a_directory);
    }
    if (error) {
        throwFileError("Nie udało się utworzyć folderu " + quoted(path), error.value());
    }
}

void copyItem(const fs::path& from, const fs::path& to) {
    std::vector<FileCopyJob> jobs;
    std::vector<FolderToFinish> folders;
    try {
        copyStructure(withoutTrailingSeparator(from), withoutTrailingSeparator(to), jobs, folders);
        copyFilesInParallel(jobs);
        finishFolders(folders);
    } catch (...) {
        // Leave nothing half-written behind. A copied file removes itself when it fails; a folder
        // tree is ours only when its top was created by this call (mkdir fails when `to` exists).
        if (!folders.empty()) {
            std::error_code ignored;
            fs::remove_all(to, ignored);
        }
        throw;
    }
}

void moveItem(const fs::path& from, const fs::path& to) {
    const auto fail = [&](int error) {
        throwFileError("Nie udało się przenieść " + quoted(from) + " do " + quoted(to), error);
    };
    if (const int injected = injectedMoveFault(from, to); injected != 0) {
        fail(injected);
    }
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
        return;
    }
    if (errno != EINVAL && errno != ENOSYS) {
        fail(errno);
    }
    // A file system without RENAME_NOREPLACE: check first. Not atomic, but never replaces an item
    // that was there before the call.
    if (statWithoutFollowing(to)) {
        fail(EEXIST);
    }
    if (::rename(from.c_str(), to.c_str()) != 0) {
        fail(errno);
    }
}

void removeItem(const fs::path& path) {
    if (!statWithoutFollowing(path)) {
        throwFileError("Nie udało się usunąć " + quoted(path), errno);
    }
    // remove_all does not follow symbolic links: a link is removed, its target stays. Without the
    // trailing "/" it could not be tricked into following one at the end of the path either.
    std::error_code error;
    fs::remove_all(withoutTrailingSeparator(path), error);
    if (error) {
        throwFileError("Nie udało się usunąć " + quoted(path), error.value());
    }
}

void setMoveFaultHookForTesting(MoveFaultHook hook) {
    std::lock_guard lock(moveFaultHookMutex);
    moveFaultHook = std::move(hook);
}

}  // namespace files
