#pragma once

// Why an installation cannot happen, told the way the user reads it, and the checks that find out
// before anything changes.

#include <filesystem>
#include <stdexcept>

#include "file_error.h"

// The text leads with the reason in the user's words and then names the place the user knows (the
// applications folder by its path, or the installer's own files); never a hidden staging or backup
// name, nor a path inside a bundle. The system's text follows only where no reason of ours says
// more.
class InstallProblem : public std::runtime_error {
public:
    enum class Reason {
        noSpace,              // no room left on the folder's disk, or the quota is used up
        noWritePermission,    // this user may not write in the folder
        readOnly,             // the folder's file system is mounted read-only
        noPrograms,           // the folder's file system lets no program run (noexec)
        anotherUsersFolder,   // root would leave its items in a folder of another user
        copyNotReplaceable,   // this user may not move the installed copy aside
        anotherInstallation,  // another installation kept the folder for too long
        writeFailed,          // any other failure in the folder
        noReadPermission,     // this user may not read the installer's files
        readFailed,           // any other failure reading them
    };

    // `folder` is the applications folder; `errorNumber` the errno behind it, 0 when none.
    InstallProblem(Reason reason, const std::filesystem::path& folder, int errorNumber = 0);

    Reason reason() const noexcept { return reason_; }
    int errorNumber() const noexcept { return errorNumber_; }

private:
    Reason reason_;
    int errorNumber_;
};

// The problem behind a file operation that failed while `source` was installed into `directory`:
// an item of the source is the installer's, any other the applications folder's.
InstallProblem explainedFileError(const files::FileError& error,
                                  const std::filesystem::path& source,
                                  const std::filesystem::path& directory);

// Throws what can be known, without changing anything, to stop an installation into `directory`:
// root and another user's folder, a read-only or noexec file system, a folder this user may not
// write (judged at its nearest existing ancestor while it is missing), and at the target either an
// item that is not the application (InstallEngine::Failure::unsafeDestination, also for a link,
// dangling or not) or an installed copy that this user may not move aside.
void requireInstallableFolder(const std::filesystem::path& directory);

// Throws the lack of space when the file system of `directory` has less room left than a copy of
// `source` takes (the data of its files, in whole blocks): such a copy would run out of space
// halfway. A source that cannot be measured is let through; the copy finds out what it finds.
void requireRoomFor(const std::filesystem::path& source, const std::filesystem::path& directory);
