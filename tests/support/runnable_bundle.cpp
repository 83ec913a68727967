#include "runnable_bundle.h"

#include <unistd.h>

#include <QCoreApplication>

#include "bundle_factory.h"

namespace fs = std::filesystem;

namespace testsupport {

fs::path makeRunnableBundle(const fs::path& location, const std::string& identifier) {
    makeBundle(location, {.identifier = identifier, .executableName = "Vantorel"});
    const fs::path executable = executableIn(location);
    fs::copy_file(VANTOREL_TEST_APP_HELPER, executable, fs::copy_options::overwrite_existing);
    fs::permissions(executable, fs::perms(0755));
    return location;
}

std::string uniqueBundleIdentifier(const std::string& name) {
    return "test.vantorel." + name + ".p" + std::to_string(::getpid());
}

fs::path executableIn(const fs::path& bundle) {
    return bundle / "Contents" / "MacOS" / "Vantorel";
}

std::unique_ptr<QProcess> startInstance(const fs::path& executable, const QStringList& arguments) {
    auto process = std::make_unique<QProcess>();
    process->start(QString::fromStdString(executable.string()), arguments);
    if (!process->waitForStarted(10000) || !process->waitForReadyRead(10000)) {
        return nullptr;
    }
    return process;
}

}  // namespace testsupport
