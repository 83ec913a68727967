#pragma once

#include <QString>

namespace testsupport {

// True for a sentence that the user may read about an installation: it ends with a full stop and
// names no hidden staging or backup copy, no bundle or item inside one, and no C++ names.
bool isUserSentence(const QString& text);

// The lines that a failure line takes on the installer screen: the message line is 448 pixels
// wide in the 520-pixel window, in the default font at 13 pixels, wrapped at word boundaries.
// Needs a QGuiApplication.
int messageLines(const QString& text);

}  // namespace testsupport
