#include "installer_services.h"

#include <qcoro/qcorotimer.h>

#include "application_registry.h"
#include "bundle.h"
#include "file_manager.h"

namespace fs = std::filesystem;

std::vector<RunningApplication> SystemServices::runningApplications(
    std::string_view bundleIdentifier) {
    return RunningApplication::runningApplications(bundleIdentifier);
}

void SystemServices::terminate(const RunningApplication& application) {
    std::ignore = application.terminate();
}

void SystemServices::forceTerminate(const RunningApplication& application) {
    std::ignore = application.forceTerminate();
}

int SystemServices::runModalAlert(const AlertContent& content) {
    return ::runModalAlert(content);
}

QCoro::Task<> SystemServices::pause(std::chrono::nanoseconds duration) {
    // Nothing in this program cancels a pause: it always runs its full length.
    co_await QCoro::sleepFor(duration);
}

QFuture<void> SystemServices::openApplication(fs::path bundle, OpenConfiguration configuration) {
    return ::openApplication(std::move(bundle), configuration);
}

void SystemServices::registerApplication(const fs::path& bundle) {
    std::ignore = ::registerApplication(bundle);  // a copy missing from the menus still runs
}

void SystemServices::unregisterApplication(const fs::path& bundle) {
    ::unregisterApplication(bundle);
}

std::vector<fs::path> SystemServices::registeredApplications() {
    return ::registeredApplications();
}

std::optional<fs::path> SystemServices::resourceFolder() {
    return Bundle::mainResourceURL();
}

ApplicationsFolders SystemServices::applicationsFolders() {
    return {.system = "/Applications",
            .user = files::homeDirectoryForCurrentUser() / "Applications"};
}

fs::path SystemServices::trashFolder() {
    return files::trashDirectory();
}
