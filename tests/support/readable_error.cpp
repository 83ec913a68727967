#include "readable_error.h"

#include <QFont>
#include <QFontMetrics>
#include <cmath>
#include <cstring>

namespace testsupport {

bool isReadableFileError(const QString& text, int errorNumber, const std::filesystem::path& item) {
    const QString quoted = QString::fromUtf8("„%1”").arg(QString::fromStdString(item.string()));
    return text.startsWith(QString::fromUtf8("Nie udało się")) && text.endsWith('.') &&
           text.contains(QString::fromLocal8Bit(std::strerror(errorNumber))) &&
           (item.empty() || text.contains(quoted)) && !text.contains("filesystem") &&
           !text.contains("std::");
}

bool isUserSentence(const QString& text) {
    return text.endsWith('.') && !text.contains(".Vantorel-") && !text.contains(".app") &&
           !text.contains("filesystem") && !text.contains("std::");
}

int messageLines(const QString& text) {
    QFont font;
    font.setPixelSize(13);
    const QFontMetrics metrics(font);
    const QRect bounds = metrics.boundingRect(QRect(0, 0, 448, 1 << 20), Qt::TextWordWrap, text);
    return int(std::lround(double(bounds.height()) / metrics.lineSpacing()));
}

}  // namespace testsupport
