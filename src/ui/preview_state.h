#pragma once

#include <QObject>
#include <QString>
#include <optional>
#include <string_view>

// A stand-in for the installer state with the same properties as the real one, set to one phase
// of the screen. It shows the screen without running an installation: startInstall() pretends to
// work for a moment and then reports success.
class PreviewState : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool busy READ busy NOTIFY busyChanged)
    Q_PROPERTY(bool installed READ installed NOTIFY installedChanged)
    Q_PROPERTY(QString message READ message NOTIFY messageChanged)
    Q_PROPERTY(QString installedURL READ installedURL NOTIFY installedURLChanged)
    Q_PROPERTY(QString destinationPath READ destinationPath NOTIFY stateChanged)
    Q_PROPERTY(
        bool applicationExistsAtDestination READ applicationExistsAtDestination NOTIFY stateChanged)

public:
    enum class Phase { ready, reinstall, working, failed, installedNotLaunched, done };

    // The phase for its name ("ready", "reinstall", "working", "failed",
    // "installed-not-launched", "done").
    static std::optional<Phase> phaseNamed(std::string_view name);
    static QStringList phaseNames();

    PreviewState(Phase phase, QString destinationPath, QObject* parent = nullptr);

    bool busy() const { return busy_; }
    bool installed() const { return installed_; }
    QString message() const { return message_; }
    QString installedURL() const { return installedURL_; }
    QString destinationPath() const { return destinationPath_; }
    bool applicationExistsAtDestination() const { return exists_; }

    Q_INVOKABLE void startInstall();

signals:
    void busyChanged();
    void installedChanged();
    void messageChanged();
    void installedURLChanged();
    void stateChanged();

private:
    void setBusy(bool busy);
    void setInstalled(bool installed);

    QString destinationPath_;
    bool busy_ = false;
    bool installed_ = false;
    QString message_;
    QString installedURL_;
    bool exists_ = false;
};
