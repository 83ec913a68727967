#include "payload_validator.h"

#include "application_identity.h"
#include "bundle.h"
#include "code_signature.h"
#include "file_manager.h"
#include "install_engine.h"

namespace fs = std::filesystem;

namespace {

[[noreturn]] void reject() {
    throw InstallEngine::Failure(InstallEngine::Failure::invalidPayload);
}

// Whether the bundle's signature is intact. Who signed it is not examined.
bool hasIntactSignature(const fs::path& bundle) {
    return codesign::verifyBundleSignature(bundle).valid;
}

}  // namespace

void validatePayload(const fs::path& bundle) {
    const auto opened = Bundle::open(bundle);
    if (!opened || opened->bundleIdentifier() != applicationBundleIdentifier) {
        reject();
    }
    // Opened afresh: the executable is looked up in the bundle as it is now.
    const auto reopened = Bundle::open(bundle);
    const auto executable = reopened ? reopened->executableURL() : std::nullopt;
    if (!executable || !files::isExecutableFile(*executable)) {
        reject();
    }
    if (!hasIntactSignature(bundle)) {
        reject();
    }
}
