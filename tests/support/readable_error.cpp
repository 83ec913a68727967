#include "readable_error.h"

#include <QFont>
#include <QFontMetrics>
#include <cmath>

namespace testsupport {

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
