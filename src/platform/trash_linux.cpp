// The current user's Trash: the home Trash of the freedesktop.org layout.

#include <sys/stat.h>

#include <QFile>
#include <QStandardPaths>
#include <QString>
#include <cerrno>
#include <cstdlib>

#include "file_manager.h"

namespace files {

namespace {

bool existsWithoutFollowing(const fs::path& path) {
    struct stat st {};
    return ::lstat(withoutTrailingSeparator(path).c_str(), &st) == 0;
}

bool isSameFolder(const fs::path& a, const fs::path& b) {
    return withoutTrailingSeparator(a.lexically_normal()) ==
           withoutTrailingSeparator(b.lexically_normal());
}

[[noreturn]] void throwTrashError(const fs::path& item, int errorNumber) {
    throwFileError("Nie udało się przenieść " + quoted(item) + " do kosza", errorNumber);
}

// Makes sure that the home Trash and its two folders exist, private to the user, and throws when
// they cannot be made. QFile::moveToTrash falls back to the home Trash when no Trash on the item's
// own file system can be used, and when that one cannot be made either it renames the item into
// "files/" under the current working folder and reports success. It finds the home Trash on its
// own, in the data folder that Qt names, which must be ours: Qt takes a relative $XDG_DATA_HOME
// as it is.
void requireHomeTrash(const fs::path& item) {
    const fs::path trash = homeTrashDirectory();
    const fs::path qtDataHome =
        QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation).toStdString();
    if (!isSameFolder(qtDataHome, trash.parent_path())) {
        throwTrashError(item, EINVAL);
    }
    std::error_code error;
    fs::create_directories(trash.parent_path(), error);
    if (error) {
        throwTrashError(item, error.value());
    }
    for (const fs::path& folder : {trash, trash / "files", trash / "info"}) {
        struct stat st {};
        if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
            throwTrashError(item, errno);
        }
        if (::stat(folder.c_str(), &st) != 0) {
            throwTrashError(item, errno);
        }
        if (!S_ISDIR(st.st_mode)) {
            throwTrashError(item, ENOTDIR);
        }
    }
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
        throwFileError("Nie udało się otworzyć kosza " + quoted(trash), errno);
    }
    if (!S_ISDIR(st.st_mode)) {
        throwFileError("Nie udało się otworzyć kosza " + quoted(trash), ENOTDIR);
    }
    return trash;
}

void trashItem(const fs::path& path) {
    if (!existsWithoutFollowing(path)) {
        throwTrashError(path, errno);
    }
    requireHomeTrash(path);
    QFile item(QString::fromStdString(path.string()));
    if (!item.moveToTrash()) {
        if (!existsWithoutFollowing(path)) {
            throwTrashError(path, ENOENT);
        }
        throw FileError("Nie udało się przenieść " + quoted(path) +
                            " do kosza: " + item.errorString().toStdString() + ".",
                        EIO);
    }
}

}  // namespace files
