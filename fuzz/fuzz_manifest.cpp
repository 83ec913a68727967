// Feeds arbitrary bytes to the manifest parser. Besides crashes and sanitizer reports it checks the
// format's promise: whatever parses is canonical, so writing it again gives the same bytes.

#include <cstdlib>
#include <string_view>

#include "signature_manifest.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    try {
        const auto entries = codesign::parseManifest(text);
        if (codesign::formatManifest(entries) != text) {
            std::abort();
        }
    } catch (const codesign::ManifestError&) {
        // rejected input: expected
    }
    return 0;
}
