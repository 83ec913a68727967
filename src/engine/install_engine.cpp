#include "install_engine.h"

#include <QUuid>
#include <cerrno>
#include <chrono>
#include <string>
#include <tuple>
#include <utility>

#include "abandoned_copies.h"
#include "application_bundle.h"
#include "flush.h"
#include "folder_lock.h"
#include "install_problem.h"

namespace fs = std::filesystem;

const char* InstallEngine::Failure::what() const noexcept {
    switch (case_) {
        case invalidPayload:
            return "Pliki instalatora są niekompletne lub uszkodzone. Pobierz instalator ponownie.";
        case unsafeDestination:
            return "W miejscu instalacji jest inny plik lub dowiązanie. Wybierz prawidłowy folder "
                   "aplikacji.";
    }
    return "";
}

const char* InstallEngine::Cancelled::what() const noexcept {
    return "Instalacja została przerwana, zanim cokolwiek zmieniła.";
}

namespace {

// True when an item named "Vantorel.app" claims the folder: it exists (links followed), or it is
// a symbolic link whose destination is missing.
bool holdsApplication(const fs::path& folder) noexcept {
    const fs::path probe = folder / applicationBundleName;
    if (files::fileExists(probe)) {
        return true;
    }
    try {
        return files::resourceValues(probe).isSymbolicLink == true;
    } catch (const files::FileError&) {
        return false;  // nothing that can be queried is there
    }
}

}  // namespace

fs::path InstallEngine::preferredDirectory(const fs::path& system, const fs::path& user,
                                           std::function<bool(const std::string&)> isWritable) {
    for (const fs::path* candidate : {&system, &user}) {
        if (holdsApplication(*candidate)) {
            return *candidate;
        }
    }
    return isWritable(system.string()) ? system : user;
}

namespace {

// A fresh random UUID in its 36-character upper-case textual form.
std::string uuidText() {
    return QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper().toStdString();
}

fs::path hiddenBundleName(std::string_view prefix) {
    return std::string(prefix) + uuidText() + std::string(bundleNameSuffix);
}

// Throws unless the item at `target` is a copy of this application. A query that fails is passed on
// as it is; anything that is not the application (a link, whatever it points to, a file, another
// bundle) is an unsafe destination.
void requireInstalledCopy(const fs::path& target) {
    std::ignore = files::resourceValues(target);
    if (!isApplicationBundle(target)) {
        throw InstallEngine::Failure(InstallEngine::Failure::unsafeDestination);
    }
}

// A copy of the application under the product's former name goes to the Trash; anything else of
// that name stays. Best effort: a failing Trash move leaves the copy where it is.
void trashFormerNameCopy(const fs::path& directory) noexcept {
    try {
        const fs::path former = directory / formerApplicationBundleName;
        if (files::fileExists(former) && isApplicationBundle(former)) {
            files::trashItem(former);
        }
    } catch (...) {  // the copy stays; the installation goes on
    }
}

// Removes the staging copy when it goes out of scope, whichever way the installation ends: after a
// successful final rename nothing is there any more, and a failing removal must never replace the
// result or the error on its way out.
class StagingCleanup {
public:
    explicit StagingCleanup(fs::path staging) : staging_(std::move(staging)) {}
    StagingCleanup(const StagingCleanup&) = delete;
    StagingCleanup& operator=(const StagingCleanup&) = delete;
    ~StagingCleanup() {
        try {
            files::removeItem(staging_);
        } catch (...) {  // nothing there, or it cannot be removed: either way, not our error
        }
    }

private:
    fs::path staging_;
};

// How long an installation waits for another one in the same folder to end. Installing a large
// application on a slow disk takes seconds, not minutes; what holds the folder longer is stuck.
constexpr std::chrono::seconds patienceWithOtherInstallation{30};

// One installation at a time per folder: the others wait their turn. A wait that runs out or is
// given up ends the installation before it has changed anything; where the folder offers no lock,
// the installation goes on without.
LockHeld takeTurn(const files::FolderLock& folder, const fs::path& directory) {
    switch (folder.state()) {
        case files::FolderLock::State::held:
            return LockHeld::yes;
        case files::FolderLock::State::unavailable:
            return LockHeld::no;
        case files::FolderLock::State::busy:
            throw InstallProblem(InstallProblem::Reason::anotherInstallation, directory);
        case files::FolderLock::State::stopped:
            break;
    }
    throw InstallEngine::Cancelled();
}

// The installation itself; its file errors are told in the user's words by install().
InstallResult installExplainingNothing(const fs::path& source, const fs::path& directory,
                                       const InstallEngine::Validator& validate,
                                       std::stop_token stopWaiting) {
    validate(source);
    // Nothing is made before what can be known is checked: root in another user's folder, a
    // read-only or noexec file system (where the staging copy would fail validation as if the
    // payload were damaged), a link or another item at the target.
    requireInstallableFolder(directory);
    files::createDirectory(directory);
    const files::FolderLock folder(directory, patienceWithOtherInstallation,
                                   std::move(stopWaiting));
    const LockHeld lock = takeTurn(folder, directory);

    const fs::path target = directory / applicationBundleName;
    restoreStrandedBackup(directory);
    if (files::itemExists(target)) {
        requireInstalledCopy(target);
    }
    removeAbandonedCopies(directory, lock);

    const fs::path staging = directory / hiddenBundleName(stagingNamePrefix);
    const fs::path backup = directory / hiddenBundleName(backupNamePrefix);
    const StagingCleanup cleanup(staging);

    files::copyItem(source, staging);
    // The renames below must never reach the disk before the tree they put in place. One flush of
    // the file system costs less than flushing each of its thousands of files; the folder's handle
    // was opened before the copy, so a write-back failure during the copy is reported here too.
    files::flushFileSystem(folder.fd(), staging);
    validate(staging);

    // The target is looked at again: the copy takes a while, and whatever is there now is what
    // gets moved aside and handed back to the caller, who deletes it. So it must still be a copy
    // of the application.
    const bool hadEarlierCopy = files::itemExists(target);
    if (hadEarlierCopy) {
        requireInstalledCopy(target);
        files::moveItem(target, backup);
    }
    trashFormerNameCopy(directory);

    try {
        if (hadEarlierCopy) {
            files::flushFolder(folder.fd(), directory);
        }
        files::moveItem(staging, target);
    } catch (...) {
        if (hadEarlierCopy) {
            files::moveItem(backup, target);  // a failing rollback throws its own error instead
        }
        throw;
    }
    // Only now does the installation count: the caller deletes the backup once this returns.
    files::flushFolder(folder.fd(), directory);
    return {target, hadEarlierCopy ? std::optional(backup) : std::nullopt};
}

}  // namespace

InstallResult InstallEngine::install(const fs::path& source, const fs::path& directory,
                                     const Validator& validate) {
    return install(source, directory, validate, {});
}

InstallResult InstallEngine::install(const fs::path& source, const fs::path& directory,
                                     const Validator& validate, std::stop_token stopWaiting) {
    try {
        return installExplainingNothing(source, directory, validate, std::move(stopWaiting));
    } catch (const files::FileError& error) {
        throw explainedFileError(error, source, directory);
    }
}
