#include "runnable_bundle.h"

#include <unistd.h>

#include "bundle_factory.h"

namespace fs = std::filesystem;

namespace testsupport {

fs::path makeRunnableBundle(const fs::path& location, const std::string& identifier) {
    makeBundle(location, {.identifier = identifier, .executableName = "Vantorel"});
    const fs::path executable = location / "Contents/MacOS/Vantorel";
    fs::copy_file(VANTOREL_TEST_APP_HELPER, executable, fs::copy_options::overwrite_existing);
    fs::permissions(executable, fs::perms(0755));
    return location;
}

std::string uniqueBundleIdentifier(const std::string& name) {
    return "test.vantorel." + name + ".p" + std::to_string(::getpid());
}

}  // namespace testsupport
