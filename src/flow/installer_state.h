#pragma once

#include <QObject>
#include <QString>
#include <filesystem>
#include <optional>

// The installer state as the screen reads it: the four fields that the install action writes,
// the two values derived from the destination folder, and the main button's action. The installer
// view, the preview's stand-in and the tests' fake derive from it, so the screen sees one type.
// Lives on the main thread; every change of a field emits stateChanged once.
class InstallerState : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool busy READ busy NOTIFY stateChanged FINAL)
    Q_PROPERTY(bool installed READ installed NOTIFY stateChanged FINAL)
    Q_PROPERTY(QString message READ message NOTIFY stateChanged FINAL)
    Q_PROPERTY(QString installedURL READ installedURL NOTIFY stateChanged FINAL)
    Q_PROPERTY(QString destinationPath READ destinationPath NOTIFY stateChanged FINAL)
    Q_PROPERTY(bool applicationExistsAtDestination READ applicationExistsAtDestination NOTIFY
                   stateChanged FINAL)

public:
    bool busy() const noexcept { return busy_; }
    bool installed() const noexcept { return installed_; }
    QString message() const { return message_; }
    // The installed bundle's path, "" while there is none.
    QString installedURL() const;
    const std::optional<std::filesystem::path>& installedLocation() const noexcept {
        return installedLocation_;
    }

    // The path of the applications folder to install into.
    virtual QString destinationPath() const = 0;
    // Whether any item named "Vantorel.app" is in that folder.
    virtual bool applicationExistsAtDestination() const = 0;

    // The main button's action unless it reads "Zamknij instalator": starts the install action as
    // a task of its own and returns at once.
    Q_INVOKABLE virtual void startInstall() = 0;

    // The program is ending: an install action that is waiting for another installation in the
    // same folder gives up at once and installs nothing. Work already under way is finished.
    virtual void giveUpWaiting() {}

signals:
    void stateChanged();

protected:
    explicit InstallerState(QObject* parent = nullptr) : QObject(parent) {}

    void setBusy(bool busy);
    void setInstalled(bool installed);
    void setMessage(QString message);
    void setInstalledLocation(std::filesystem::path location);

private:
    bool busy_ = false;
    bool installed_ = false;
    QString message_;
    std::optional<std::filesystem::path> installedLocation_;
};
