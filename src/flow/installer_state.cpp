#include "installer_state.h"

#include <QFile>

QString InstallerState::installedURL() const {
    return installedLocation_ ? QFile::decodeName(installedLocation_->c_str()) : QString();
}

// The first row that holds wins. The clean-up after a successful start does not pause, so the
// screen never shows `installed` while `busy`; and only a failed start, which sets the message,
// leaves a copy without the action running and without `installed`.
InstallerState::Phase InstallerState::currentPhase() const {
    if (installed_) {
        return Phase::Done;
    }
    const bool occupied = applicationExistsAtDestination();
    const auto byDestination = [occupied](Phase noItem, Phase item) {
        return occupied ? item : noItem;
    };
    const bool copied = installedLocation_.has_value();
    if (busy_ && copied) {
        return byDestination(Phase::LaunchingGoneCopy, Phase::Launching);
    }
    if (busy_) {
        return byDestination(Phase::Installing, Phase::Reinstalling);
    }
    if (copied) {
        return byDestination(Phase::InstalledCopyGone, Phase::InstalledNotLaunched);
    }
    if (!message_.isEmpty()) {
        return byDestination(Phase::Failed, Phase::FailedReinstall);
    }
    return byDestination(Phase::FirstInstall, Phase::Reinstall);
}

InstallerState::Phase InstallerState::phase() const {
    if (!announcedPhase_) {
        announcedPhase_ = currentPhase();
    }
    return *announcedPhase_;
}

void InstallerState::lookAgain() {
    if (!installed_) {  // the destination is not shown then, nor looked at
        const QString destination = destinationPath();
        if (announcedDestination_ != destination) {
            announcedDestination_ = destination;
            emit destinationPathChanged();
        }
    }
    const Phase now = currentPhase();
    if (announcedPhase_ != now) {
        announcedPhase_ = now;
        emit phaseChanged();
    }
}

void InstallerState::setBusy(bool busy) {
    if (busy_ != busy) {
        busy_ = busy;
        emit busyChanged();
        lookAgain();
    }
}

void InstallerState::setInstalled(bool installed) {
    if (installed_ != installed) {
        installed_ = installed;
        emit installedChanged();
        lookAgain();
    }
}

void InstallerState::setMessage(QString message) {
    if (message_ != message) {
        message_ = std::move(message);
        emit messageChanged();
        lookAgain();
    }
}

void InstallerState::setInstalledLocation(std::filesystem::path location) {
    if (installedLocation_ != location) {
        installedLocation_ = std::move(location);
        emit installedURLChanged();
        lookAgain();
    }
}
