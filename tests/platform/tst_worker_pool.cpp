#include <QDeadlineTimer>
#include <QtTest>
#include <atomic>
#include <stdexcept>
#include <thread>

#include "worker_pool.h"

class WorkerPoolTest : public QObject {
    Q_OBJECT

private slots:
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
