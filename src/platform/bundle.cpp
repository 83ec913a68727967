#include "bundle.h"

#include <fcntl.h>
#include <plist/plist.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <vector>

#include "file_descriptor.h"
#include "file_manager.h"

namespace {

namespace fs = std::filesystem;

// Real Info.plist files are a few KiB; anything this large is not one.
constexpr off_t maximumInfoPlistSize = 1 << 20;

struct PlistDeleter {
    void operator()(plist_t node) const { plist_free(node); }
};
using PlistPointer = std::unique_ptr<std::remove_pointer_t<plist_t>, PlistDeleter>;

// The file's bytes, or nothing when it is missing, not a regular file, a link, or too large.
std::optional<std::vector<char>> readSmallFile(const fs::path& path) {
    const FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st {};
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
        st.st_size > maximumInfoPlistSize) {
        return std::nullopt;
    }
    std::vector<char> bytes(static_cast<size_t>(st.st_size));
    for (size_t done = 0; done < bytes.size();) {
        const ssize_t n = ::read(fd.get(), bytes.data() + done, bytes.size() - done);
        if (n <= 0) {
            return std::nullopt;  // a read error, or the file shrank while we read it
        }
        done += static_cast<size_t>(n);
    }
    return bytes;
}

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
    if (const auto bytes = readSmallFile(location / "Contents" / "Info.plist");
        bytes && !bytes->empty()) {
        plist_t root = nullptr;
        plist_from_memory(bytes->data(), static_cast<uint32_t>(bytes->size()), &root);
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

std::optional<fs::path> Bundle::mainResourceURL() {
    std::error_code error;
    const fs::path executable = fs::read_symlink("/proc/self/exe", error);
    if (error || executable.empty()) {
        return std::nullopt;
    }
    const fs::path folder = executable.parent_path();
    const fs::path contents = folder.parent_path();
    const fs::path bundle = contents.parent_path();
    if (folder.filename() == "MacOS" && contents.filename() == "Contents" &&
        bundle.extension() == ".app") {
        return contents / "Resources";
    }
    return folder;
}
