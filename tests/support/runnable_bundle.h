#pragma once

#include <QProcess>
#include <QStringList>
#include <filesystem>
#include <memory>
#include <string>

namespace testsupport {

// Makes a bundle at `location` whose executable is a real program (a copy of the test helper, so
// that the running process's executable lies inside the bundle). It runs until signalled; with
// the argument --ignore-term it ignores SIGTERM.
std::filesystem::path makeRunnableBundle(const std::filesystem::path& location,
                                         const std::string& identifier);

// An identifier no other test process uses, so that tests running side by side never see or
// signal each other's instances.
std::string uniqueBundleIdentifier(const std::string& name);

// Contents/MacOS/Vantorel of a bundle made by makeRunnableBundle.
std::filesystem::path executableIn(const std::filesystem::path& bundle);

// Starts a copy of the test helper as a child of the test and waits until it is ready. Returns
// nullptr when it did not start.
std::unique_ptr<QProcess> startInstance(const std::filesystem::path& executable,
                                        const QStringList& arguments = {});

}  // namespace testsupport
