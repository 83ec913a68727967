#include "install_problem.h"

#include <cerrno>
#include <cstdint>
#include <optional>
#include <string>

#include "application_bundle.h"
#include "file_manager.h"
#include "install_engine.h"

namespace fs = std::filesystem;

namespace {

using enum InstallProblem::Reason;

std::string sentence(InstallProblem::Reason reason, const fs::path& folder, int errorNumber) {
    const std::string place = files::quoted(folder);
    switch (reason) {
        case noSpace:
            return "Za mało miejsca na dysku w folderze " + place + ".";
        case noWritePermission:
            return "Brak uprawnień do zapisu w folderze " + place + ".";
        case readOnly:
            return "Dysk tylko do odczytu: nie można zapisać w folderze " + place + ".";
        case noPrograms:
            return "System plików nie pozwala uruchamiać programów z folderu " + place + ".";
        case anotherUsersFolder:
            return "Cudzy folder " + place + ": uruchom instalator jako jego właściciel.";
        case copyNotReplaceable:
            return "Brak uprawnień do zastąpienia aplikacji w folderze " + place + ".";
        case anotherInstallation:
            return "Trwa inna instalacja w folderze " + place + ". Spróbuj ponownie później.";
        case writeFailed:
            return "Błąd zapisu w folderze " + place + ": " + files::systemReason(errorNumber) +
                   ".";
        case noReadPermission:
            return "Brak uprawnień do odczytu plików instalatora.";
        case readFailed:
            return "Błąd odczytu plików instalatora: " + files::systemReason(errorNumber) + ".";
    }
    return {};
}

void requireReplaceableTarget(const fs::path& directory) {
    const fs::path target = directory / applicationBundleName;
    if (!files::itemExists(target)) {
        return;
    }
    if (!isApplicationBundle(target)) {  // a link, dangling or not, is no copy of the application
        throw InstallEngine::Failure(InstallEngine::Failure::unsafeDestination);
    }
    // Renaming a folder writes its ".." entry: the copy itself must be writable.
    if (!files::isWritableFile(target)) {
        throw InstallProblem(copyNotReplaceable, directory, EACCES);
    }
}

}  // namespace

InstallProblem::InstallProblem(Reason reason, const fs::path& folder, int errorNumber)
    : std::runtime_error(sentence(reason, folder, errorNumber)),
      reason_(reason),
      errorNumber_(errorNumber) {}

InstallProblem explainedFileError(const files::FileError& error, const fs::path& source,
                                  const fs::path& directory) {
    const int number = error.errorNumber();
    const bool installersFile = !source.empty() && files::isWithinFolder(error.item(), source);
    switch (number) {
        case ENOSPC:
        case EDQUOT:
            return {noSpace, directory, number};
        case EROFS:
            return {readOnly, directory, number};
        case EACCES:
        case EPERM:
            return {installersFile ? noReadPermission : noWritePermission, directory, number};
        default:
            return {installersFile ? readFailed : writeFailed, directory, number};
    }
}

namespace {

// The room that a copy of the tree at `source` takes for its files' data, each file in whole
// blocks; links and folders take little and are left out, so the figure never overstates.
std::optional<std::uintmax_t> roomTakenByCopyOf(const fs::path& source, std::uintmax_t block) {
    std::uintmax_t total = 0;
    std::error_code error;
    for (fs::recursive_directory_iterator it(source, error), end; !error && it != end;
         it.increment(error)) {
        if (it->is_regular_file(error) && !it->is_symlink(error)) {
            const std::uintmax_t size = it->file_size(error);
            total += (size + block - 1) / block * block;
        }
    }
    return error ? std::nullopt : std::optional(total);
}

}  // namespace

void requireRoomFor(const fs::path& source, const fs::path& directory) {
    const files::FolderAccess access = files::folderAccess(directory);
    if (access.blockBytes == 0) {
        return;  // nothing to judge by
    }
    const auto needed = roomTakenByCopyOf(source, access.blockBytes);
    if (needed && *needed > access.roomBytes) {
        throw InstallProblem(noSpace, directory, ENOSPC);
    }
}

void requireInstallableFolder(const fs::path& directory) {
    const files::FolderAccess access = files::folderAccess(directory);
    if (access.anotherUsersFolderAsRoot) {
        throw InstallProblem(anotherUsersFolder, directory, EPERM);
    }
    if (access.judged.empty()) {  // not even an ancestor could be looked at: a folder on the way
        throw InstallProblem(noWritePermission, directory, EACCES);  // refuses this user
    }
    if (!access.isFolder) {
        throw InstallProblem(writeFailed, directory, ENOTDIR);
    }
    if (access.readOnly) {
        throw InstallProblem(readOnly, directory, EROFS);
    }
    if (!access.writable) {
        throw InstallProblem(noWritePermission, directory, EACCES);
    }
    if (!access.programsMayRun) {
        throw InstallProblem(noPrograms, directory);
    }
    requireReplaceableTarget(directory);
}
