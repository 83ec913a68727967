#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <QTemporaryDir>
#include <QtTest>
#include <filesystem>
#include <functional>

#include "bundle_factory.h"
#include "file_manager.h"
#include "readable_error.h"
#include "temp_home.h"
#include "tree_snapshot.h"

namespace fs = std::filesystem;
using namespace testsupport;

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
    }

    // fileExists and isExecutableFile follow links; resourceValues describes the link itself.
    void queries() {
        QTemporaryDir dir;
        const fs::path root = pathOf(dir);
        fs::create_directory(root / "folder");
        writeFile(root / "tool", "#!/bin/sh\n", fs::perms(0755));
        writeFile(root / "data", "x");
        fs::create_symlink(root / "folder", root / "link to folder");
        fs::create_symlink(root / "tool", root / "link to tool");
        fs::create_symlink(root / "missing", root / "dangling");
        struct Row {
            const char* name;
            bool exists, isLink, isFolder, isExecutable;
        };
        for (const Row& row :
             {Row{"folder", true, false, true, false}, Row{"tool", true, false, false, true},
              Row{"data", true, false, false, false},
              Row{"link to folder", true, true, false, false},
              Row{"link to tool", true, true, false, true},
              Row{"dangling", false, true, false, false}}) {
            const fs::path p = root / row.name;
            const auto values = files::resourceValues(p);
            QVERIFY2(files::fileExists(p) == row.exists && values.isSymbolicLink == row.isLink &&
                         values.isDirectory == row.isFolder &&
                         files::isExecutableFile(p) == row.isExecutable,
                     row.name);
        }
        QVERIFY(isReadableFileError(errorTextOf([&] { files::resourceValues(root / "nothing"); }),
                                    ENOENT, root / "nothing"));

        QVERIFY(files::isWritableFile(root) && !files::isWritableFile(root / "nothing"));
        TmpfsMount readOnly(root / "ro", 1 << 20, TmpfsMount::Access::readOnly);
        if (!readOnly.ok()) {
            QSKIP(readOnly.whyNot().constData());
        }
        QVERIFY(!files::isWritableFile(root / "ro"));  // even for root
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
        writeFile(contents / "Resources" / "zażółć gęślą.txt", "utf-8 name", fs::perms(0600));
        std::string big(5 * 1024 * 1024 + 17, '\0');
        for (size_t i = 0; i < big.size(); ++i) {
            big[i] = static_cast<char>(i * 7919 % 251);
        }
        writeFile(contents / "Frameworks" / "libbig.so", big, fs::perms(0755));
        fs::create_symlink("libbig.so", contents / "Frameworks" / "libbig.so.1");
        fs::create_symlink("/etc/passwd", contents / "absolute link");
        fs::create_symlink("../nowhere", contents / "dangling link");
        fs::create_symlink("Resources", contents / "link to folder");
        fs::create_directories(contents / "Empty Folder");
        writeFile(contents / "Locked" / "inside", "in a read-only folder");
        fs::permissions(contents / "Locked", fs::perms(0555));

        const fs::path copy = pathOf(dir) / (acrossFileSystems ? "other/copy.app" : "copy.app");
        files::copyItem(source, copy);
        QCOMPARE(snapshotOf(copy), snapshotOf(source));
        QCOMPARE(fs::last_write_time(copy / "Contents" / "Frameworks" / "libbig.so"),
                 fs::last_write_time(contents / "Frameworks" / "libbig.so"));
        fs::permissions(contents / "Locked", fs::perms(0755));
        fs::permissions(copy / "Contents" / "Locked", fs::perms(0755));

        // A link at the top is copied as a link too.
        files::copyItem(contents / "link to folder", copy.parent_path() / "copied link");
        QCOMPARE(fs::read_symlink(copy.parent_path() / "copied link"), "Resources");
    }

    // A device in the source (one that never ends) is refused, and an item at the destination is
    // kept as it was; either way nothing of the copy stays.
    void copyRefusesAndLeavesNothing() {
        QTemporaryDir dir;
        const fs::path source = makeBundle(pathOf(dir) / "source.app");
        const fs::path taken = pathOf(dir) / "taken.app";
        writeFile(taken / "keep", "occupant");
        const QStringList before = snapshotOf(pathOf(dir));
        QVERIFY(isReadableFileError(errorTextOf([&] { files::copyItem(source, taken); }), EEXIST));
        QCOMPARE(snapshotOf(pathOf(dir)), before);

        if (::mknod((source / "Contents" / "zero").c_str(), S_IFCHR | 0600, makedev(1, 5)) != 0) {
            QSKIP("making a device node needs root");
        }
        const QString text = errorTextOf([&] { files::copyItem(source, pathOf(dir) / "c.app"); });
        QVERIFY2(text.contains("plik specjalny") && text.endsWith('.'), qPrintable(text));
        QVERIFY(!fs::exists(pathOf(dir) / "c.app"));
    }

    void removeNeverFollowsLinks() {
        QTemporaryDir dir;
        const fs::path root = pathOf(dir);
        writeFile(root / "outside" / "precious", "keep me");
        writeFile(root / "victim" / "a" / "b", "x");
        fs::create_symlink(root / "outside", root / "victim" / "link out");
        fs::create_symlink(root / "outside" / "precious", root / "victim" / "a" / "file link");
        fs::permissions(root / "victim" / "a", fs::perms(0555));
        fs::create_symlink(root / "outside", root / "lone link");
        fs::create_symlink(root / "outside", root / "link with slash");

        files::removeItem(root / "victim");
        files::removeItem(root / "lone link");
        files::removeItem(root / "link with slash/");  // the slash must not lead into the target
        for (const char* name : {"victim", "lone link", "link with slash"}) {
            QVERIFY(!fs::exists(fs::symlink_status(root / name)));
        }
        QCOMPARE(readFile(root / "outside" / "precious"), std::string("keep me"));
        QVERIFY(isReadableFileError(errorTextOf([&] { files::removeItem(root / "victim"); }),
                                    ENOENT, root / "victim"));
    }

    // The item goes to the user's Trash, which is made, private to the user, when missing.
    void trashUsesTheUsersTrash() {
        TempHome home;
        QCOMPARE(files::trashDirectory(), home.trashFiles());
        fs::remove_all(home.trashFiles().parent_path());
        QVERIFY(isReadableFileError(errorTextOf([] { files::trashDirectory(); }), ENOENT,
                                    home.trashFiles()));
        const fs::path item = makeBundle(home.path() / "Applications" / "Tamblico.app");
        files::trashItem(item);
        QVERIFY(fs::is_directory(home.trashFiles() / "Tamblico.app" / "Contents"));
        QCOMPARE(fs::status(home.trashFiles().parent_path()).permissions(), fs::perms(0700));

        // A relative $XDG_DATA_HOME is no data folder: the Trash is the one in the home folder,
        // and nothing is moved to a Trash relative to the working folder instead.
        qputenv("XDG_DATA_HOME", "relative");
        QCOMPARE(files::trashDirectory(), home.trashFiles());
        const fs::path other = makeBundle(home.path() / "Other.app");
        QVERIFY(::chdir(home.path().c_str()) == 0);
        const QString text = errorTextOf([&] { files::trashItem(other); });
        QVERIFY(::chdir("/") == 0);
        QVERIFY2(text.startsWith("Nie uda") || fs::exists(home.trashFiles() / "Other.app"),
                 qPrintable(text));
        QVERIFY(!fs::exists(home.path() / "files") && !fs::exists(home.path() / "relative"));
    }
};

QTEST_GUILESS_MAIN(FileManagerTest)
#include "tst_file_manager.moc"
