#pragma once

#include <filesystem>
#include <string_view>

#include "application_identity.h"

// Names inside an applications folder.
inline constexpr std::string_view applicationBundleName = "Vantorel.app";
inline constexpr std::string_view formerApplicationBundleName = "Tamblico.app";
inline constexpr std::string_view formerProductNamePrefix = "Tamblico";
inline constexpr std::string_view stagingNamePrefix = ".Vantorel-install-";
inline constexpr std::string_view backupNamePrefix = ".Vantorel-previous-";
inline constexpr std::string_view bundleNameSuffix = ".app";

// True when the item at the location is a copy of the application: not a symbolic link, a folder,
// it opens as a bundle and carries the application's bundle identifier. A link is never followed;
// an item that cannot be queried fails the test.
bool isApplicationBundle(const std::filesystem::path& location) noexcept;
