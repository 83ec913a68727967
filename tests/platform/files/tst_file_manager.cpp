#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QTemporaryDir>
#include <QtTest>
#include <filesystem>
#include <functional>
#include <optional>

#include "bundle_factory.h"
#include "file_manager.h"
#include "readable_error.h"
#include "temp_home.h"
#include "tree_snapshot.h"

namespace fs = std::filesystem;
using namespace testsupport;

// Prepares a Trash's surroundings, given its top folder.
using Arrange = std::function<void(const fs::path& top)>;
Q_DECLARE_METATYPE(Arrange)

namespace {

// The text of the FileError that `operation` throws, or "<no error>".
QString errorTextOf(const std::function<void()>& operation) {
    try {
        operation();
    } catch (const files::FileError& error) {
        return QString::fromUtf8(error.what());
    }
    return "<no error>";
}

}  // namespace

// What the installer's own tests do not reach through the engine: the copy's fidelity, moves and
// removals next to links, and where the Trash is.
class FileManagerTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        ::setlocale(LC_ALL, "C");  // error texts are compared in the C locale's words
        ::umask(022);              // the trees made here have the modes of an installed copy
        qputenv("TZ", "UTC-14");   // local time far from UTC: a date in the wrong zone shows
        ::tzset();
    }

    // Writability is the file system's answer, not the permission bits': a read-only mount refuses
    // even root. (How links are described, the destination and outcome tables show.)
    void writabilityFollowsTheMount() {
        QTemporaryDir dir;
        QVERIFY(files::isWritableFile(pathOf(dir)) && !files::isWritableFile(pathOf(dir) / "x"));
        TmpfsMount readOnly(pathOf(dir) / "ro", 1 << 20, TmpfsMount::Access::readOnly);
        if (!readOnly.ok()) {
            QSKIP(readOnly.whyNot().constData());
        }
        QVERIFY(!files::isWritableFile(pathOf(dir) / "ro"));
    }

    // A rename would replace an empty folder or a link; the move must not.
    void moveNeverReplaces() {
        QTemporaryDir dir;
        const fs::path from = makeBundle(pathOf(dir) / "from.app");
        fs::create_directory(pathOf(dir) / "empty folder");
        fs::create_symlink("missing", pathOf(dir) / "dangling link");
        const QStringList before = snapshotOf(pathOf(dir));
        for (const char* name : {"empty folder", "dangling link"}) {
            const QString text = errorTextOf([&] { files::moveItem(from, pathOf(dir) / name); });
            QVERIFY2(isReadableFileError(text, EEXIST, pathOf(dir) / name), qPrintable(text));
        }
        QCOMPARE(snapshotOf(pathOf(dir)), before);
    }

    void copyKeepsTreeExactly_data() {
        QTest::addColumn<bool>("acrossFileSystems");
        QTest::newRow("same file system") << false;
        // copy_file_range refuses, so the bytes go through plain reads and writes.
        QTest::newRow("across file systems") << true;
    }

    void copyKeepsTreeExactly() {
        QFETCH(bool, acrossFileSystems);
        QTemporaryDir dir;
        TmpfsMount other(pathOf(dir) / "other", 64 << 20, TmpfsMount::Access::readWrite);
        if (acrossFileSystems && !other.ok()) {
            QSKIP(other.whyNot().constData());
        }
        const fs::path source = pathOf(dir) / "source.app";
        const fs::path contents = source / "Contents";
        writeFile(contents / "Resources" / ".hidden", "");
        writeFile(contents / "Resources" / "zażółć gęślą.txt", "utf-8 name");
        std::string big(5 * 1024 * 1024 + 17, '\0');
        for (size_t i = 0; i < big.size(); ++i) {
            big[i] = static_cast<char>(i * 7919 % 251);
        }
        writeFile(contents / "Frameworks" / "libbig.so", big, fs::perms(0755));
        fs::create_symlink("libbig.so", contents / "Frameworks" / "libbig.so.1");
        fs::create_symlink("/etc/passwd", contents / "absolute link");
        fs::create_symlink("../nowhere", contents / "dangling link");
        fs::create_symlink("Resources", contents / "link to folder");
        fs::create_symlink(std::string(4095, 'x'), contents / "longest link");  // Linux's limit
        fs::create_directories(contents / "Empty Folder");

        const fs::path copy = pathOf(dir) / (acrossFileSystems ? "other/copy.app" : "copy.app");
        const mode_t umask = ::umask(077);  // whatever the umask, the copy's modes are its own
        files::copyItem(source, copy);
        ::umask(umask);
        QCOMPARE(snapshotOf(copy), snapshotOf(source));
        QCOMPARE(fs::last_write_time(copy / "Contents" / "Frameworks" / "libbig.so"),
                 fs::last_write_time(contents / "Frameworks" / "libbig.so"));

        // A link at the top is copied as a link too.
        files::copyItem(contents / "link to folder", copy.parent_path() / "copied link");
        QCOMPARE(fs::read_symlink(copy.parent_path() / "copied link"), "Resources");
    }

    // An item at the destination is kept as it was, and nothing of the copy stays. (Special files
    // in the source are the installation's table's: they end the copy the same way.)
    void copyRefusesAndLeavesNothing() {
        QTemporaryDir dir;
        const fs::path source = makeBundle(pathOf(dir) / "source.app");
        const fs::path taken = pathOf(dir) / "taken.app";
        writeFile(taken / "keep", "occupant");
        const QStringList before = snapshotOf(pathOf(dir));
        QVERIFY(isReadableFileError(errorTextOf([&] { files::copyItem(source, taken); }), EEXIST));
        QCOMPARE(snapshotOf(pathOf(dir)), before);
    }

    // A link is removed, never what it points to. (Links inside a tree, and read-only folders for
    // a user who is not root, are the hostile installations' table's.)
    void removeNeverFollowsLinks() {
        QTemporaryDir dir;
        const fs::path root = pathOf(dir);
        writeFile(root / "outside" / "precious", "keep me");
        fs::create_symlink(root / "outside", root / "lone link");
        fs::create_symlink(root / "outside", root / "link with slash");

        files::removeItem(root / "lone link");
        files::removeItem(root / "link with slash/");  // the slash must not lead into the target
        for (const char* name : {"lone link", "link with slash"}) {
            QVERIFY(!fs::exists(fs::symlink_status(root / name)));
        }
        QCOMPARE(readFile(root / "outside" / "precious"), std::string("keep me"));
        QVERIFY(isReadableFileError(errorTextOf([&] { files::removeItem(root / "lone link"); }),
                                    ENOENT, root / "lone link"));
    }

    void trashDirectoryIsTheHomeTrash() {
        TempHome home;
        QCOMPARE(files::trashDirectory(), home.trashFiles());
        qputenv("XDG_DATA_HOME", "relative");  // no data folder: the one in the home folder counts
        QCOMPARE(files::trashDirectory(), home.trashFiles());
        fs::remove_all(home.trashFiles());
        QVERIFY(isReadableFileError(errorTextOf([] { files::trashDirectory(); }), ENOENT,
                                    home.trashFiles()));
    }

    void trashItem_data() {
        QTest::addColumn<bool>("otherDisk");
        QTest::addColumn<Arrange>("arrange");    // given the Trash's top: the data home or disk
        QTest::addColumn<QString>("trashedAs");  // below that top; empty when the move fails
        const Arrange nothing = [](const fs::path&) {};
        QTest::newRow("home Trash made when missing")
            << false << Arrange([](const fs::path& top) { fs::remove_all(top / "Trash"); })
            << "Trash/files/Tamblico.app";
        QTest::newRow("name taken in the home Trash") << false << Arrange([](const fs::path& top) {
            fs::create_directory(top / "Trash" / "files" / "Tamblico.app");
        }) << "Trash/files/Tamblico 2.app";
        QTest::newRow("other disk: .Trash-<uid> made")
            << true << nothing << ".Trash-%uid/files/Tamblico.app";
        QTest::newRow("other disk: administrator's .Trash")
            << true << Arrange([](const fs::path& top) {
                   fs::create_directory(top / ".Trash");
                   fs::permissions(top / ".Trash", fs::perms(01777));
               })
            << ".Trash/%uid/files/Tamblico.app";
        QTest::newRow("other disk: .Trash-<uid> is a link")
            << true << Arrange([](const fs::path& top) {
                   fs::create_directories(top / "elsewhere/files");
                   fs::create_directories(top / "elsewhere/info");
                   fs::create_symlink(top / "elsewhere",
                                      top / (".Trash-" + std::to_string(::geteuid())));
               })
            << "";
        QTest::newRow("other disk: .Trash without the sticky bit")
            << true << Arrange([](const fs::path& top) {
                   fs::create_directory(top / ".Trash");
                   fs::permissions(top / ".Trash", fs::perms(0777));
               })
            << ".Trash-%uid/files/Tamblico.app";
    }

    // The item goes to the Trash of its own file system, under a name of its own, with the info
    // file that records where it was; a Trash reached through a link is not used.
    void trashItem() {
        QFETCH(bool, otherDisk);
        QFETCH(Arrange, arrange);
        QFETCH(QString, trashedAs);
        TempHome home;
        fs::permissions(home.trashFiles().parent_path(), fs::perms(0700));
        fs::path top = home.path() / ".local" / "share";
        std::optional<TmpfsMount> disk;
        if (otherDisk) {
            top = home.path() / "disk";
            disk.emplace(top, 8 << 20, TmpfsMount::Access::readWrite);
            if (!disk->ok()) {
                QSKIP(disk->whyNot().constData());
            }
        }
        arrange(top);
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
        trashedAs.replace("%uid", QString::number(::geteuid()));
        const fs::path trashed = top / trashedAs.toStdString();
        QCOMPARE(snapshotOf(trashed), before);
        QCOMPARE(fs::status(trashed.parent_path().parent_path()).permissions(), fs::perms(0700));
        const std::string info = readFile(trashed.parent_path().parent_path() / "info" /
                                          (trashed.filename().string() + ".trashinfo"));
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

    // HOME names the home folder when it is an absolute path; otherwise the password database
    // does.
    void homeFolder_data() {
        QTest::addColumn<QByteArray>("home");  // null: HOME unset
        QTest::addColumn<bool>("fromVariable");
        QTest::newRow("absolute") << QByteArray("/srv/tester") << true;
        QTest::newRow("unset") << QByteArray() << false;
        QTest::newRow("empty") << QByteArray("") << false;
        QTest::newRow("relative") << QByteArray("tester") << false;
    }

    void homeFolder() {
        QFETCH(QByteArray, home);
        QFETCH(bool, fromVariable);
        const QByteArray saved = qgetenv("HOME");
        const auto restore = qScopeGuard([&] { qputenv("HOME", saved); });
        if (home.isNull()) {
            qunsetenv("HOME");
        } else {
            qputenv("HOME", home);
        }
        const fs::path fromDatabase = ::getpwuid(::getuid())->pw_dir;
        QVERIFY2(fromDatabase != "/", "this user's home folder must not be the root folder");
        QCOMPARE(files::homeDirectoryForCurrentUser(),
                 fromVariable ? fs::path(home.toStdString()) : fromDatabase);
    }
};

QTEST_GUILESS_MAIN(FileManagerTest)
#include "tst_file_manager.moc"
