#include "installer_state.h"

#include <QFile>

QString InstallerState::installedURL() const {
    return installedLocation_ ? QFile::decodeName(installedLocation_->c_str()) : QString();
}

void InstallerState::setBusy(bool busy) {
    if (busy_ != busy) {
        busy_ = busy;
        emit stateChanged();
    }
}

void InstallerState::setInstalled(bool installed) {
    if (installed_ != installed) {
        installed_ = installed;
        emit stateChanged();
    }
}

void InstallerState::setMessage(QString message) {
    if (message_ != message) {
        message_ = std::move(message);
        emit stateChanged();
    }
}

void InstallerState::setInstalledLocation(std::filesystem::path location) {
    if (installedLocation_ != location) {
        installedLocation_ = std::move(location);
        emit stateChanged();
    }
}
