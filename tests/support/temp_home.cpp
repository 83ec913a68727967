#include "temp_home.h"

#include <sys/mount.h>

#include <QtGlobal>
#include <cerrno>
#include <cstring>
#include <string>

namespace fs = std::filesystem;

namespace testsupport {

fs::path pathOf(const QTemporaryDir& dir) {
    return fs::path(dir.path().toStdString());
}

TempHome::TempHome(const QString& pattern)
    : dir_(pattern.isEmpty() ? QTemporaryDir() : QTemporaryDir(pattern)),
      oldHome_(qgetenv("HOME")),
      oldDataHome_(qgetenv("XDG_DATA_HOME")) {
    qputenv("HOME", dir_.path().toLocal8Bit());
    qputenv("XDG_DATA_HOME", (dir_.path() + "/.local/share").toLocal8Bit());
    fs::create_directories(trashFiles());
    fs::create_directories(path() / ".local" / "share" / "Trash" / "info");
}

TempHome::~TempHome() {
    qputenv("HOME", oldHome_);
    if (oldDataHome_.isNull()) {
        qunsetenv("XDG_DATA_HOME");
    } else {
        qputenv("XDG_DATA_HOME", oldDataHome_);
    }
}

fs::path TempHome::path() const {
    return pathOf(dir_);
}

fs::path TempHome::trashFiles() const {
    return path() / ".local" / "share" / "Trash" / "files";
}

TmpfsMount::TmpfsMount(const fs::path& where, std::size_t sizeBytes, Access access)
    : where_(where) {
    fs::create_directories(where);
    const std::string options = "size=" + std::to_string(sizeBytes) + ",mode=0755";
    const unsigned long flags = access == Access::readOnly     ? MS_RDONLY
                                : access == Access::noPrograms ? MS_NOEXEC
                                                               : 0;
    if (::mount("tmpfs", where.c_str(), "tmpfs", flags, options.c_str()) == 0) {
        mounted_ = true;
    } else {
        whyNot_ = "cannot mount a tmpfs here (" + QByteArray(std::strerror(errno)) +
                  "); needs root in a mount namespace that permits it";
    }
}

TmpfsMount::~TmpfsMount() {
    if (mounted_) {
        ::umount2(where_.c_str(), MNT_DETACH);
    }
}

}  // namespace testsupport
