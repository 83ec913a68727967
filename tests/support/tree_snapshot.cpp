#include "tree_snapshot.h"

#include <sys/stat.h>

#include <QCryptographicHash>

#include "bundle_factory.h"

namespace fs = std::filesystem;

namespace testsupport {

namespace {

QString describe(const fs::path& item, const QString& name) {
    struct stat st {};
    if (::lstat(item.c_str(), &st) != 0) {
        return name + ": <vanished>";
    }
    QString line = name + ": " + QString::number(st.st_mode, 8);
    if (S_ISLNK(st.st_mode)) {
        line += " -> " + QString::fromStdString(fs::read_symlink(item).string());
    } else if (S_ISREG(st.st_mode)) {
        const QByteArray bytes = QByteArray::fromStdString(readFile(item));
        line += " " + QString::number(st.st_size) + " " +
                QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
    }
    return line;
}

}  // namespace

QStringList snapshotOf(const fs::path& location) {
    std::error_code error;
    const fs::file_status status = fs::symlink_status(location, error);
    if (error || !fs::exists(status)) {
        return {"<absent>"};
    }
    QStringList lines{describe(location, ".")};
    if (fs::is_directory(status)) {
        for (auto it = fs::recursive_directory_iterator(location);
             it != fs::recursive_directory_iterator(); ++it) {
            lines << describe(it->path(), QString::fromStdString(
                                              it->path().lexically_relative(location).string()));
        }
    }
    lines.sort();
    return lines;
}

}  // namespace testsupport
