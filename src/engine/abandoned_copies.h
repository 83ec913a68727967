#pragma once

// What interrupted installations leave in an applications folder, and how the next one deals with
// it. Each installation holds the folder's lock while it works (files::FolderLock).

#include <filesystem>
#include <string_view>

// True for exactly the names that installations give their hidden copies: ".Vantorel-install-" or
// ".Vantorel-previous-", the 36-character upper-case text of a UUID, ".app".
bool isHiddenCopyName(std::string_view name) noexcept;

enum class LockHeld { yes, no };

// Removes, permanently and silently, the backup copies of the application in `directory` and,
// when the caller holds the folder's lock (so that no installation is running there), every
// folder under a hidden-copy name: a staging copy or a backup that a kill interrupted, complete or
// not. A symbolic link is never followed or removed; everything else stays. Best effort.
void removeAbandonedCopies(const std::filesystem::path& directory, LockHeld lock) noexcept;

// When nothing is at `directory`/Vantorel.app, moves the most recently renamed backup copy of the
// application back to that name, so that the clean-up never removes the only copy there is.
// Throws the move's error (nothing has been removed then); a folder that cannot be listed holds
// nothing to restore.
void restoreStrandedBackup(const std::filesystem::path& directory);
