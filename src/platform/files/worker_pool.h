#pragma once

// Runs jobs of different sizes on several threads, largest first, so that one large job does not
// finish last. The first failure stops the rest and comes out on the caller's thread.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>

namespace workers {

// How many threads share such work: one per processor core, but at least two (the jobs wait for
// the disk as much as for the processor) and at most eight.
unsigned defaultThreadCount() noexcept;

// Calls job(item, worker) once for every index of `sizes`, taking the items by decreasing size
// (equal sizes in their given order) on up to `threads` threads, the calling thread among them.
// `worker` (0 for the calling thread, up to threads - 1) lets a job keep state per thread. Once a
// job throws, no further job starts; when every thread has stopped, the first exception is
// rethrown here.
void runLargestFirst(std::span<const std::uint64_t> sizes, unsigned threads,
                     const std::function<void(std::size_t item, unsigned worker)>& job);

}  // namespace workers
