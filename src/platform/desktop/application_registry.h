#pragma once

// The desktop's database of applications, from which its menus and launchers learn what there is
// to start: desktop entries in the user's data home on Linux, Launch Services on macOS.

#include <filesystem>
#include <vector>

// Records the application bundle so that the desktop offers it, as the system does when it opens a
// bundle. A record of ours that is there keeps what others (a menu editor) added to it; a record
// of that name that is not ours is left alone, and so is a database that belongs to another user
// while this process runs as root. Returns whether a record was written; a failure leaves no
// half-written record.
[[nodiscard]] bool registerApplication(const std::filesystem::path& bundle);

// Removes the records of this program that name the bundle's folder, and no other record.
void unregisterApplication(const std::filesystem::path& bundle);

// The bundle folders that this program's records name, where the database can tell; the system's
// own database, which follows a moved bundle by itself, gives none.
std::vector<std::filesystem::path> registeredApplications();
