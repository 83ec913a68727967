// The desktop's database of applications on Linux: one desktop entry per bundle identifier in
// $XDG_DATA_HOME/applications, which GNOME, KDE and other launchers read.

#include <fcntl.h>
#include <sys/stat.h>

#include <QUuid>
#include <cerrno>
#include <optional>
#include <string>
#include <tuple>

#include "application_registry.h"
#include "bundle.h"
#include "desktop_entry.h"
#include "file_handles.h"
#include "file_manager.h"

namespace fs = std::filesystem;

namespace {

// Entries of other programs may carry many translations; none of ours comes near this.
constexpr std::size_t maximumEntrySize = 1 << 20;

constexpr std::string_view entrySuffix = ".desktop";

fs::path applicationsFolder() {
    return files::dataHomeDirectory() / "applications";
}

// A bundle identifier that makes a desktop file ID: a plain file name in reverse-DNS form.
bool isDesktopFileId(std::string_view identifier) {
    return !identifier.empty() && !identifier.starts_with('.') && identifier.size() <= 200 &&
           identifier.find_first_not_of(
               "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
               "0123456789._-") == std::string_view::npos;
}

// The name that the bundle gives itself for menus, else its folder's name without ".app".
std::string nameOf(const Bundle& bundle) {
    for (const char* key : {"CFBundleDisplayName", "CFBundleName"}) {
        if (auto name = bundle.infoString(key); name && !name->empty()) {
            return *name;
        }
    }
    return bundle.url().stem().native();
}

// Contents/Resources/<CFBundleIconFile>, ".png" added when the name has no extension; absent
// when there is no such file.
std::optional<fs::path> iconOf(const Bundle& bundle) {
    const auto name = bundle.infoString("CFBundleIconFile");
    if (!name || name->empty() || name->find('/') != std::string::npos || name->starts_with('.')) {
        return std::nullopt;
    }
    fs::path icon = bundle.url() / "Contents" / "Resources" / *name;
    if (!icon.has_extension()) {
        icon += ".png";
    }
    std::error_code error;
    return fs::is_regular_file(icon, error) ? std::optional(icon) : std::nullopt;
}

// Makes the folder and its missing parents, private to the user as the XDG rules ask.
bool makeFolders(const fs::path& folder) {
    if (::mkdir(folder.c_str(), 0700) == 0 || errno == EEXIST) {
        return true;
    }
    return errno == ENOENT && folder.has_relative_path() && makeFolders(folder.parent_path()) &&
           (::mkdir(folder.c_str(), 0700) == 0 || errno == EEXIST);
}

FileDescriptor openFolder(const fs::path& folder) {
    return FileDescriptor(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

// Puts `text` in place of the folder's entry `name` in one step: written to a new file of its own,
// flushed, then renamed over the name, which replaces whatever is there (a link is replaced, never
// followed). Nothing is left behind on failure.
bool replaceEntry(int folder, const std::string& name, std::string_view text) {
    const std::string temporary =
        "." + name + "-" + QUuid::createUuid().toString(QUuid::WithoutBraces).toStdString();
    posix::NewFile file(folder, temporary);
    if (file.error() || posix::writeAll(file.fd(), text) || ::fsync(file.fd()) != 0 ||
        file.complete(0644)) {
        return false;
    }
    if (::renameat(folder, temporary.c_str(), folder, name.c_str()) != 0) {
        std::ignore = ::unlinkat(folder, temporary.c_str(), 0);
        return false;
    }
    std::ignore = ::fsync(folder);  // the entry is in place; flushing the folder makes it last
    return true;
}

// What to write at the folder's entry `name` for `entry`: a new entry when nothing is there, our
// keys brought up to date in an entry of ours. Absent when the name holds anything else (a link,
// an entry without our key: not ours, so it stays as it is) or cannot be read.
std::optional<std::string> entryTextFor(int folder, const std::string& name,
                                        const ApplicationEntry& entry) {
    std::string existing;
    const std::error_code error =
        posix::readWholeFile(folder, name, maximumEntrySize, posix::Links::refuse, existing);
    if (error.value() == ENOENT) {
        return formatDesktopEntry(entry);
    }
    if (error || !bundleOfDesktopEntry(existing)) {
        return std::nullopt;
    }
    return updatedDesktopEntry(existing, entry);
}

struct Record {
    std::string name;  // the entry's file name in the folder
    fs::path bundle;
};

// The entries of the folder that carry our key. Links are not entries of ours and are skipped.
std::vector<Record> recordsIn(int folder) {
    std::vector<std::string> names;
    // A listing that fails part way still gives the names read up to there.
    std::ignore = posix::readEntryNames(::fcntl(folder, F_DUPFD_CLOEXEC, 0), names);
    std::vector<Record> records;
    for (std::string& name : names) {
        std::string text;
        if (!name.ends_with(entrySuffix) ||
            posix::readWholeFile(folder, name, maximumEntrySize, posix::Links::refuse, text)) {
            continue;
        }
        if (auto bundle = bundleOfDesktopEntry(text)) {
            records.push_back({std::move(name), std::move(*bundle)});
        }
    }
    return records;
}

bool isSameFolder(const fs::path& a, const fs::path& b) {
    return files::withoutTrailingSeparator(a).lexically_normal() ==
           files::withoutTrailingSeparator(b).lexically_normal();
}

}  // namespace

bool registerApplication(const fs::path& bundle) {
    const auto opened = Bundle::open(bundle);
    if (!opened || !opened->bundleIdentifier() || !isDesktopFileId(*opened->bundleIdentifier())) {
        return false;
    }
    const auto program = opened->executableURL();
    if (!program) {
        return false;
    }
    const ApplicationEntry entry{
        .name = nameOf(*opened), .program = *program, .icon = iconOf(*opened), .bundle = bundle};
    const fs::path folder = applicationsFolder();
    // Root writes nothing into another user's data home (sudo -E, su -m): that user could not
    // change or remove what root made there.
    if (files::folderAccess(folder).anotherUsersFolderAsRoot || !makeFolders(folder)) {
        return false;
    }
    const FileDescriptor handle = openFolder(folder);
    const std::string name = *opened->bundleIdentifier() + std::string(entrySuffix);
    const auto text = handle.valid() ? entryTextFor(handle.get(), name, entry) : std::nullopt;
    return text && replaceEntry(handle.get(), name, *text);
}

void unregisterApplication(const fs::path& bundle) {
    const FileDescriptor folder = openFolder(applicationsFolder());
    if (!folder.valid()) {
        return;  // no folder, no entries
    }
    for (const Record& record : recordsIn(folder.get())) {
        if (isSameFolder(record.bundle, bundle)) {
            std::ignore = ::unlinkat(folder.get(), record.name.c_str(), 0);  // best effort
        }
    }
}

std::vector<fs::path> registeredApplications() {
    std::vector<fs::path> bundles;
    const FileDescriptor folder = openFolder(applicationsFolder());
    if (folder.valid()) {
        for (Record& record : recordsIn(folder.get())) {
            bundles.push_back(std::move(record.bundle));
        }
    }
    return bundles;
}
