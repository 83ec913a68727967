#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>

// An application bundle: a folder X.app with Contents/Info.plist, the executable in
// Contents/MacOS/ and resources in Contents/Resources/.
class Bundle {
public:
    // Opens the bundle at a folder. Absent when nothing is there, or the location is a file or a
    // symbolic link. Info.plist is read once, here, in its XML or binary form; a missing, malformed
    // or oversized one leaves the identifier and the executable absent.
    static std::optional<Bundle> open(const std::filesystem::path& location);

    // The installer's own resource folder: Contents/Resources of the bundle that holds the running
    // executable, or the executable's folder when it is not inside a bundle.
    static std::optional<std::filesystem::path> mainResourceURL();

    const std::filesystem::path& url() const noexcept { return url_; }

    // CFBundleIdentifier of Info.plist.
    const std::optional<std::string>& bundleIdentifier() const noexcept { return identifier_; }

    // Contents/MacOS/<CFBundleExecutable>, when the key names a file that exists.
    std::optional<std::filesystem::path> executableURL() const;

    // A string value of Info.plist's top level (CFBundleName, for example); absent when the key is
    // missing or holds something else.
    std::optional<std::string> infoString(std::string_view key) const;

    using InfoStrings = std::map<std::string, std::string, std::less<>>;

private:
    Bundle(std::filesystem::path url, std::optional<std::string> identifier,
           std::optional<std::string> executableName, InfoStrings strings);

    std::filesystem::path url_;
    std::optional<std::string> identifier_;
    std::optional<std::string> executableName_;
    InfoStrings strings_;
};
