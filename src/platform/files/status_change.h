#pragma once

#include <chrono>
#include <filesystem>
#include <optional>

namespace files {

// When the item's status last changed, as time since the epoch: a rename, a change of mode or
// owner, or of the entries of a folder, sets it. A link at the path is not followed. Absent when
// the item cannot be queried.
std::optional<std::chrono::nanoseconds> statusChangeTime(
    const std::filesystem::path& path) noexcept;

}  // namespace files
