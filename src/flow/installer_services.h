#pragma once

#include <QFuture>
#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include <qcoro/qcorotask.h>

#include "application_launcher.h"
#include "modal_alert.h"
#include "running_applications.h"

// A pause that ended early because the work around it was cancelled.
class PauseCancelled : public std::exception {
public:
    const char* what() const noexcept override { return "Pause cancelled."; }
};

// The two folders into which the application may be installed.
struct ApplicationsFolders {
    std::filesystem::path system;
    std::filesystem::path user;
};

// What the installer's flow takes from the operating system. SystemServices binds the real
// services; tests derive from it, or from this interface, to substitute fakes and temporary
// folders.
class InstallerServices {
public:
    virtual ~InstallerServices() = default;

    virtual std::vector<RunningApplication> runningApplications(
        std::string_view bundleIdentifier) = 0;
    virtual void terminate(const RunningApplication& application) = 0;
    virtual void forceTerminate(const RunningApplication& application) = 0;

    // The modal question; returns the response of the chosen button (see runModalAlert).
    virtual int runModalAlert(const AlertContent& content) = 0;

    // Suspends the caller without holding the main thread; may end with PauseCancelled.
    virtual QCoro::Task<> pause(std::chrono::nanoseconds duration) = 0;

    // Starts an application bundle; the future finishes once, normally or with the reason.
    virtual QFuture<void> openApplication(std::filesystem::path bundle,
                                          OpenConfiguration configuration) = 0;

    // The desktop's database of applications (see application_registry.h). Registering records
    // a bundle that is about to be started; unregistering removes what names a discarded bundle
    // and returns once that is done. Both are best effort and report nothing.
    virtual void registerApplication(const std::filesystem::path& bundle) = 0;
    virtual void unregisterApplication(const std::filesystem::path& bundle) = 0;
    // The bundle folders that the database's records of this program name, where it can tell.
    virtual std::vector<std::filesystem::path> registeredApplications() = 0;

    // The installer's own resource folder, when it has one.
    virtual std::optional<std::filesystem::path> resourceFolder() = 0;

    // The candidate applications folders, formed afresh on every call.
    virtual ApplicationsFolders applicationsFolders() = 0;

    // The current user's Trash folder; throws when it cannot be located.
    virtual std::filesystem::path trashFolder() = 0;
};

class SystemServices : public InstallerServices {
public:
    std::vector<RunningApplication> runningApplications(std::string_view bundleIdentifier) override;
    void terminate(const RunningApplication& application) override;
    void forceTerminate(const RunningApplication& application) override;
    int runModalAlert(const AlertContent& content) override;
    QCoro::Task<> pause(std::chrono::nanoseconds duration) override;
    QFuture<void> openApplication(std::filesystem::path bundle,
                                  OpenConfiguration configuration) override;
    void registerApplication(const std::filesystem::path& bundle) override;
    void unregisterApplication(const std::filesystem::path& bundle) override;
    std::vector<std::filesystem::path> registeredApplications() override;
    std::optional<std::filesystem::path> resourceFolder() override;
    ApplicationsFolders applicationsFolders() override;
    std::filesystem::path trashFolder() override;
};
