#pragma once

#include <filesystem>

#include "bundle_factory.h"

// What a test puts where the installer looks: at the target, at the former name, at a backup name.
enum class Item { nothing, app, linkToApp, danglingLink, file, folder, otherId };

// Puts `what` at `location`. A link points at `elsewhere` (a copy of the application), or, when
// dangling, at a missing item beside it.
inline void place(const std::filesystem::path& location, Item what,
                  const std::filesystem::path& elsewhere) {
    using testsupport::makeBundle;
    switch (what) {
        case Item::nothing:
            break;
        case Item::app:
            makeBundle(location, {.marker = "earlier"});
            break;
        case Item::linkToApp:
            std::filesystem::create_symlink(elsewhere, location);
            break;
        case Item::danglingLink:
            std::filesystem::create_symlink(elsewhere.parent_path() / "missing.app", location);
            break;
        case Item::file:
            testsupport::writeFile(location, "a document that happens to carry the name");
            break;
        case Item::folder:
            testsupport::writeFile(location / "notes.txt", "not a bundle");
            break;
        case Item::otherId:
            makeBundle(location, {.identifier = "com.example.Other", .marker = "other"});
            break;
    }
}
