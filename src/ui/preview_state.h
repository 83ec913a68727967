#pragma once

#include <QString>
#include <QStringList>
#include <filesystem>
#include <optional>
#include <string_view>

#include "installer_state.h"

// A stand-in for the installer state, set to one phase of the screen. It shows the screen without
// running an installation: startInstall() pretends to work for a moment and then reports success.
// A failure line is the one the install action would show for an error of the kind named, made by
// the code that makes such errors.
class PreviewState : public InstallerState {
    Q_OBJECT

public:
    // The phase for its name ("ready", "reinstall", "working", "failed", …; see phaseNames()).
    static std::optional<Phase> phaseNamed(std::string_view name);
    static QStringList phaseNames();

    PreviewState(Phase phase, QString destinationPath, QObject* parent = nullptr);

    QString destinationPath() const override { return destinationPath_; }
    bool applicationExistsAtDestination() const override { return exists_; }
    void startInstall() override;

private:
    std::filesystem::path installedPath() const;

    QString destinationPath_;
    bool exists_ = false;
};
