#pragma once

#include <cstddef>
#include <exception>
#include <filesystem>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>

#include "file_manager.h"

// What an installation leaves behind: where the application now is, and where the copy it
// replaced was moved (absent when there was none). The caller decides what becomes of the backup.
struct InstallResult {
    std::filesystem::path app;
    std::optional<std::filesystem::path> backup;
};

// File-system logic of the installer, without user interface and without state.
struct InstallEngine {
    // The engine's own failures, each with its fixed text for the user.
    class Failure : public std::exception {
    public:
        enum Case { invalidPayload, unsafeDestination };

        Failure(Case failureCase) noexcept : case_(failureCase) {}  // NOLINT: implicit on purpose

        Case failureCase() const noexcept { return case_; }
        const char* what() const noexcept override;

        friend bool operator==(const Failure& a, const Failure& b) noexcept {
            return a.case_ == b.case_;
        }

    private:
        Case case_;
    };

    // The applications folder to install into: the one of `system` and `user` (in that order)
    // that already holds "Vantorel.app" (a dangling link of that name counts too); otherwise
    // `system` when `isWritable` says so for its path, else `user`. Returns one of the two given
    // paths unchanged; calls `isWritable` at most once, and only when neither folder holds the
    // application. Never throws.
    static std::filesystem::path preferredDirectory(
        const std::filesystem::path& system, const std::filesystem::path& user,
        std::function<bool(const std::string&)> isWritable = [](const std::string& path) {
            return files::isWritableFile(path);
        });

    // Decides whether the bundle at a location may be installed; rejects it by throwing.
    using Validator = std::function<void(const std::filesystem::path&)>;

    // Installs the bundle at `source` as `directory`/Vantorel.app without ever writing into that
    // name directly: the payload is validated, copied to a hidden staging name beside the target,
    // validated again there, the installed copy (which must be a copy of this application) is
    // renamed to a hidden backup name, and the staging copy is renamed into place; should that
    // last rename fail, the installed copy is renamed back. The staging copy is on the disk before
    // it is renamed into place, and so is the folder's entry after each rename. Holds the folder's
    // lock throughout: a second installation into the same folder waits for it, up to 30 s, and
    // fails with a sentence naming the folder when it is not free by then. Moves a backup back
    // into place when nothing is at the target, then removes what earlier installations left in
    // `directory` (see usunPorzuconeKopie), and moves a copy under the product's former name to
    // the Trash. The staging copy is removed on every way out. Before anything is made, the
    // folder is checked as requireInstallableFolder (install_problem.h) does. Errors of
    // `validate` are passed on unchanged, those of the file operations as an InstallProblem that
    // tells the user why; Failure::unsafeDestination when something other than a copy of this
    // application (a link too, dangling or not) occupies the target.
    static InstallResult install(const std::filesystem::path& source,
                                 const std::filesystem::path& directory, const Validator& validate);

    // The same, for a caller that may have to give up: the installation waits at most 30 s for
    // another one in the same folder (then it fails with a sentence that names the folder), and
    // throws Cancelled, having changed nothing, as soon as `stopWaiting` is requested during that
    // wait. Only someone who may write the folder can make it wait at all.
    static InstallResult install(const std::filesystem::path& source,
                                 const std::filesystem::path& directory, const Validator& validate,
                                 std::stop_token stopWaiting);

    // An installation that gave up waiting for another one because its caller asked it to.
    class Cancelled : public std::exception {
    public:
        const char* what() const noexcept override;
    };

    // Removes, permanently, every ".Vantorel-previous-*.app" in `directory` that is a copy of the
    // application and, with the folder's lock, every folder that an interrupted installation left
    // under a staging or backup name of its own (never a symbolic link, never what one points
    // to). Does nothing while an installation holds the lock: that one tidies the folder itself.
    // Best effort: an entry that cannot be inspected or removed is skipped, and a folder that
    // cannot be listed is left alone.
    static void usunPorzuconeKopie(const std::filesystem::path& directory) noexcept;
};

template <>
struct std::hash<InstallEngine::Failure> {
    std::size_t operator()(const InstallEngine::Failure& failure) const noexcept {
        return std::hash<int>{}(failure.failureCase());
    }
};
