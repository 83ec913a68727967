#include "readable_error.h"

#include <cstring>

namespace testsupport {

bool isReadableFileError(const QString& text, int errorNumber, const std::filesystem::path& item) {
    const QString quoted = QString::fromUtf8("„%1”").arg(QString::fromStdString(item.string()));
    return text.startsWith(QString::fromUtf8("Nie udało się")) && text.endsWith('.') &&
           text.contains(QString::fromLocal8Bit(std::strerror(errorNumber))) &&
           (item.empty() || text.contains(quoted)) && !text.contains("filesystem") &&
           !text.contains("std::");
}

}  // namespace testsupport
