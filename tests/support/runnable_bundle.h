#pragma once

#include <filesystem>
#include <string>

namespace testsupport {

// Makes a bundle at `location` whose executable, Contents/MacOS/Vantorel, is a real program (a
// copy of the test helper, so that the running process's executable lies inside the bundle). It
// prints "ready" and runs until signalled.
std::filesystem::path makeRunnableBundle(const std::filesystem::path& location,
                                         const std::string& identifier);

// An identifier no other test process uses, so that tests running side by side never see or
// signal each other's instances.
std::string uniqueBundleIdentifier(const std::string& name);

}  // namespace testsupport
