#include "bundle_factory.h"

#include <plist/plist.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace testsupport {

void writeFile(const fs::path& path, const std::string& contents, fs::perms mode) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << contents;
    out.close();
    if (!out) {
        throw std::runtime_error("cannot write " + path.string());
    }
    fs::permissions(path, mode);
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeInfoPlist(const fs::path& bundle, const BundleSpec& layout) {
    plist_t root = plist_new_dict();
    for (const auto& [key, value] : {std::pair{"CFBundleIdentifier", layout.identifier},
                                     {"CFBundleExecutable", layout.executableName},
                                     {"CFBundleName", std::optional<std::string>("Vantorel")}}) {
        if (value) {
            plist_dict_set_item(root, key, plist_new_string(value->c_str()));
        }
    }
    for (const auto& [key, value] : layout.strings) {
        plist_dict_set_item(root, key.c_str(), plist_new_string(value.c_str()));
    }
    char* data = nullptr;
    uint32_t length = 0;
    if (layout.format == PlistFormat::xml) {
        plist_to_xml(root, &data, &length);
    } else {
        plist_to_bin(root, &data, &length);
    }
    writeFile(bundle / "Contents" / "Info.plist", std::string(data, length));
    std::free(data);
    plist_free(root);
}

fs::path makeBundle(const fs::path& location, const BundleSpec& layout) {
    if (fs::exists(fs::symlink_status(location))) {
        throw std::runtime_error("makeBundle: already exists: " + location.string());
    }
    writeInfoPlist(location, layout);
    if (layout.writeExecutable && layout.executableName) {
        writeFile(location / "Contents" / "MacOS" / *layout.executableName, "#!/bin/sh\nexit 0\n",
                  fs::perms(0755));
    }
    writeFile(location / "Contents" / "Resources" / "marker.txt", layout.marker);
    return location;
}

}  // namespace testsupport
