#pragma once

// Putting what was written on the disk before it counts. A flush that the file system refuses as
// unsupported (some FUSE file systems answer EINVAL or ENOTSUP) counts as done: nothing more can
// be asked of it. Any other failure, an I/O error above all, means that what was written may not
// be on the disk, and throws files::FileError naming `what`.

#include <filesystem>
#include <functional>

namespace files {

// Writes out everything written to the file system that holds the open item `fd`: the contents
// of files, the entries of folders, links; a reflinked file's shared data needs no writing, only
// its entries. Also fails when writing anything out on that file system failed since `fd` was
// opened, so open it before the work that it is to cover. Waits for what other programs wrote
// there too.
void flushFileSystem(int fd, const std::filesystem::path& what);

// Writes out the entries of the open folder `folder` (names created, removed and renamed in it).
void flushFolder(int folder, const std::filesystem::path& what);

// Test seam: receives what each flush is about and returns an errno value to fail that flush
// with, or 0 to let it go ahead. Production code never sets it.
using FlushFaultHook = std::function<int(const std::filesystem::path& what)>;
void setFlushFaultHookForTesting(FlushFaultHook hook);

}  // namespace files
