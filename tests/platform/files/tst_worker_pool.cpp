#include <QtTest>
#include <numeric>
#include <thread>

#include "worker_pool.h"

class WorkerPoolTest : public QObject {
    Q_OBJECT

private slots:
    // Every job runs once, and each thread takes its jobs by decreasing size, equal sizes in their
    // given order; on one thread, that is the whole order.
    void takesTheLargestFirst() {
        std::vector<std::uint64_t> sizes;
        for (std::uint64_t i = 0; i < 40; ++i) {
            sizes.push_back(i * 7 % 5 * 1000);
        }
        for (const unsigned threads : {1u, 4u}) {
            std::mutex mutex;
            std::vector<std::vector<std::size_t>> taken(threads);
            workers::runLargestFirst(sizes, threads, [&](std::size_t item, unsigned worker) {
                const std::lock_guard lock(mutex);
                taken.at(worker).push_back(item);
            });
            std::vector<std::size_t> all;
            for (const auto& jobs : taken) {
                QVERIFY(std::is_sorted(jobs.begin(), jobs.end(), [&](std::size_t a, std::size_t b) {
                    return sizes[a] != sizes[b] ? sizes[a] > sizes[b] : a < b;
                }));
                all.insert(all.end(), jobs.begin(), jobs.end());
            }
            std::vector<std::size_t> each(sizes.size());
            std::iota(each.begin(), each.end(), 0);
            std::sort(all.begin(), all.end());
            QCOMPARE(all, each);
        }
    }

    // Every thread fails in its first job, once all of them are in one: no further job starts, and
    // a failure on a helper thread comes out here instead of ending the program.
    void firstFailureStopsTheRestAndComesOutHere() {
        constexpr unsigned threads = 4;
        std::atomic<unsigned> started{0};
        const std::vector<std::uint64_t> sizes(100, 1);
        QVERIFY_THROWS_EXCEPTION(
            std::runtime_error,
            workers::runLargestFirst(sizes, threads, [&](std::size_t, unsigned) {
                ++started;
                const QDeadlineTimer deadline(10000);
                while (started < threads && !deadline.hasExpired()) {
                    std::this_thread::yield();
                }
                throw std::runtime_error("failed");
            }));
        QCOMPARE(started.load(), threads);
    }
};

QTEST_GUILESS_MAIN(WorkerPoolTest)
#include "tst_worker_pool.moc"
