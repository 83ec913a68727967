// The current user's Trash, in the freedesktop.org layout: where it is, and moving an item there.
// The move works on open folder handles: the Trash's own folders are opened one by one without
// following a link, so a link planted where a Trash folder belongs (a world-writable disk makes
// that easy) can never send the item anywhere else.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "file_handles.h"
#include "file_manager.h"

namespace files {

namespace {

[[noreturn]] void throwTrashError(const fs::path& item, int errorNumber) {
    throwFileError("Nie udało się przenieść " + quoted(item) + " do kosza", errorNumber, item);
}

enum class Missing { create, fail };

// Opens the folder `name` of `parent` as a folder of the user's Trash: never through a link, and
// only when it belongs to the user (a folder that someone else made would hand them what we put
// there). Made, private to the user, when missing and `missing` says so.
FileDescriptor openTrashFolder(int parent, const std::string& name, Missing missing) {
    if (missing == Missing::create && ::mkdirat(parent, name.c_str(), 0700) != 0 &&
        errno != EEXIST) {
        return FileDescriptor();
    }
    FileDescriptor folder(
        ::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (folder.valid() && (::fstat(folder.get(), &st) != 0 || st.st_uid != ::geteuid())) {
        errno = EPERM;
        return FileDescriptor();
    }
    return folder;
}

// A Trash: its "files" and "info" folders, and the folder that the original locations recorded
// in "info" are relative to (empty: they are absolute).
struct Trash {
    FileDescriptor files;
    FileDescriptor info;
    fs::path relativeTo;
};

Trash openTrash(const FileDescriptor& root, fs::path relativeTo) {
    if (!root.valid()) {
        return {};
    }
    Trash trash{openTrashFolder(root.get(), "files", Missing::create), FileDescriptor(),
                std::move(relativeTo)};
    if (trash.files.valid()) {
        trash.info = openTrashFolder(root.get(), "info", Missing::create);
    }
    return trash;
}

// The top folder of the mounted file system that holds `folder`: its highest ancestor on `device`.
fs::path mountTop(fs::path folder, dev_t device) {
    while (folder.has_relative_path()) {
        struct stat st {};
        if (::stat(folder.parent_path().c_str(), &st) != 0 || st.st_dev != device) {
            break;
        }
        folder = folder.parent_path();
    }
    return folder;
}

// The Trash of a file system other than the home folder's: the user's folder in an administrator's
// "$topdir/.Trash" when that is a real folder with the sticky bit, else "$topdir/.Trash-$uid".
Trash openTopTrash(const fs::path& folder, dev_t device) {
    const fs::path top = mountTop(folder, device);
    const FileDescriptor topFolder(::open(top.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    struct stat st {};
    if (!topFolder.valid() || ::fstat(topFolder.get(), &st) != 0) {
        return {};
    }
    if (st.st_dev != device) {
        errno = EXDEV;  // the folders changed while we looked
        return {};
    }
    const std::string uid = std::to_string(::geteuid());
    const FileDescriptor shared(
        ::openat(topFolder.get(), ".Trash", O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (shared.valid() && ::fstat(shared.get(), &st) == 0 && (st.st_mode & S_ISVTX) != 0) {
        Trash trash = openTrash(openTrashFolder(shared.get(), uid, Missing::create), top);
        if (trash.info.valid()) {
            return trash;
        }
    }
    return openTrash(openTrashFolder(topFolder.get(), ".Trash-" + uid, Missing::create), top);
}

// The Trash for an item on `device`: the home Trash when the data home folder (which the user
// chose, and which may lie behind a link) is on that file system, else that file system's own.
Trash openTrashFor(const fs::path& folder, dev_t device) {
    const fs::path dataHome = dataHomeDirectory();
    std::error_code ignored;  // a failure shows when the folder is opened
    fs::create_directories(dataHome, ignored);
    const FileDescriptor home(::open(dataHome.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    struct stat st {};
    if (home.valid() && ::fstat(home.get(), &st) == 0 && st.st_dev == device) {
        return openTrash(openTrashFolder(home.get(), "Trash", Missing::create), {});
    }
    return openTopTrash(folder, device);
}

// A URL path as the Trash's info files record it: every byte but unreserved ones and "/" as %XX.
std::string percentEncoded(const std::string& path) {
    std::string out;
    for (const unsigned char c : path) {
        const bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                                (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_' ||
                                c == '~' || c == '/';
        if (unreserved) {
            out += static_cast<char>(c);
        } else {
            char escaped[4];
            std::snprintf(escaped, sizeof escaped, "%%%02X", c);
            out += escaped;
        }
    }
    return out;
}

std::string trashInfo(const fs::path& original, const fs::path& relativeTo) {
    const fs::path recorded =
        relativeTo.empty() ? original : original.lexically_relative(relativeTo);
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    char date[32] = "";
    if (::localtime_r(&now, &local) != nullptr) {
        std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &local);
    }
    return "[Trash Info]\nPath=" + percentEncoded(recorded) + "\nDeletionDate=" + date + "\n";
}

// "Name.app", then "Name 2.app", "Name 3.app" and so on.
std::string numberedName(const std::string& name, int number) {
    if (number == 1) {
        return name;
    }
    const std::size_t dot = name.rfind('.');
    const std::size_t stemEnd = dot == std::string::npos || dot == 0 ? name.size() : dot;
    return name.substr(0, stemEnd) + " " + std::to_string(number) + name.substr(stemEnd);
}

}  // namespace

fs::path dataHomeDirectory() noexcept {
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg != nullptr && xdg[0] == '/') {
        return xdg;
    }
    return homeDirectoryForCurrentUser() / ".local" / "share";
}

fs::path homeTrashDirectory() noexcept {
    return dataHomeDirectory() / "Trash";
}

fs::path trashDirectory() {
    const fs::path trash = homeTrashDirectory() / "files";
    struct stat st {};
    if (::stat(trash.c_str(), &st) != 0) {
        throwFileError("Nie udało się otworzyć kosza " + quoted(trash), errno, trash);
    }
    if (!S_ISDIR(st.st_mode)) {
        throwFileError("Nie udało się otworzyć kosza " + quoted(trash), ENOTDIR, trash);
    }
    return trash;
}

void trashItem(const fs::path& path) {
    const fs::path item = withoutTrailingSeparator(path);
    const std::string name = item.filename();
    const FileDescriptor folder(
        ::open(item.parent_path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    struct stat st {};
    if (!folder.valid() || ::fstatat(folder.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        throwTrashError(path, errno);
    }
    std::error_code error;
    const fs::path original = fs::canonical(item.parent_path(), error) / name;
    if (error) {
        throwTrashError(path, error.value());
    }
    const Trash trash = openTrashFor(original.parent_path(), st.st_dev);
    if (!trash.info.valid()) {
        throwTrashError(path, errno);
    }
    // The info file comes first: made with O_EXCL, it reserves the name in both folders.
    const std::string info = trashInfo(original, trash.relativeTo);
    for (int number = 1; number <= 1000; ++number) {
        const std::string trashed = numberedName(name, number);
        const std::string infoName = trashed + ".trashinfo";
        const std::error_code written = posix::writeNewFile(trash.info.get(), infoName, info, 0600);
        if (written == std::errc::file_exists) {
            continue;
        }
        if (written) {
            throwTrashError(path, written.value());
        }
        const std::error_code moved =
            posix::renameWithoutReplacing(folder.get(), name, trash.files.get(), trashed);
        if (!moved) {
            return;
        }
        std::ignore = ::unlinkat(trash.info.get(), infoName.c_str(), 0);  // the name stays free
        if (moved != std::errc::file_exists) {
            throwTrashError(path, moved.value());
        }
    }
    throwTrashError(path, EEXIST);
}

}  // namespace files
