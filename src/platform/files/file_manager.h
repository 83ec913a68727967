#pragma once

// The file operations that the installer relies on. Every path is absolute. Operations that can
// fail throw files::FileError, whose text names the operation, the item and the system's reason.
// Queries that answer a yes/no question never throw.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "file_error.h"

namespace files {

namespace fs = std::filesystem;

// True when an item exists at the path, following symbolic links: a dangling link reads as absent.
bool fileExists(const fs::path& path) noexcept;

// True when an item is at the path itself, without following a link there: a symbolic link,
// dangling or not, counts.
bool itemExists(const fs::path& path) noexcept;

// True when the current user may write at the path (false on a read-only file system).
bool isWritableFile(const fs::path& path) noexcept;

// True only for an existing regular file (links followed) that the current user may execute.
bool isExecutableFile(const fs::path& path) noexcept;

// What the current user may do in a folder that may not exist yet, judged without changing
// anything at the folder itself or, while it is missing, at its nearest existing ancestor, where
// it would be made. Links on the way are followed, as any use of the folder by its path does.
struct FolderAccess {
    fs::path judged;                // the folder, or the ancestor that stood in for it
    bool isFolder = false;          // false when a file stands where the folder belongs
    bool writable = false;          // the effective ids may make and remove entries there
    bool readOnly = false;          // its file system is mounted read-only
    bool programsMayRun = false;    // its file system is not mounted without execution (noexec)
    std::uintmax_t roomBytes = 0;   // what the effective ids may still write on its file system
    std::uintmax_t blockBytes = 0;  // the unit in which its file system hands out room
    // This process runs as root and the folder belongs to another user: root's items there are
    // items that the folder's owner could neither replace nor remove.
    bool anotherUsersFolderAsRoot = false;
};
// Never throws; with nothing at all to judge (not even "/"), everything reads as refused.
FolderAccess folderAccess(const fs::path& folder) noexcept;

// The current user's home folder: $HOME when it is an absolute path, else the password database's
// entry for the user, else the root folder "/". Never fails.
fs::path homeDirectoryForCurrentUser() noexcept;

// The current user's data home folder: $XDG_DATA_HOME when it is an absolute path (a relative one
// is ignored, as the XDG rules ask), else the home folder + ".local/share". Never fails.
fs::path dataHomeDirectory() noexcept;

// Where the current user's Trash is: the home Trash of the freedesktop.org layout, "Trash" in the
// data home folder, whose "files" folder holds the trashed items and whose "info" folder what is
// recorded about each. Only names the folder, which may not exist.
fs::path homeTrashDirectory() noexcept;

// The home Trash's "files" folder. Never created here; throws when it is not a folder.
fs::path trashDirectory();

// Creates the folder and any missing parents; succeeds when the folder already exists.
void createDirectory(const fs::path& path);

// Names of the folder's direct entries, hidden names included, in the order the system lists them.
std::vector<std::string> contentsOfDirectory(const fs::path& path);

// Copies the item recursively to a new name in the folder `to` names. Symbolic links are copied as
// links and never followed, neither in the source nor in the copy: the copy is written through open
// folder handles only, so a folder of it that is swapped for a link makes the copy fail, and
// nothing outside the copy is ever written. Modification times are kept; permission bits are the
// copy's own: folders 0755, files 0755 when the source file has any execute bit and 0644 otherwise
// (never setuid, setgid or sticky, never writable by others, always by the owner). FIFOs, sockets
// and devices are refused. Fails when `to` exists. On failure nothing of the copy is left behind.
void copyItem(const fs::path& from, const fs::path& to);

// Renames the item within one file system; fails when the name `to` is taken, whatever is there.
void moveItem(const fs::path& from, const fs::path& to);

// Removes the item permanently and recursively, through open folder handles: a symbolic link is
// removed, never followed, even one that takes a folder's place during the removal. Folders that
// their owner made read-only are made writable first. Fails when nothing is there.
void removeItem(const fs::path& path);

// Moves the item into the current user's Trash on the item's own file system, in the
// freedesktop.org layout: the home Trash (made when missing) for an item on the home folder's file
// system, else that file system's "$topdir/.Trash/$uid" (below an administrator's sticky ".Trash")
// or "$topdir/.Trash-$uid" (made when missing). The Trash's own folders are opened without
// following a link and must belong to the user: a Trash reached through a link is not used, and
// the move fails then. A name already in the Trash gets a number ("Name 2.app").
void trashItem(const fs::path& path);

// What an item is, without following a link at the path itself.
struct ResourceValues {
    std::optional<bool> isSymbolicLink;
    std::optional<bool> isDirectory;
};

// The path without trailing separators ("/a/b/" becomes "/a/b"), so that a query about the item
// itself does not follow a link at its end, as the system does for a path that ends in "/".
fs::path withoutTrailingSeparator(const fs::path& path);

// True when the path is the folder or lies below it, compared by components as written (after
// lexical normalisation); nothing on the disk is looked at.
bool isWithinFolder(const fs::path& path, const fs::path& folder);

// One query for both values; throws when the item cannot be queried (for instance when nothing is
// there).
ResourceValues resourceValues(const fs::path& path);

// Test seam: lets tests make a rename fail that no real file system would refuse (a rollback, for
// example). The hook receives both names and returns an errno value to fail with, or 0 to let the
// rename go ahead. Production code never sets it.
using MoveFaultHook = std::function<int(const fs::path& from, const fs::path& to)>;
void setMoveFaultHookForTesting(MoveFaultHook hook);

// Test seam: called after each folder, file and link that copyItem writes, with its path in the
// copy (from any of the copying threads, one call at a time), so that a test can change the copy
// at that very moment as a racing process would. Production code never sets it.
using CopyHook = std::function<void(const fs::path& written)>;
void setCopyHookForTesting(CopyHook hook);

}  // namespace files
