#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <QTemporaryDir>
#include <QtTest>
#include <filesystem>
#include <functional>

#include "bundle_factory.h"
#include "file_manager.h"
#include "temp_home.h"
#include "tree_snapshot.h"

namespace fs = std::filesystem;
using namespace testsupport;

// Puts something at the given path.
using Occupy = std::function<void(const fs::path&)>;
Q_DECLARE_METATYPE(Occupy)

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

// A readable sentence: the operation, the item in quotes, the system's reason; no C++ noise.
void verifyReadableSentence(const QString& text, const fs::path& item, const char* reason) {
    const QString quoted = QString::fromUtf8("„%1”").arg(QString::fromStdString(item.string()));
    QVERIFY2(text.startsWith("Nie uda") && text.endsWith('.') && text.contains(quoted) &&
                 text.contains(reason) && !text.contains("filesystem") && !text.contains("std::"),
             qPrintable(text));
}

}  // namespace

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
        QVERIFY(!files::fileExists(root / "nothing") && !files::isExecutableFile(root / "nothing"));
        verifyReadableSentence(errorTextOf([&] { files::resourceValues(root / "nothing"); }),
                               root / "nothing", "No such file or directory");

        QVERIFY(files::isWritableFile(root) && !files::isWritableFile(root / "nothing"));
        TmpfsMount readOnly(root / "ro", 1 << 20, TmpfsMount::Access::readOnly);
        if (!readOnly.ok()) {
            QSKIP(readOnly.whyNot().constData());
        }
        QVERIFY(!files::isWritableFile(root / "ro"));  // even for root
    }

    void moveNeverReplaces_data() {
        QTest::addColumn<Occupy>("occupy");
        QTest::newRow("file") << Occupy([](const fs::path& p) { writeFile(p, "occupant"); });
        QTest::newRow("empty folder") << Occupy([](const fs::path& p) { fs::create_directory(p); });
        QTest::newRow("full folder") << Occupy([](const fs::path& p) { writeFile(p / "in", "x"); });
        QTest::newRow("dangling link")
            << Occupy([](const fs::path& p) { fs::create_symlink("missing", p); });
    }

    void moveNeverReplaces() {
        QFETCH(Occupy, occupy);
        QTemporaryDir dir;
        const fs::path from = makeBundle(pathOf(dir) / "from.app");
        const fs::path to = pathOf(dir) / "to.app";
        occupy(to);
        const QStringList before = snapshotOf(pathOf(dir));
        verifyReadableSentence(errorTextOf([&] { files::moveItem(from, to); }), to, "File exists");
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
        writeFile(contents / "MacOS" / "Vantorel", "#!/bin/sh\n", fs::perms(0755));
        writeFile(contents / "Resources" / ".hidden", "hidden");
        writeFile(contents / "Resources" / "empty", "");
        writeFile(contents / "Resources" / "zażółć gęślą.txt", "utf-8 name");
        writeFile(contents / "Resources" / "private", "secret", fs::perms(0600));
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

    void copyRefusesAndLeavesNothing_data() {
        QTest::addColumn<int>("special");  // the kind of special file in the source, or 0
        QTest::addColumn<QString>("reason");
        QTest::newRow("fifo") << int(S_IFIFO) << QString::fromUtf8("plik specjalny");
        QTest::newRow("device") << int(S_IFCHR) << QString::fromUtf8("plik specjalny");
        QTest::newRow("destination taken") << 0 << "File exists";
    }

    void copyRefusesAndLeavesNothing() {
        QFETCH(int, special);
        QFETCH(QString, reason);
        QTemporaryDir dir;
        const fs::path source = makeBundle(pathOf(dir) / "source.app");
        const fs::path destination = pathOf(dir) / "destination.app";
        if (special == 0) {
            writeFile(destination / "keep", "occupant");
        } else if (::mknod((source / "Contents" / "zz-special").c_str(), mode_t(special) | 0600,
                           makedev(1, 5)) != 0) {  // 1,5: /dev/zero, which never ends
            QSKIP("making a device node needs root");
        }
        const QStringList before = snapshotOf(destination);
        const QString text = errorTextOf([&] { files::copyItem(source, destination); });
        QVERIFY2(text.startsWith("Nie uda") && text.contains(reason) && text.endsWith('.'),
                 qPrintable(text));
        QCOMPARE(snapshotOf(destination), before);
    }

    void copyOnFullDiskLeavesNothing() {
        QTemporaryDir dir;
        TmpfsMount small(pathOf(dir) / "small", 1 << 20, TmpfsMount::Access::readWrite);
        if (!small.ok()) {
            QSKIP(small.whyNot().constData());
        }
        const fs::path source = makeBundle(pathOf(dir) / "source.app");
        writeFile(source / "Contents" / "Resources" / "large", std::string(3 << 20, 'x'));
        // Files are copied in parallel: whichever file runs out of space first is named.
        const QString text =
            errorTextOf([&] { files::copyItem(source, pathOf(dir) / "small" / "copy.app"); });
        QVERIFY2(text.startsWith(QString::fromUtf8("Nie udało się skopiować „") +
                                 QString::fromStdString(source.string())) &&
                     text.endsWith(": No space left on device."),
                 qPrintable(text));
        QVERIFY(fs::is_empty(pathOf(dir) / "small"));
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
        verifyReadableSentence(errorTextOf([&] { files::removeItem(root / "victim"); }),
                               root / "victim", "No such file or directory");
    }

    // The item goes to the user's Trash, which is made, private to the user, when missing. (When
    // none can be made, the engine's tests see the item stay where it is.)
    void trashUsesTheUsersTrash() {
        TempHome home;
        QCOMPARE(files::trashDirectory(), home.trashFiles());
        fs::remove_all(home.trashFiles().parent_path());
        verifyReadableSentence(errorTextOf([] { files::trashDirectory(); }), home.trashFiles(),
                               "No such file or directory");
        const fs::path item = makeBundle(home.path() / "Applications" / "Tamblico.app");
        files::trashItem(item);
        QVERIFY(!fs::exists(item));
        QVERIFY(fs::is_directory(home.trashFiles() / "Tamblico.app" / "Contents"));
        QCOMPARE(fs::status(home.trashFiles().parent_path()).permissions(), fs::perms(0700));
    }
};

QTEST_GUILESS_MAIN(FileManagerTest)
#include "tst_file_manager.moc"
