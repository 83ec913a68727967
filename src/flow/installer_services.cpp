#include "installer_services.h"

#include <qcoro/qcorotimer.h>

#include "bundle.h"
#include "file_manager.h"

namespace fs = std::filesystem;

namespace {

// The system's Launch Services registration tool. Linux has none, so unregistration does nothing
// there.
constexpr const char* registrationTool =
    "/System/Library/Frameworks/CoreServices.framework/Frameworks/LaunchServices.framework/"
    "Support/lsregister";

}  // namespace

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

fs::path SystemServices::registrationToolPath() {
    return registrationTool;
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
