#pragma once

#include <cstddef>
#include <exception>
#include <filesystem>
#include <functional>
#include <string>

#include "file_manager.h"

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
};

template <>
struct std::hash<InstallEngine::Failure> {
    std::size_t operator()(const InstallEngine::Failure& failure) const noexcept {
        return std::hash<int>{}(failure.failureCase());
    }
};
