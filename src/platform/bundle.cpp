#include "bundle.h"

#include <fcntl.h>
#include <plist/plist.h>
#include <sys/stat.h>

#include <memory>

#include "file_manager.h"
#include "posix_file.h"

namespace {

namespace fs = std::filesystem;

// Real Info.plist files are a few KiB; anything this large is not one.
constexpr std::size_t maximumInfoPlistSize = 1 << 20;

struct PlistDeleter {
    void operator()(plist_t node) const { plist_free(node); }
};
using PlistPointer = std::unique_ptr<std::remove_pointer_t<plist_t>, PlistDeleter>;

std::optional<std::string> stringValue(plist_t dictionary, const char* key) {
    plist_t node = plist_dict_get_item(dictionary, key);
    if (node == nullptr || plist_get_node_type(node) != PLIST_STRING) {
        return std::nullopt;
    }
    char* raw = nullptr;
    plist_get_string_val(node, &raw);
    if (raw == nullptr) {
        return std::nullopt;
    }
    std::string value(raw);
    std::free(raw);
    return value;
}

// A name of one path component, so that Contents/MacOS/<name> cannot lead anywhere else.
bool isPlainFileName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

}  // namespace

Bundle::Bundle(fs::path url, std::optional<std::string> identifier,
               std::optional<std::string> executableName)
    : url_(std::move(url)),
      identifier_(std::move(identifier)),
      executableName_(std::move(executableName)) {}

std::optional<Bundle> Bundle::open(const fs::path& location) {
    struct stat st {};
    if (::lstat(files::withoutTrailingSeparator(location).c_str(), &st) != 0 ||
        !S_ISDIR(st.st_mode)) {
        return std::nullopt;
    }
    std::optional<std::string> identifier;
    std::optional<std::string> executableName;
    // A missing, linked, special or oversized Info.plist is no Info.plist.
    std::string bytes;
    const std::error_code error =
        posix::readWholeFile(AT_FDCWD, (location / "Contents" / "Info.plist").native(),
                             maximumInfoPlistSize, posix::Links::refuse, bytes);
    if (!error && !bytes.empty()) {
        plist_t root = nullptr;
        plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
        const PlistPointer owner(root);
        if (root != nullptr && plist_get_node_type(root) == PLIST_DICT) {
            identifier = stringValue(root, "CFBundleIdentifier");
            executableName = stringValue(root, "CFBundleExecutable");
            if (executableName && !isPlainFileName(*executableName)) {
                executableName.reset();
            }
        }
    }
    return Bundle(location, std::move(identifier), std::move(executableName));
}

std::optional<fs::path> Bundle::executableURL() const {
    if (!executableName_) {
        return std::nullopt;
    }
    fs::path executable = url_ / "Contents" / "MacOS" / *executableName_;
    if (!files::fileExists(executable)) {
        return std::nullopt;
    }
    return executable;
}
