#include "application_bundle.h"

#include "bundle.h"
#include "file_manager.h"

bool isApplicationBundle(const std::filesystem::path& location) noexcept {
    try {
        const files::ResourceValues values = files::resourceValues(location);
        if (values.isSymbolicLink == true || values.isDirectory != true) {
            return false;
        }
        const auto bundle = Bundle::open(location);
        return bundle && bundle->bundleIdentifier() == applicationBundleIdentifier;
    } catch (...) {
        return false;  // an item that cannot be queried is not the application
    }
}
