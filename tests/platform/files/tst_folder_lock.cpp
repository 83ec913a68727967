#include <QtTest>
#include <fstream>
#include <thread>

#include "folder_lock.h"
#include "temp_home.h"
#include "tree_snapshot.h"

namespace fs = std::filesystem;
using namespace testsupport;
using namespace std::chrono_literals;
using State = files::FolderLock::State;
Q_DECLARE_METATYPE(State)

namespace {

// A program run as the unprivileged user "nobody", ended when this object goes.
struct AsNobody : QProcess {
    ~AsNobody() override {
        kill();
        waitForFinished();
    }
    // Starts `program` and returns its first line of output.
    QString firstLineOf(const QStringList& program) {
        start("setpriv", QStringList{"--reuid=65534", "--regid=65534", "--clear-groups"} + program);
        while (!canReadLine() && waitForReadyRead(10000)) {
        }
        return QString::fromUtf8(readLine()).trimmed();
    }
};

// Opens the file read-only, takes a read lock on it and keeps it.
const QString readLockScript = R"(
import fcntl, os, struct, sys, time
fd = os.open(sys.argv[1], os.O_RDONLY)
fcntl.fcntl(fd, fcntl.F_OFD_SETLK, struct.pack("hhqqi4x", fcntl.F_RDLCK, os.SEEK_SET, 0, 0, 0))
print("locked", flush=True)
time.sleep(600)
)";

}  // namespace

class FolderLockTest : public QObject {
    Q_OBJECT

private slots:
    void init() {
        if (::geteuid() != 0 || QStandardPaths::findExecutable("setpriv").isEmpty()) {
            QSKIP("needs root and setpriv to act as a user who may only read the folder");
        }
    }

    // Nothing that a user who may only read the folder does holds the lock up: neither a lock on
    // the folder itself nor a read lock on a lock file. (What such a user's own attempt gets, a
    // read-only folder shows below.) A lock file that a killed holder left is taken over, and the
    // holder removes it when it lets go.
    void onlyWritersCanHoldItUp_data() {
        QTest::addColumn<QString>("reader");
        QTest::newRow("the folder locked by a reader") << "flock";
        QTest::newRow("a lock file left by a killed holder") << "stale";
        QTest::newRow("a lock file readable by others, read-locked") << "readable";
    }
    void onlyWritersCanHoldItUp() {
        QFETCH(QString, reader);
        QTemporaryDir root;  // with a folder that every user may read and only root may write
        const fs::path folder = pathOf(root) / "Applications";
        fs::create_directory(folder);
        fs::permissions(pathOf(root), fs::perms(0755));
        fs::permissions(folder, fs::perms(0755));
        const fs::path file = folder / files::folderLockFileName;
        AsNobody other;
        if (reader == "flock") {
            QCOMPARE(other.firstLineOf({"flock", "-x", QString::fromStdString(folder), "sh", "-c",
                                        "echo locked; exec sleep 60"}),
                     "locked");
        } else {
            std::ofstream(file) << "";
            fs::permissions(file, fs::perms(reader == "stale" ? 0600 : 0644));
            if (reader == "readable") {
                QCOMPARE(other.firstLineOf({"/usr/bin/python3", "-c", readLockScript,
                                            QString::fromStdString(file)}),
                         "locked");
            }
        }
        const QStringList before = snapshotOf(folder);
        {
            const files::FolderLock lock(folder, 0ms);
            QCOMPARE(lock.state(), State::held);
            QVERIFY(fs::is_regular_file(file));
            QCOMPARE(fs::status(file).permissions(), fs::perms(0600));
        }
        QVERIFY2(!fs::exists(file), "the holder left its lock file");
        if (reader == "flock") {
            QCOMPARE(snapshotOf(folder), before);
        }
    }

    // A second holder waits for its turn: it gives up when its patience runs out, or at once when
    // asked to, and takes the lock as soon as the first one lets go.
    void holdersTakeTurns_data() {
        QTest::addColumn<State>("end");
        QTest::newRow("patience runs out") << State::busy;
        QTest::newRow("asked to give up") << State::stopped;
        QTest::newRow("first holder lets go") << State::held;
    }
    void holdersTakeTurns() {
        QFETCH(State, end);
        QTemporaryDir root;
        auto first = std::make_unique<files::FolderLock>(pathOf(root), 0ms);
        QCOMPARE(first->state(), State::held);
        QCOMPARE(files::FolderLock(pathOf(root), 0ms).state(), State::busy);

        std::stop_source stop;
        std::atomic<State> outcome{State::unavailable};
        std::atomic<bool> ended{false};
        std::jthread second([&, patience = end == State::busy ? 300ms : 30000ms] {
            const files::FolderLock lock(pathOf(root), patience, stop.get_token());
            outcome = lock.state();
            ended = true;
            // While the second one holds it, nobody else gets in.
            if (lock.state() == State::held &&
                files::FolderLock(pathOf(root), 0ms).state() != State::busy) {
                outcome = State::busy;
            }
        });
        if (end == State::stopped) {
            stop.request_stop();
        } else if (end == State::held) {
            first.reset();
        }
        QTRY_VERIFY_WITH_TIMEOUT(ended, 5000);
        second.join();
        QCOMPARE(outcome.load(), end);
    }

    // Where the lock cannot be had, the folder is open all the same and nothing is written: a
    // read-only folder, or a link at the lock file's name, whose target stays as it was.
    void unavailableWithoutWritingAnything() {
        QTemporaryDir root;
        const fs::path target = pathOf(root) / "target";
        std::ofstream(target) << "someone's file\n";
        const QStringList targetBefore = snapshotOf(target);
        fs::create_directory(pathOf(root) / "links");
        fs::create_symlink(target, pathOf(root) / "links" / files::folderLockFileName);
        {
            const files::FolderLock lock(pathOf(root) / "links", 0ms);
            QCOMPARE(lock.state(), State::unavailable);
            QVERIFY(lock.fd() >= 0);
        }
        QVERIFY(fs::is_symlink(pathOf(root) / "links" / files::folderLockFileName));
        QCOMPARE(snapshotOf(target), targetBefore);

        const TmpfsMount readOnly(pathOf(root) / "ro", 1 << 20, TmpfsMount::Access::readOnly);
        if (!readOnly.ok()) {
            QSKIP(readOnly.whyNot().constData());
        }
        const files::FolderLock lock(pathOf(root) / "ro", 0ms);
        QCOMPARE(lock.state(), State::unavailable);
        QVERIFY(lock.fd() >= 0);
    }
};

QTEST_GUILESS_MAIN(FolderLockTest)
#include "tst_folder_lock.moc"
