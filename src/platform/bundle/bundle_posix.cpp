#include "bundle.h"

#include <fcntl.h>
#include <plist/plist.h>
#include <sys/stat.h>

#include <memory>

#include "file_handles.h"
#include "file_manager.h"

namespace {

namespace fs = std::filesystem;

// Real Info.plist files are a few KiB; anything this large is not one.
constexpr std::size_t maximumInfoPlistSize = 1 << 20;

struct PlistDeleter {
    void operator()(plist_t node) const { plist_free(node); }
};
using PlistPointer = std::unique_ptr<std::remove_pointer_t<plist_t>, PlistDeleter>;

// Every string value of the dictionary's top level.
Bundle::InfoStrings stringValues(plist_t dictionary) {
    Bundle::InfoStrings values;
    plist_dict_iter iterator = nullptr;
    plist_dict_new_iter(dictionary, &iterator);
    for (;;) {
        char* key = nullptr;
        plist_t node = nullptr;
        plist_dict_next_item(dictionary, iterator, &key, &node);
        if (node == nullptr) {
            std::free(key);
            break;
        }
        uint64_t length = 0;
        const char* text = plist_get_node_type(node) == PLIST_STRING
                               ? plist_get_string_ptr(node, &length)
                               : nullptr;
        if (text != nullptr) {
            values.emplace(key, std::string(text, length));
        }
        std::free(key);
    }
    std::free(iterator);
    return values;
}

std::optional<std::string> valueOf(const Bundle::InfoStrings& strings, std::string_view key) {
    const auto found = strings.find(key);
    return found == strings.end() ? std::nullopt : std::optional(found->second);
}

// A name of one path component, so that Contents/MacOS/<name> cannot lead anywhere else.
bool isPlainFileName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

}  // namespace

Bundle::Bundle(fs::path url, std::optional<std::string> identifier,
               std::optional<std::string> executableName, InfoStrings strings)
    : url_(std::move(url)),
      identifier_(std::move(identifier)),
      executableName_(std::move(executableName)),
      strings_(std::move(strings)) {}

std::optional<Bundle> Bundle::open(const fs::path& location) {
    struct stat st {};
    if (::lstat(files::withoutTrailingSeparator(location).c_str(), &st) != 0 ||
        !S_ISDIR(st.st_mode)) {
        return std::nullopt;
    }
    std::optional<std::string> identifier;
    std::optional<std::string> executableName;
    InfoStrings strings;
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
            strings = stringValues(root);
            identifier = valueOf(strings, "CFBundleIdentifier");
            executableName = valueOf(strings, "CFBundleExecutable");
            if (executableName && !isPlainFileName(*executableName)) {
                executableName.reset();
            }
        }
    }
    return Bundle(location, std::move(identifier), std::move(executableName), std::move(strings));
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

std::optional<std::string> Bundle::infoString(std::string_view key) const {
    return valueOf(strings_, key);
}
