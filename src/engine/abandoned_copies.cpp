#include "abandoned_copies.h"

#include <algorithm>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "application_bundle.h"
#include "file_manager.h"
#include "folder_lock.h"
#include "install_engine.h"
#include "status_change.h"

namespace fs = std::filesystem;

namespace {

bool isUuidText(std::string_view text) noexcept {
    constexpr std::string_view shape = "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX";
    return text.size() == shape.size() &&
           std::equal(shape.begin(), shape.end(), text.begin(), [](char want, char c) {
               return want == '-' ? c == '-' : (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
           });
}

// Any ".Vantorel-previous-*.app": such a name is removed when it holds a copy of the application.
bool isBackupName(std::string_view name) noexcept {
    return name.starts_with(backupNamePrefix) && name.ends_with(bundleNameSuffix);
}

// A folder itself, not a link to one.
bool isRealFolder(const fs::path& location) noexcept {
    try {
        const files::ResourceValues values = files::resourceValues(location);
        return values.isSymbolicLink != true && values.isDirectory == true;
    } catch (const files::FileError&) {
        return false;
    }
}

bool isAbandoned(const fs::path& directory, const std::string& name, LockHeld lock) noexcept {
    if (lock == LockHeld::yes && isHiddenCopyName(name)) {
        return isRealFolder(directory / name);  // possibly half-written: no bundle test
    }
    return isBackupName(name) && isApplicationBundle(directory / name);
}

}  // namespace

bool isHiddenCopyName(std::string_view name) noexcept {
    for (const std::string_view prefix : {stagingNamePrefix, backupNamePrefix}) {
        if (name.starts_with(prefix) && name.ends_with(bundleNameSuffix)) {
            name.remove_prefix(prefix.size());
            name.remove_suffix(bundleNameSuffix.size());
            return isUuidText(name);
        }
    }
    return false;
}

void removeAbandonedCopies(const fs::path& directory, LockHeld lock) noexcept {
    try {
        for (const std::string& name : files::contentsOfDirectory(directory)) {
            if (!isAbandoned(directory, name, lock)) {
                continue;
            }
            try {
                files::removeItem(directory / name);
            } catch (const std::exception&) {  // it stays; the other candidates still go
            }
        }
    } catch (...) {  // the folder is missing or cannot be listed: nothing to do
    }
}

void restoreStrandedBackup(const fs::path& directory) {
    const fs::path target = directory / applicationBundleName;
    if (files::itemExists(target)) {  // a link there too: the move could not put a copy there
        return;
    }
    std::vector<std::string> names;
    try {
        names = files::contentsOfDirectory(directory);
    } catch (const files::FileError&) {
        return;
    }
    std::optional<fs::path> newest;
    std::chrono::nanoseconds newestRename{};
    for (const std::string& name : names) {
        const fs::path candidate = directory / name;
        if (!isBackupName(name) || !isApplicationBundle(candidate)) {
            continue;
        }
        // A rename sets the status change time of the folder it renames; a removal, which starts
        // deep inside, changes it only once the folder's own entries go.
        const auto renamed = files::statusChangeTime(candidate);
        if (renamed && (!newest || *renamed > newestRename)) {
            newest = candidate;
            newestRename = *renamed;
        }
    }
    if (newest) {
        files::moveItem(*newest, target);
    }
}

void InstallEngine::usunPorzuconeKopie(const fs::path& directory) noexcept {
    try {
        // An installation that holds the lock is working in the folder and tidies it itself.
        const files::FolderLock folder(directory, std::chrono::milliseconds::zero());
        if (folder.state() != files::FolderLock::State::busy) {
            removeAbandonedCopies(directory, folder.state() == files::FolderLock::State::held
                                                 ? LockHeld::yes
                                                 : LockHeld::no);
        }
    } catch (const files::FileError&) {  // the folder is missing or cannot be opened
    }
}
