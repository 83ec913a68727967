#pragma once

#include <QObject>
#include <QString>
#include <filesystem>
#include <optional>

// The installer state as the screen reads it: the four fields that the install action writes,
// the two values derived from the destination folder, the phase that all of them make together,
// and the main button's action. The installer view, the preview's stand-in and the tests' fake
// derive from it, so the screen sees one type. Lives on the main thread. Each field announces its
// own changes; the derived values are looked at afresh after every change of a field, and
// announced when they differ from what was announced last.
class InstallerState : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool busy READ busy NOTIFY busyChanged FINAL)
    Q_PROPERTY(bool installed READ installed NOTIFY installedChanged FINAL)
    Q_PROPERTY(QString message READ message NOTIFY messageChanged FINAL)
    Q_PROPERTY(QString installedURL READ installedURL NOTIFY installedURLChanged FINAL)
    Q_PROPERTY(QString destinationPath READ destinationPath NOTIFY destinationPathChanged FINAL)
    Q_PROPERTY(Phase phase READ phase NOTIFY phaseChanged FINAL)

public:
    // What the screen shows. "An item at the destination" is anything named "Vantorel.app" in the
    // destination folder; the copy is the one installed in this run. Capitalised, as QML needs.
    enum class Phase {
        FirstInstall,          // nothing done yet (or the user declined closing), no item there
        Reinstall,             // the same, with an item at the destination
        Failed,                // the last action failed before a copy was made; no item there
        FailedReinstall,       // the same, with an item at the destination
        Installing,            // the action runs and has made no copy yet; no item there
        Reinstalling,          // the same, with an item at the destination
        Launching,             // the action runs and starts the copy
        LaunchingGoneCopy,     // the same, but no item is at the destination any more
        InstalledNotLaunched,  // the copy did not start
        InstalledCopyGone,     // the same, but no item is at the destination any more
        Done,                  // the application was started in this run
    };
    Q_ENUM(Phase)

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

    // The phase as of the last change of a field (or the first call): the destination is looked
    // at then, and only while `installed` is false.
    Phase phase() const;

    // The main button's action unless it reads "Zamknij instalator": starts the install action as
    // a task of its own and returns at once.
    Q_INVOKABLE virtual void startInstall() = 0;

    // The program is ending: an install action that is waiting for another installation in the
    // same folder gives up at once and installs nothing. Work already under way is finished.
    virtual void giveUpWaiting() {}

signals:
    void busyChanged();
    void installedChanged();
    void messageChanged();
    void installedURLChanged();
    void destinationPathChanged();
    void phaseChanged();

protected:
    explicit InstallerState(QObject* parent = nullptr) : QObject(parent) {}

    void setBusy(bool busy);
    void setInstalled(bool installed);
    void setMessage(QString message);
    void setInstalledLocation(std::filesystem::path location);

    // Looks at the destination and the phase afresh and announces what changed. Every setter
    // above ends here; a derived state calls it when the destination changed by itself.
    void lookAgain();

private:
    Phase currentPhase() const;

    bool busy_ = false;
    bool installed_ = false;
    QString message_;
    std::optional<std::filesystem::path> installedLocation_;
    // What was announced last; nothing before the first look.
    mutable std::optional<Phase> announcedPhase_;
    std::optional<QString> announcedDestination_;
};
