#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <stop_token>
#include <vector>

#include <qcoro/qcorotask.h>

#include "installer_services.h"
#include "installer_state.h"
#include "running_applications.h"

// The installer's state and the operations behind the screen's one button. Lives on the main
// thread; every operation runs there between its suspension points, and only the install action
// writes the state.
class InstallerView : public InstallerState {
    Q_OBJECT

public:
    explicit InstallerView(
        std::shared_ptr<InstallerServices> services = std::make_shared<SystemServices>(),
        QObject* parent = nullptr);

    // The applications folder to install into, probed afresh on every call.
    std::filesystem::path destination() const;
    QString destinationPath() const override;
    // Whether any item named "Vantorel.app" is in the destination folder (links followed).
    bool applicationExistsAtDestination() const override;

    // Starts the install action as a task of its own and returns at once. A press while an action
    // runs starts nothing.
    void startInstall() override;
    void giveUpWaiting() override;

    // The install action: checks the destination and the payload, closes a running copy (after
    // asking), installs the payload into the destination, starts it and tidies up; a failing check
    // ends it before the question, with no running copy touched. Once a copy was installed in this
    // run, it only starts that copy again. Every outcome ends in the four state fields; never
    // throws.
    QCoro::Task<> install();

    // Registers the application bundle with the desktop, starts it and returns once the start was
    // reported; throws the reported error unchanged.
    QCoro::Task<> launch(std::filesystem::path bundle);

    // Asks the user whether the running instances may be closed; on consent quits them, waits up
    // to 3 s for them to end, force-quits what is left and returns true. False when the user
    // declined; nothing was sent to any instance then.
    QCoro::Task<bool> zapytajIZamknij(std::vector<RunningApplication> running);

    // Removes the bundle's registration with the desktop's database of applications, waiting for
    // it to be done; reports nothing.
    void wyrejestrujZSystemu(const std::filesystem::path& bundle);

    // Unregisters every copy of the application that older updates left in the user's Trash, and
    // every registration whose folder is in the Trash or no longer holds the application (except
    // the copy installed in this run). Moves and deletes no copy; reports nothing.
    void naprawKopiePoStarychAktualizacjach();

private:
    QCoro::Task<> installAndLaunch();
    void reportFailure(const std::string& reason);
    QCoro::Task<> pauseIgnoringCancellation(std::chrono::nanoseconds duration);

    std::shared_ptr<InstallerServices> services_;
    // Requested once the program ends, so that an installation waiting for another one gives up.
    std::stop_source programEnding_;
};

// True for Trash entry names under which older updates left copies of the application: the name
// ends with ".app" and is a backup name, the application's own name, or begins with the former
// product name.
bool isOldUpdateCopyName(std::string_view name) noexcept;
