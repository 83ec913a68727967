#pragma once

#include <filesystem>

#include "bundle_factory.h"

// What a test puts where the installer looks: at the target, at the former name, at a backup name.
enum class Item { nothing, app, linkToApp, danglingLink, file, folder, otherId };

// Puts `what` at `location`. A link points at `elsewhere` (a copy of the application), or, when
// dangling, at a missing item beside it.
inline void place(const std::filesystem::path& location, Item what,
                  const std::filesystem::path& elsewhere) {
    using namespace testsupport;
    if (what == Item::app || what == Item::otherId) {
        makeBundle(location, what == Item::app ? BundleSpec{.marker = "earlier"}
                                               : BundleSpec{.identifier = "com.example.Other",
                                                            .marker = "other"});
    } else if (what == Item::linkToApp || what == Item::danglingLink) {
        std::filesystem::create_symlink(
            what == Item::linkToApp ? elsewhere : elsewhere.parent_path() / "missing.app",
            location);
    } else if (what == Item::file) {
        writeFile(location, "a document that happens to carry the name");
    } else if (what == Item::folder) {
        writeFile(location / "notes.txt", "not a bundle");
    }
}
