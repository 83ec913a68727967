#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>

#include "application_identity.h"

namespace testsupport {

enum class PlistFormat { xml, binary };

struct BundleSpec {
    std::optional<std::string> identifier = std::string(applicationBundleIdentifier);
    std::optional<std::string> executableName = std::string("Vantorel");
    PlistFormat format = PlistFormat::xml;
    bool writeExecutable = true;
    // Written into Contents/Resources/marker.txt, so that tests can tell copies apart.
    std::string marker = "payload";
    // More string keys of Info.plist (CFBundleName is "Vantorel" unless given here).
    std::map<std::string, std::string> strings = {};
};

// Writes Contents/Info.plist for the given keys, in XML or binary form.
void writeInfoPlist(const std::filesystem::path& bundle, const BundleSpec& layout);

// Makes a bundle folder at `location` (which must not exist): Info.plist, an executable script in
// Contents/MacOS and a marker resource. Returns `location`.
std::filesystem::path makeBundle(const std::filesystem::path& location,
                                 const BundleSpec& layout = {});

// Writes a whole file (creating parent folders); `mode` sets its permission bits.
void writeFile(const std::filesystem::path& path, const std::string& contents,
               std::filesystem::perms mode = std::filesystem::perms(0644));

std::string readFile(const std::filesystem::path& path);

}  // namespace testsupport
