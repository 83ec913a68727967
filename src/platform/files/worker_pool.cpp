#include "worker_pool.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <numeric>
#include <system_error>
#include <thread>
#include <vector>

namespace workers {

unsigned defaultThreadCount() noexcept {
    return std::clamp(std::thread::hardware_concurrency(), 2u, 8u);
}

void runLargestFirst(std::span<const std::uint64_t> sizes, unsigned threads,
                     const std::function<void(std::size_t item, unsigned worker)>& job) {
    std::vector<std::size_t> order(sizes.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return sizes[a] > sizes[b]; });
    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
    std::mutex errorMutex;
    std::exception_ptr firstError;
    const auto work = [&](unsigned worker) {
        while (!failed.load()) {
            const std::size_t i = next.fetch_add(1);
            if (i >= order.size()) {
                return;
            }
            try {
                job(order[i], worker);
            } catch (...) {
                const std::lock_guard lock(errorMutex);
                if (!firstError) {
                    firstError = std::current_exception();
                }
                failed = true;
            }
        }
    };
    {
        std::vector<std::jthread> helpers;
        for (unsigned worker = 1; worker < std::min<std::size_t>(threads, order.size()); ++worker) {
            try {
                helpers.emplace_back(work, worker);
            } catch (const std::system_error&) {
                break;  // the system has no more threads to give: fewer do the work
            }
        }
        work(0);
    }  // joins the helpers
    if (firstError) {
        std::rethrow_exception(firstError);
    }
}

}  // namespace workers
