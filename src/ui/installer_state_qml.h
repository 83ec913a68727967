#pragma once

#include <QtQml/qqml.h>
#include <QObject>

#include "installer_state.h"

// The installer state as a QML type, so that the screen's `view` property has that type and the
// QML compiler checks every property the screen reads from it.
struct InstallerStateQmlType {
    Q_GADGET
    QML_FOREIGN(InstallerState)
    QML_NAMED_ELEMENT(InstallerState)
    QML_UNCREATABLE("The installer state is made by the program, not by the screen.")
};
