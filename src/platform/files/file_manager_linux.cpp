#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <utility>
#include <vector>

#include "file_handles.h"
#include "file_manager.h"

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

}  // namespace

fs::path withoutTrailingSeparator(const fs::path& path) {
    fs::path result = path;
    while (!result.has_filename() && result.has_relative_path()) {
        result = result.parent_path();
    }
    return result;
}

bool isWithinFolder(const fs::path& path, const fs::path& folder) {
    const fs::path item = path.lexically_normal();
    const fs::path top = withoutTrailingSeparator(folder.lexically_normal());
    return std::mismatch(top.begin(), top.end(), item.begin(), item.end()).first == top.end();
}

// ---- queries -----------------------------------------------------------------------------------

bool fileExists(const fs::path& path) noexcept {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

bool itemExists(const fs::path& path) noexcept {
    return statWithoutFollowing(path).has_value();
}

bool isWritableFile(const fs::path& path) noexcept {
    return ::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0;
}

bool isExecutableFile(const fs::path& path) noexcept {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
           ::faccessat(AT_FDCWD, path.c_str(), X_OK, AT_EACCESS) == 0;
}

FolderAccess folderAccess(const fs::path& folder) noexcept {
    FolderAccess access;
    struct stat st {};
    fs::path judged = folder;
    while (::stat(judged.c_str(), &st) != 0) {
        if (errno != ENOENT || !judged.has_relative_path()) {
            return access;  // nothing that can be judged: refused
        }
        judged = withoutTrailingSeparator(judged).parent_path();
    }
    struct statvfs mount {};
    if (::statvfs(judged.c_str(), &mount) != 0) {
        return access;
    }
    access.judged = judged;
    access.isFolder = S_ISDIR(st.st_mode);
    access.writable = ::faccessat(AT_FDCWD, judged.c_str(), W_OK | X_OK, AT_EACCESS) == 0;
    access.readOnly = (mount.f_flag & ST_RDONLY) != 0;
    access.programsMayRun = (mount.f_flag & ST_NOEXEC) == 0;
    access.anotherUsersFolderAsRoot = ::geteuid() == 0 && st.st_uid != 0;
    // Root may also use the blocks that the file system keeps back from everybody else.
    access.roomBytes =
        std::uintmax_t(::geteuid() == 0 ? mount.f_bfree : mount.f_bavail) * mount.f_frsize;
    access.blockBytes = mount.f_frsize;
    return access;
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
        throwFileError("Nie udało się odczytać właściwości " + quoted(path), errno, path);
    }
    return {S_ISLNK(st->st_mode), S_ISDIR(st->st_mode)};
}

std::vector<std::string> contentsOfDirectory(const fs::path& path) {
    std::vector<std::string> names;
    const auto error =
        posix::readEntryNames(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC), names);
    if (error) {
        throwFileError("Nie udało się odczytać zawartości folderu " + quoted(path), error.value(),
                       path);
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
        throwFileError("Nie udało się utworzyć folderu " + quoted(path), error.value(), path);
    }
}

void moveItem(const fs::path& from, const fs::path& to) {
    const auto fail = [&](int error) {
        throwFileError("Nie udało się przenieść " + quoted(from) + " do " + quoted(to), error,
                       from);
    };
    if (const int injected = injectedMoveFault(from, to); injected != 0) {
        fail(injected);
    }
    // Without a trailing "/", a check of `to` describes the item there, not what a link points to.
    if (const auto error =
            posix::renameWithoutReplacing(AT_FDCWD, from, AT_FDCWD, withoutTrailingSeparator(to))) {
        fail(error.value());
    }
}

void removeItem(const fs::path& path) {
    // Without the trailing "/": the item itself goes, never what a link at the end points to.
    const fs::path item = withoutTrailingSeparator(path);
    const FileDescriptor folder(
        ::open(item.parent_path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    const std::error_code error =
        folder.valid() ? posix::removeEntry(folder.get(), item.filename()) : posix::lastError();
    if (error) {
        throwFileError("Nie udało się usunąć " + quoted(path), error.value(), path);
    }
}

void setMoveFaultHookForTesting(MoveFaultHook hook) {
    std::lock_guard lock(moveFaultHookMutex);
    moveFaultHook = std::move(hook);
}

}  // namespace files
