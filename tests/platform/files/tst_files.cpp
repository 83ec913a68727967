// File operations, as far as the installer's own tests do not reach them through the engine: the
// copy's fidelity, moves and removals next to links, where the Trash is; the folder lock that keeps
// installations into one folder apart; the worker pool that copies on several threads.
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <QtTest>
#include <cstring>
#include <fstream>
#include <numeric>
#include <thread>

#include "bundle_factory.h"
#include "file_manager.h"
#include "folder_lock.h"
#include "temp_home.h"
#include "tree_snapshot.h"
#include "worker_pool.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace testsupport;

// True for one readable sentence about a failed file operation: "Nie udało się …", the item in
// „…” when one is given, the system's reason for `errorNumber` and a full stop; no C++ names.
static bool isReadableFileError(const QString& text, int errorNumber, const fs::path& item = {}) {
    const QString quoted = QString::fromUtf8("„%1”").arg(QString::fromStdString(item.string()));
    return text.startsWith(QString::fromUtf8("Nie udało się")) && text.endsWith('.') &&
           text.contains(QString::fromLocal8Bit(std::strerror(errorNumber))) &&
           (item.empty() || text.contains(quoted)) && !text.contains("filesystem") &&
           !text.contains("std::");
}

// The text of the FileError that `operation` throws, or "<no error>".
static QString errorTextOf(const std::function<void()>& operation) {
    try {
        operation();
    } catch (const files::FileError& error) {
        return QString::fromUtf8(error.what());
    }
    return "<no error>";
}

using State = files::FolderLock::State;
Q_DECLARE_METATYPE(State)

class FilesTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        ::setlocale(LC_ALL, "C");  // error texts are compared in the C locale's words
        ::umask(022);              // the trees made here have the modes of an installed copy
        qputenv("TZ", "UTC-14");   // local time far from UTC: a date in the wrong zone shows
        ::tzset();
    }

    // A rename would replace an empty folder or a link; neither a move nor a copy may, and a copy
    // that fails so leaves nothing of itself. A link is removed, never what it points to, also
    // when named with a trailing slash. (Special files in the source are the installation table's:
    // they end the copy the same way. Links inside a tree, and read-only folders for a user who is
    // not root, are the hostile installations' table's.)
    void nextToLinks() {
        QTemporaryDir dir;
        const fs::path root = pathOf(dir);
        const fs::path from = makeBundle(root / "from.app");
        fs::create_directory(root / "empty folder");
        fs::create_symlink("missing", root / "dangling link");
        fs::create_symlink("from.app", root / "lone link");
        fs::create_symlink("from.app", root / "link with slash");
        const QStringList before = snapshotOf(root), fromBefore = snapshotOf(from);
        for (const fs::path& to : {root / "empty folder", root / "dangling link"}) {
            for (const QString& text : {errorTextOf([&] { files::moveItem(from, to); }),
                                        errorTextOf([&] { files::copyItem(from, to); })}) {
                QVERIFY2(isReadableFileError(text, EEXIST, to), qPrintable(text));
            }
        }
        QCOMPARE(snapshotOf(root), before);

        files::removeItem(root / "lone link");
        files::removeItem(root / "link with slash/");  // the slash must not lead into the target
        QCOMPARE(snapshotOf(root / "lone link") + snapshotOf(root / "link with slash"),
                 QStringList({"<absent>", "<absent>"}));
        QCOMPARE(snapshotOf(from), fromBefore);
        QVERIFY(isReadableFileError(errorTextOf([&] { files::removeItem(root / "lone link"); }),
                                    ENOENT, root / "lone link"));
    }

    // The same file system, and another one, where copy_file_range refuses and the bytes go
    // through plain reads and writes.
    void copyKeepsTreeExactly() {
        QTemporaryDir dir;
        const fs::path source = pathOf(dir) / "source.app";
        const fs::path contents = source / "Contents";
        writeFile(contents / "Resources" / ".hidden", "");
        std::string big(5 * 1024 * 1024 + 17, '\0');
        for (size_t i = 0; i < big.size(); ++i) {
            big[i] = static_cast<char>(i * 7919 % 251);
        }
        writeFile(contents / "Frameworks" / "libbig.so", big, fs::perms(0755));
        fs::create_symlink("libbig.so", contents / "Frameworks" / "libbig.so.1");
        fs::create_symlink("Resources", contents / "link to folder");
        fs::create_symlink(std::string(4095, 'x'), contents / "longest link");  // Linux's limit

        // A link at the top is copied as a link too.
        files::copyItem(contents / "link to folder", pathOf(dir) / "copied link");
        QCOMPARE(fs::read_symlink(pathOf(dir) / "copied link"), "Resources");

        const TmpfsMount other(pathOf(dir) / "other", 64 << 20, TmpfsMount::Access::readWrite);
        for (const fs::path& copy : {pathOf(dir) / "copy.app", pathOf(dir) / "other/copy.app"}) {
            if (copy.parent_path() != pathOf(dir) && !other.ok()) {
                QSKIP(other.whyNot().constData());
            }
            const mode_t umask = ::umask(077);  // whatever the umask, the copy's modes are its own
            files::copyItem(source, copy);
            ::umask(umask);
            QCOMPARE(snapshotOf(copy), snapshotOf(source));
            QCOMPARE(fs::last_write_time(copy / "Contents/Frameworks/libbig.so"),
                     fs::last_write_time(contents / "Frameworks/libbig.so"));
        }
    }

    // HOME names the home folder when it is an absolute path; otherwise the password database
    // does. The Trash is in the data home, which a relative XDG_DATA_HOME does not name.
    void homeFolderAndTrash() {
        const fs::path fromDatabase = ::getpwuid(::getuid())->pw_dir;
        QVERIFY2(fromDatabase != "/", "this user's home folder must not be the root folder");
        const TempHome home;
        qputenv("XDG_DATA_HOME", "relative");
        QCOMPARE(files::trashDirectory(), home.trashFiles());
        fs::remove_all(home.trashFiles());
        QVERIFY(isReadableFileError(errorTextOf([] { files::trashDirectory(); }), ENOENT,
                                    home.trashFiles()));
        qputenv("HOME", "tester");
        QCOMPARE(files::homeDirectoryForCurrentUser(), fromDatabase);
        qunsetenv("HOME");  // TempHome puts it back
        QCOMPARE(files::homeDirectoryForCurrentUser(), fromDatabase);
    }

    void trashItem_data() {
        QTest::addColumn<bool>("otherDisk");
        QTest::addColumn<QString>("arrange");    // run by the shell in the Trash's top folder
        QTest::addColumn<QString>("trashedAs");  // below that top; empty when the move fails
        QTest::newRow("home Trash made when missing") << false << "rm -r Trash"
                                                      << "Trash/files/Tamblico.app";
        QTest::newRow("name taken in the home Trash") << false << "mkdir Trash/files/Tamblico.app"
                                                      << "Trash/files/Tamblico 2.app";
        QTest::newRow("other disk: .Trash-<uid> made") << true << ""
                                                       << ".Trash-%uid/files/Tamblico.app";
        QTest::newRow("other disk: administrator's .Trash") << true << "mkdir -m 1777 .Trash"
                                                            << ".Trash/%uid/files/Tamblico.app";
        QTest::newRow("other disk: .Trash without the sticky bit")
            << true << "mkdir -m 777 .Trash"
            << ".Trash-%uid/files/Tamblico.app";
        QTest::newRow("other disk: .Trash-<uid> is a link")
            << true << "mkdir elsewhere && ln -s elsewhere .Trash-$(id -u)"
            << "";
    }

    // The item goes to the Trash of its own file system, under a name of its own, with the info
    // file that records where it was; a Trash reached through a link is not used.
    void trashItem() {
        QFETCH(bool, otherDisk);
        QFETCH(QString, arrange);
        QFETCH(QString, trashedAs);
        TempHome home;
        fs::permissions(home.trashFiles().parent_path(), fs::perms(0700));
        const fs::path top = otherDisk ? home.path() / "disk" : home.path() / ".local" / "share";
        std::optional<TmpfsMount> disk;
        if (otherDisk && !disk.emplace(top, 8 << 20, TmpfsMount::Access::readWrite).ok()) {
            QSKIP(disk->whyNot().constData());
        }
        QCOMPARE(
            QProcess::execute("sh", {"-c", "cd \"$0\"; " + arrange, QString::fromStdString(top)}),
            0);
        const fs::path item = makeBundle((otherDisk ? top : home.path()) / "My Apps/Tamblico.app");
        const QStringList before = snapshotOf(item);
        const QStringList trashBefore = snapshotOf(top);

        const qint64 trashedAt = QDateTime::currentSecsSinceEpoch();
        const QString text = errorTextOf([&] { files::trashItem(item); });
        if (trashedAs.isEmpty()) {
            QVERIFY2(isReadableFileError(text, ENOTDIR, item), qPrintable(text));
            QCOMPARE(snapshotOf(top), trashBefore);
            return;
        }
        QCOMPARE(text, "<no error>");
        const fs::path trashed =
            top / trashedAs.replace("%uid", QString::number(::geteuid())).toStdString();
        QCOMPARE(snapshotOf(trashed), before);
        const fs::path trash = trashed.parent_path().parent_path();
        QCOMPARE(fs::status(trash).permissions(), fs::perms(0700));
        const std::string info =
            readFile(trash / "info" / (trashed.filename().string() + ".trashinfo"));
        const std::string path = otherDisk ? "My%20Apps/Tamblico.app"
                                           : (home.path() / "My%20Apps/Tamblico.app").string();
        const std::string head = "[Trash Info]\nPath=" + path + "\nDeletionDate=";
        QVERIFY2(info.starts_with(head) && info.ends_with("\n"), info.c_str());
        // In local time, to the second, as the Trash specification writes it.
        const QDateTime deleted = QDateTime::fromString(
            QString::fromStdString(info.substr(head.size(), info.size() - head.size() - 1)),
            "yyyy-MM-ddTHH:mm:ss");
        QVERIFY2(deleted.isValid() && std::abs(deleted.toSecsSinceEpoch() - trashedAt) <= 2,
                 info.c_str());
    }

    // Nothing that a user who may only read the folder does holds the lock up: neither a lock on
    // the folder itself nor a read lock on a lock file that such a user may read, which is
    // replaced. The reader's locks are taken here through descriptors of their own, which conflict
    // as another process's would; a reader needs no more than read access for either. (What such a
    // user's own attempt gets, a read-only folder shows below.) The holder's file is its own, and
    // it removes the file when it lets go.
    void onlyWritersCanHoldItUp_data() {
        QTest::addColumn<bool>("lockFile");
        QTest::newRow("the folder locked by a reader") << false;
        QTest::newRow("a lock file readable by others, read-locked") << true;
    }
    void onlyWritersCanHoldItUp() {
        QFETCH(bool, lockFile);
        QTemporaryDir root;
        const fs::path folder = pathOf(root);
        const fs::path file = folder / files::folderLockFileName;
        if (lockFile) {
            writeFile(file, "", fs::perms(0644));
        }
        const int reader = ::open((lockFile ? file : folder).c_str(), O_RDONLY | O_CLOEXEC);
        const auto closeReader = qScopeGuard([reader] { ::close(reader); });
        struct flock readLock = {F_RDLCK, SEEK_SET, 0, 0, 0};  // the whole file
        QVERIFY(lockFile ? ::fcntl(reader, F_OFD_SETLK, &readLock) == 0
                         : ::flock(reader, LOCK_EX | LOCK_NB) == 0);
        const QStringList before = snapshotOf(folder);
        {
            const files::FolderLock lock(folder, 0ms);
            QCOMPARE(lock.state(), State::held);
            QCOMPARE(fs::symlink_status(file).permissions(), fs::perms(0600));  // a file, no link
        }
        QVERIFY2(!fs::exists(file), "the holder left its lock file");
        QVERIFY(lockFile || snapshotOf(folder) == before);
    }

    // A second holder waits for its turn: it gives up when its patience runs out, or at once when
    // asked to. (Two installations into one folder at once show that it then takes the lock.)
    void holdersTakeTurns_data() {
        QTest::addColumn<State>("end");
        QTest::newRow("patience runs out") << State::busy;
        QTest::newRow("asked to give up") << State::stopped;
    }
    void holdersTakeTurns() {
        QFETCH(State, end);
        QTemporaryDir root;
        const files::FolderLock first(pathOf(root), 0ms);
        QCOMPARE(first.state(), State::held);
        std::stop_source stop;
        std::atomic<State> outcome{State::unavailable};
        std::atomic<bool> ended{false};
        std::jthread second([&, patience = end == State::busy ? 300ms : 30000ms] {
            outcome = files::FolderLock(pathOf(root), patience, stop.get_token()).state();
            ended = true;
        });
        if (end == State::stopped) {
            stop.request_stop();
        }
        QTRY_VERIFY_WITH_TIMEOUT(ended, 5000);
        QCOMPARE(outcome.load(), end);
    }

    // Where the lock cannot be had (a read-only folder, or a link at the lock file's name, which
    // the same refusal covers), the folder is open all the same and nothing is written: the
    // link's target stays as it was.
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
    }

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

    // A failure on a helper thread comes out here, and no thread starts a job after its failure.
    void firstFailureComesOutHere() {
        std::atomic<unsigned> started{0};
        const auto failing = [&](std::size_t, unsigned) {
            ++started;
            throw std::runtime_error("failed");
        };
        const std::vector<std::uint64_t> sizes(100, 1);
        QVERIFY_THROWS_EXCEPTION(std::runtime_error, workers::runLargestFirst(sizes, 4, failing));
        QVERIFY(started <= 4);
    }
};

QTEST_GUILESS_MAIN(FilesTest)
#include "tst_files.moc"
