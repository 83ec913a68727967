#pragma once

#include <QStringList>
#include <filesystem>

namespace testsupport {

// The item at `location` and everything below it, one sorted line per entry: relative path, kind,
// permission bits, and the size and content hash of a file or the target of a symbolic link.
// Links are described, never followed. Two snapshots are equal exactly when the two trees hold
// the same names with the same contents, so a half-copied tree never equals a complete one.
// A missing item gives {"<absent>"}.
QStringList snapshotOf(const std::filesystem::path& location);

}  // namespace testsupport
