// Copying an item to a new name, on open folder handles only. The copy's top folder is created in
// the destination folder and opened without following a link; everything below it is created
// relative to a handle of its folder, and every folder is reached from the top's handle with no
// link allowed on the way. A folder of the copy that another process swaps for a link therefore
// makes the copy fail instead of leading it anywhere else.

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <mutex>
#include <tuple>
#include <utility>
#include <vector>

#include "file_handles.h"
#include "file_manager.h"
#include "worker_pool.h"

namespace files {

namespace {

std::mutex copyHookMutex;
CopyHook copyHook;

void reportWritten(const fs::path& item) {
    std::lock_guard lock(copyHookMutex);
    if (copyHook) {
        copyHook(item);
    }
}

// Which item of a copy failed: the one read (of the source) or the one written (of the copy).
enum class Side { source, copy };

[[noreturn]] void throwCopyError(const fs::path& from, const fs::path& to, int errorNumber,
                                 Side failed) {
    throwFileError("Nie udało się skopiować " + quoted(from) + " do " + quoted(to), errorNumber,
                   failed == Side::source ? from : to);
}

// The installed copy's permission bits are ours, not the payload's: no setuid, setgid or sticky
// bit, nothing writable by others, always writable by the owner so that it can be replaced.
constexpr mode_t folderMode = 0755;
mode_t fileModeFor(mode_t payloadMode) {
    return (payloadMode & 0111) != 0 ? 0755 : 0644;
}

void restoreTimes(int fd, const struct stat& source) {
    const struct timespec times[2] = {source.st_atim, source.st_mtim};
    std::ignore = ::futimens(fd, times);  // times are a courtesy; a failure does not fail the copy
}

// Copies the rest of one open file to another with plain reads and writes, from the current
// offsets up to the end of the input. Returns 0 or an errno value.
int copyByReadAndWrite(int in, int out, off_t sizeHint) {
    const size_t bufferSize = static_cast<size_t>(std::clamp<off_t>(sizeHint, 64 << 10, 1 << 20));
    const auto buffer = std::make_unique_for_overwrite<char[]>(bufferSize);
    for (;;) {
        const ssize_t n = posix::readSome(in, buffer.get(), bufferSize);
        if (n <= 0) {
            return n == 0 ? 0 : errno;
        }
        const auto error =
            posix::writeAll(out, std::string_view(buffer.get(), static_cast<size_t>(n)));
        if (error) {
            return error.value();
        }
    }
}

// Copies the bytes of one open file to another: a reflink where the file system shares extents,
// copy_file_range inside the kernel otherwise, and plain reads and writes as the last resort.
// `size` is the input's size when the copy began. Returns 0 or an errno value.
int copyContents(int in, int out, off_t size) {
    if (size > 0 && ::ioctl(out, FICLONE, in) == 0) {
        return 0;
    }
    for (off_t left = size; left > 0;) {
        const ssize_t n =
            ::copy_file_range(in, nullptr, out, nullptr, static_cast<size_t>(left), 0);
        if (n > 0) {
            left -= n;
            continue;
        }
        if (n == 0) {
            return 0;  // the file shrank while we copied it; keep what it holds now
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno == EXDEV || errno == ENOSYS || errno == EOPNOTSUPP || errno == EINVAL) {
            return copyByReadAndWrite(in, out, left);  // from the current offsets on
        }
        return errno;
    }
    return 0;
}

// Writes the open regular file `in` as the new file `name` of the open folder `folder`: never an
// item that was there, never through a link. Returns 0 or an errno value; a failed file is gone.
int writeCopyOf(int in, const struct stat& st, int folder, const std::string& name) {
    posix::NewFile out(folder, name);
    if (out.error()) {
        return out.error().value();
    }
    if (const int error = copyContents(in, out.fd(), st.st_size); error != 0) {
        return error;
    }
    restoreTimes(out.fd(), st);
    return out.complete(fileModeFor(st.st_mode)).value();
}

// A symbolic link is copied as a link, with its own times. Returns 0 or an errno value.
int writeLinkCopy(int fromFolder, const std::string& fromName, const struct stat& st, int toFolder,
                  const std::string& toName) {
    std::string target;
    if (const auto error = posix::readLinkTarget(fromFolder, fromName, target)) {
        return error.value();
    }
    if (::symlinkat(target.c_str(), toFolder, toName.c_str()) != 0) {
        return errno;
    }
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    std::ignore = ::utimensat(toFolder, toName.c_str(), times, AT_SYMLINK_NOFOLLOW);  // a courtesy
    return 0;
}

[[noreturn]] void refuseSpecialFile(const fs::path& item) {
    throwFileError("Nie udało się skopiować " + quoted(item) +
                       ": to plik specjalny (potok, gniazdo lub urządzenie), a nie plik, folder "
                       "ani dowiązanie",
                   ENOTSUP, item);
}

// One folder tree copied below two open handles: the source's top folder and the copy's.
class TreeCopy {
public:
    TreeCopy(fs::path from, fs::path to, int sourceTop, int copyTop, const struct stat& top)
        : from_(std::move(from)), to_(std::move(to)), sourceTop_(sourceTop), copyTop_(copyTop) {
        folders_.push_back({".", top});
    }

    void run() {
        createStructure();
        copyFiles();
        finishFolders();
    }

private:
    struct Folder {
        std::string relative;  // "." for the top, else "a/b"
        struct stat source;
    };
    struct FileJob {
        std::size_t folder;  // index into folders_
        std::string name;
    };

    static std::string joined(const std::string& folder, const std::string& name) {
        return folder == "." ? name : folder + "/" + name;
    }
    fs::path sourcePath(const std::string& relative) const {
        return relative == "." ? from_ : from_ / relative;
    }
    fs::path copyPath(const std::string& relative) const {
        return relative == "." ? to_ : to_ / relative;
    }
    [[noreturn]] void fail(const std::string& relative, int errorNumber, Side failed) const {
        throwCopyError(sourcePath(relative), copyPath(relative), errorNumber, failed);
    }

    FileDescriptor openFolder(int top, const std::string& relative, int access) const {
        FileDescriptor folder = posix::openBeneath(top, relative, access | O_DIRECTORY);
        if (!folder.valid()) {
            fail(relative, errno, top == sourceTop_ ? Side::source : Side::copy);
        }
        return folder;
    }

    // Creates the folders (private for now) and the links of the copy, folder by folder, and
    // lists the regular files. Only the two folders at hand are open at any time.
    void createStructure() {
        for (std::size_t index = 0; index < folders_.size(); ++index) {
            const std::string folder = folders_[index].relative;
            const FileDescriptor source = openFolder(sourceTop_, folder, O_RDONLY);
            const FileDescriptor copy = openFolder(copyTop_, folder, O_PATH);
            std::vector<std::string> names;
            if (const auto error =
                    posix::readEntryNames(::fcntl(source.get(), F_DUPFD_CLOEXEC, 0), names)) {
                fail(folder, error.value(), Side::source);
            }
            for (const std::string& name : names) {
                const std::string item = joined(folder, name);
                struct stat st {};
                if (::fstatat(source.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
                    fail(item, errno, Side::source);
                }
                if (S_ISREG(st.st_mode)) {
                    files_.push_back({index, name});
                    sizes_.push_back(static_cast<std::uint64_t>(st.st_size));
                    continue;
                }
                if (S_ISDIR(st.st_mode)) {
                    if (::mkdirat(copy.get(), name.c_str(), 0700) != 0) {
                        fail(item, errno, Side::copy);
                    }
                    folders_.push_back({item, st});
                } else if (!S_ISLNK(st.st_mode)) {
                    refuseSpecialFile(sourcePath(item));
                } else if (const int error =
                               writeLinkCopy(source.get(), name, st, copy.get(), name)) {
                    fail(item, error, Side::copy);
                }
                reportWritten(copyPath(item));
            }
        }
    }

    void copyFile(const FileJob& job) const {
        const std::string& folder = folders_[job.folder].relative;
        const std::string item = joined(folder, job.name);
        // O_NONBLOCK: should the item have been swapped for a FIFO since the walk, open() must
        // not hang.
        const FileDescriptor in = posix::openBeneath(sourceTop_, item, O_RDONLY | O_NONBLOCK);
        struct stat st {};
        if (!in.valid() || ::fstat(in.get(), &st) != 0) {
            fail(item, errno, Side::source);
        }
        if (!S_ISREG(st.st_mode)) {
            fail(item, EINVAL, Side::source);
        }
        const FileDescriptor copy = openFolder(copyTop_, folder, O_PATH);
        // Reading a payload that the validator has just read through fails rarely; writing is
        // what fails (space, quota, a damaged disk), so an error of either counts as the copy's.
        if (const int error = writeCopyOf(in.get(), st, copy.get(), job.name); error != 0) {
            fail(item, error, Side::copy);
        }
        reportWritten(copyPath(item));
    }

    // On both cores, largest first, so that one large file does not finish last.
    void copyFiles() const {
        workers::runLargestFirst(sizes_, workers::defaultThreadCount(),
                                 [&](std::size_t job, unsigned) { copyFile(files_[job]); });
    }

    // Gives each folder its final permission bits and the source's times once everything inside
    // it is written (deepest first, so that no later write changes a folder's time again).
    void finishFolders() const {
        for (auto folder = folders_.rbegin(); folder != folders_.rend(); ++folder) {
            const FileDescriptor copy = openFolder(copyTop_, folder->relative, O_RDONLY);
            if (::fchmod(copy.get(), folderMode) != 0) {
                throwFileError(
                    "Nie udało się ustawić uprawnień folderu " + quoted(copyPath(folder->relative)),
                    errno, copyPath(folder->relative));
            }
            restoreTimes(copy.get(), folder->source);
        }
    }

    fs::path from_;
    fs::path to_;
    int sourceTop_;
    int copyTop_;
    std::vector<Folder> folders_;
    std::vector<FileJob> files_;
    std::vector<std::uint64_t> sizes_;
};

// Copies an item that is not a folder: a regular file or a symbolic link.
void copySingleItem(const fs::path& from, int toFolder, const fs::path& to) {
    const FileDescriptor fromFolder(
        ::open(from.parent_path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    const std::string name = from.filename();
    struct stat st {};
    if (!fromFolder.valid() ||
        ::fstatat(fromFolder.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        throwCopyError(from, to, errno, Side::source);
    }
    if (S_ISLNK(st.st_mode)) {
        if (const int error = writeLinkCopy(fromFolder.get(), name, st, toFolder, to.filename())) {
            throwCopyError(from, to, error, Side::copy);
        }
        return;
    }
    if (!S_ISREG(st.st_mode)) {
        refuseSpecialFile(from);
    }
    const FileDescriptor in(
        ::openat(fromFolder.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!in.valid() || ::fstat(in.get(), &st) != 0) {
        throwCopyError(from, to, errno, Side::source);
    }
    if (!S_ISREG(st.st_mode)) {
        throwCopyError(from, to, EINVAL, Side::source);
    }
    if (const int error = writeCopyOf(in.get(), st, toFolder, to.filename()); error != 0) {
        throwCopyError(from, to, error, Side::copy);
    }
}

}  // namespace

void copyItem(const fs::path& fromPath, const fs::path& toPath) {
    const fs::path from = withoutTrailingSeparator(fromPath);
    const fs::path to = withoutTrailingSeparator(toPath);
    const FileDescriptor toFolder(
        ::open(to.parent_path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!toFolder.valid()) {
        throwCopyError(from, to, errno, Side::copy);
    }
    const FileDescriptor sourceTop(
        ::open(from.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!sourceTop.valid()) {
        if (errno != ENOTDIR && errno != ELOOP) {
            throwCopyError(from, to, errno, Side::source);
        }
        copySingleItem(from, toFolder.get(), to);
        return;
    }
    struct stat top {};
    const std::string name = to.filename();
    if (::fstat(sourceTop.get(), &top) != 0) {
        throwCopyError(from, to, errno, Side::source);
    }
    if (::mkdirat(toFolder.get(), name.c_str(), 0700) != 0) {
        throwCopyError(from, to, errno, Side::copy);
    }
    try {
        const FileDescriptor copyTop(::openat(toFolder.get(), name.c_str(),
                                              O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!copyTop.valid()) {
            throwCopyError(from, to, errno, Side::copy);
        }
        TreeCopy(from, to, sourceTop.get(), copyTop.get(), top).run();
    } catch (...) {
        // Leave nothing half-written behind: the tree is ours, mkdirat made its top. A copied file
        // removes itself when it fails; whatever is in the tree now is unlinked, never followed.
        std::ignore = posix::removeEntry(toFolder.get(), name);
        throw;
    }
}

void setCopyHookForTesting(CopyHook hook) {
    std::lock_guard lock(copyHookMutex);
    copyHook = std::move(hook);
}

}  // namespace files
