#include "installer_view.h"

#include <QFile>
#include <QPromise>
#include <QtConcurrent/QtConcurrentRun>
#include <chrono>
#include <tuple>

#include <qcoro/qcorofuture.h>

#include "application_bundle.h"
#include "failure_line.h"
#include "file_manager.h"
#include "install_engine.h"
#include "install_problem.h"
#include "payload_validator.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// How long the closing question waits for the instances to quit: checks 0.1 s apart, 30 pauses,
// then force-quitting and one last pause for the system to tidy up.
constexpr std::chrono::nanoseconds quitCheckInterval = 100ms;
constexpr int quitChecksBeforeForcing = 30;
constexpr std::chrono::nanoseconds pauseAfterForcing = 500ms;

AlertContent closingQuestion() {
    return {
        .messageText = QStringLiteral("Zamknąć Vantorel, żeby zainstalować nową wersję?"),
        .informativeText = QStringLiteral(
            "Program jest teraz uruchomiony. Zamkniemy go, zainstalujemy aktualizację i otworzymy "
            "ponownie. Twoje ustawienia i licencja zostają."),
        .buttons = {QStringLiteral("Zamknij i zainstaluj"), QStringLiteral("Anuluj")},
    };
}

QString pathText(const fs::path& path) {
    return QFile::decodeName(path.c_str());
}

// The payload's place inside the installer's resource folder.
const fs::path payloadPath = fs::path("Payload") / applicationBundleName;

// Runs the engine on a thread of the pool. The task owns its copies of the two locations and
// hands back the result or the error, unchanged; it shares nothing with the screen.
QFuture<InstallResult> startInstallTask(fs::path source, fs::path directory,
                                        std::stop_token stopWaiting) {
    return QtConcurrent::run(
        [](QPromise<InstallResult>& promise, const fs::path& payload, const fs::path& folder,
           const std::stop_token& stop) {
            try {
                promise.addResult(InstallEngine::install(payload, folder, validatePayload, stop));
            } catch (...) {
                promise.setException(std::current_exception());
            }
        },
        std::move(source), std::move(directory), std::move(stopWaiting));
}

// Checks on a thread of the pool what can be known before anything changes: the folder (see
// requireInstallableFolder), the payload, which the validator reads whole, and the room that its
// copy takes. Ends with the first reason that stops the installation.
QFuture<void> startCheckTask(fs::path source, fs::path directory) {
    return QtConcurrent::run(
        [](QPromise<void>& promise, const fs::path& payload, const fs::path& folder) {
            try {
                requireInstallableFolder(folder);
                validatePayload(payload);
                requireRoomFor(payload, folder);
            } catch (...) {
                promise.setException(std::current_exception());
            }
        },
        std::move(source), std::move(directory));
}

}  // namespace

bool isOldUpdateCopyName(std::string_view name) noexcept {
    if (!name.ends_with(bundleNameSuffix)) {
        return false;
    }
    return name.starts_with(backupNamePrefix) || name == applicationBundleName ||
           name.starts_with(formerProductNamePrefix);
}

InstallerView::InstallerView(std::shared_ptr<InstallerServices> services, QObject* parent)
    : InstallerState(parent), services_(std::move(services)) {}

fs::path InstallerView::destination() const {
    const ApplicationsFolders folders = services_->applicationsFolders();
    return InstallEngine::preferredDirectory(folders.system, folders.user);
}

QString InstallerView::destinationPath() const {
    return pathText(destination());
}

bool InstallerView::applicationExistsAtDestination() const {
    return files::fileExists(destination() / applicationBundleName);
}

void InstallerView::giveUpWaiting() {
    programEnding_.request_stop();
}

void InstallerView::startInstall() {
    if (busy()) {
        return;
    }
    // The task runs on by itself; nobody waits for it. It sets busy before it first suspends.
    std::ignore = install();
}

QCoro::Task<> InstallerView::install() {
    setBusy(true);
    setMessage({});
    try {
        co_await installAndLaunch();
    } catch (const InstallEngine::Cancelled&) {
        setBusy(false);  // the program is ending: nothing was installed, nothing to report
    } catch (const std::exception& error) {
        reportFailure(error.what());
    } catch (...) {
        reportFailure("Wystąpił nieoczekiwany błąd.");
    }
}

QCoro::Task<> InstallerView::installAndLaunch() {
    if (const auto installed = installedLocation()) {
        // Installed earlier in this run: only that copy is started again.
        co_await launch(*installed);
        setInstalled(true);
        setBusy(false);
        co_return;
    }

    // A running copy is closed only for an installation that can happen as far as can be known.
    const auto resources = services_->resourceFolder();
    if (!resources) {
        throw InstallEngine::Failure(InstallEngine::Failure::invalidPayload);
    }
    const fs::path payload = *resources / payloadPath;
    const fs::path directory = destination();
    co_await startCheckTask(payload, directory);

    auto running = services_->runningApplications(applicationBundleIdentifier);
    if (!running.empty() && !co_await zapytajIZamknij(std::move(running))) {
        setBusy(false);  // declined: nothing happened, nothing to report
        co_return;
    }

    // The engine checks the folder again: the world may have changed during the question.
    const InstallResult result =
        co_await startInstallTask(payload, directory, programEnding_.get_token());

    // Recorded before the start, so that a failed start leaves the next press only starting it.
    setInstalledLocation(result.app);
    co_await launch(result.app);
    setInstalled(true);

    // Tidying up only after the new copy runs: a failed start keeps the replaced copy on disk.
    if (result.backup) {
        wyrejestrujZSystemu(*result.backup);
        try {
            files::removeItem(*result.backup);
        } catch (const std::exception&) {
            // It stays; the next installation into this folder removes it.
        }
    }
    naprawKopiePoStarychAktualizacjach();
    setBusy(false);
}

void InstallerView::reportFailure(const std::string& reason) {
    setMessage(
        failureLine(installedLocation() ? FailedStage::launch : FailedStage::install, reason));
    setBusy(false);
}

QCoro::Task<> InstallerView::launch(fs::path bundle) {
    // As the system does when it opens a bundle: the copy that runs is the one the menus offer.
    services_->registerApplication(bundle);
    OpenConfiguration configuration;
    configuration.activates = true;
    co_await services_->openApplication(std::move(bundle), configuration);
}

QCoro::Task<bool> InstallerView::zapytajIZamknij(std::vector<RunningApplication> running) {
    if (services_->runModalAlert(closingQuestion()) != alertFirstButtonReturn) {
        co_return false;
    }
    for (const RunningApplication& application : running) {
        services_->terminate(application);
    }
    if (services_->runningApplications(applicationBundleIdentifier).empty()) {
        co_return true;
    }
    for (int pauses = 1;; ++pauses) {
        co_await pauseIgnoringCancellation(quitCheckInterval);
        if (pauses == quitChecksBeforeForcing) {
            break;
        }
        if (services_->runningApplications(applicationBundleIdentifier).empty()) {
            co_return true;
        }
    }
    // Asked afresh: an instance started during the wait is force-quit too.
    for (const RunningApplication& application :
         services_->runningApplications(applicationBundleIdentifier)) {
        services_->forceTerminate(application);
    }
    co_await pauseIgnoringCancellation(pauseAfterForcing);
    co_return true;
}

QCoro::Task<> InstallerView::pauseIgnoringCancellation(std::chrono::nanoseconds duration) {
    try {
        co_await services_->pause(duration);
    } catch (const PauseCancelled&) {
        // A cut-short pause counts as passed: the sequence goes on at once.
    }
}

void InstallerView::wyrejestrujZSystemu(const fs::path& bundle) {
    services_->unregisterApplication(bundle);
}

void InstallerView::naprawKopiePoStarychAktualizacjach() {
    std::optional<fs::path> trash;
    try {
        trash = services_->trashFolder();
        for (const std::string& name : files::contentsOfDirectory(*trash)) {
            // The name decides first, so that unrelated entries cost no file-system query.
            if (!isOldUpdateCopyName(name)) {
                continue;
            }
            const fs::path location = *trash / name;
            if (isApplicationBundle(location)) {
                wyrejestrujZSystemu(location);
            }
        }
    } catch (const std::exception&) {
        // No Trash to look at: no copies there to unregister.
    }
    // Registrations that outlived their copy: it went to the Trash, or its folder holds no copy
    // of the application any more. The copy installed in this run keeps its registration.
    for (const fs::path& folder : services_->registeredApplications()) {
        if (folder == installedLocation()) {
            continue;
        }
        if ((trash && files::isWithinFolder(folder, *trash)) || !isApplicationBundle(folder)) {
            wyrejestrujZSystemu(folder);
        }
    }
}
