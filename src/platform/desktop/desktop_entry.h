#pragma once

// Desktop entries (freedesktop.org Desktop Entry Specification 1.5), the files from which Linux
// desktops build their application menus: the one kind that the installer writes, an application
// started from an absolute program path, and the one key of its own that it reads back.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

struct ApplicationEntry {
    std::string name;                           // shown in menus; any text
    std::filesystem::path program;              // the executable, absolute
    std::optional<std::filesystem::path> icon;  // an image file, absolute
    std::filesystem::path bundle;               // the application bundle, named in our own key
};

// The key of our own, by which the installer recognises the entries it wrote.
inline constexpr std::string_view bundleFolderKey = "X-Vantorel-Bundle";

// The entry's text. Absent when a path cannot be written into an entry faithfully (one that is not
// UTF-8, or holds a control character other than a tab or a line break).
std::optional<std::string> formatDesktopEntry(const ApplicationEntry& entry);

// An entry of ours brought up to date: in `existing`, which carries our key, only the keys that
// the installer owns (Type, Exec, TryExec, Icon, our key, and Name where the file has none) are
// set from `entry`; every other line, group, comment and translation stays where it is, and so do
// arguments that were added after the program in Exec. An owned key that `entry` leaves out (an
// icon) is removed. Absent as for formatDesktopEntry.
std::optional<std::string> updatedDesktopEntry(std::string_view existing,
                                               const ApplicationEntry& entry);

// The string value of a key in the entry's [Desktop Entry] group, escapes resolved; absent when the
// group has no such key or the value holds an unknown escape.
std::optional<std::string> desktopEntryValue(std::string_view text, std::string_view key);

// The bundle folder that the entry names in our key; absent when it names no absolute path.
std::optional<std::filesystem::path> bundleOfDesktopEntry(std::string_view text);
