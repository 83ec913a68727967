#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <utility>

#include "file_error.h"
#include "flush.h"

namespace files {

namespace {

std::mutex flushFaultHookMutex;
FlushFaultHook flushFaultHook;

int injectedFlushFault(const std::filesystem::path& what) {
    std::lock_guard lock(flushFaultHookMutex);
    return flushFaultHook ? flushFaultHook(what) : 0;
}

bool flushIsUnsupported(int errorNumber) noexcept {
    return errorNumber == EINVAL || errorNumber == EOPNOTSUPP || errorNumber == ENOSYS;
}

template <typename Flush>
void flushOrThrow(const Flush& flush, const std::filesystem::path& what) {
    int error = injectedFlushFault(what);
    if (error == 0 && flush() != 0) {
        error = errno;
    }
    if (error != 0 && !flushIsUnsupported(error)) {
        throwFileError("Nie udało się zapisać na dysku " + quoted(what), error, what);
    }
}

}  // namespace

void flushFileSystem(int fd, const std::filesystem::path& what) {
    flushOrThrow([fd] { return ::syncfs(fd); }, what);
}

void flushFolder(int folder, const std::filesystem::path& what) {
    flushOrThrow([folder] { return ::fsync(folder); }, what);
}

void setFlushFaultHookForTesting(FlushFaultHook hook) {
    std::lock_guard lock(flushFaultHookMutex);
    flushFaultHook = std::move(hook);
}

}  // namespace files
