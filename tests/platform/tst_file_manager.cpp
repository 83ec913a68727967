#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <QTemporaryDir>
#include <QtTest>
#include <algorithm>
#include <filesystem>
#include <functional>

#include "bundle_factory.h"
#include "file_manager.h"
#include "temp_home.h"

namespace fs = std::filesystem;
using namespace testsupport;

namespace {

// Everything below a folder, as "relative path: kind mode [content | link target]" lines, so that
// two trees can be compared in one QCOMPARE.
QStringList describeTree(const fs::path& root) {
    QStringList lines;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
         ++it) {
        const fs::path& p = it->path();
        struct stat st {};
        ::lstat(p.c_str(), &st);
        QString line = QString::fromStdString(p.lexically_relative(root).string()) + ": " +
                       QString::number(st.st_mode, 8);
        if (S_ISLNK(st.st_mode)) {
            line += " -> " + QString::fromStdString(fs::read_symlink(p).string());
        } else if (S_ISREG(st.st_mode)) {
            line += " " + QString::number(qHash(QByteArray::fromStdString(readFile(p))));
            line += " mtime " + QString::number(st.st_mtim.tv_sec);
        }
        lines << line;
    }
    lines.sort();
    return lines;
}

void makeFifo(const fs::path& p) {
    QCOMPARE(::mkfifo(p.c_str(), 0644), 0);
}

void makeSocket(const fs::path& p) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, p.c_str(), sizeof address.sun_path - 1);
    QCOMPARE(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::close(fd);
}

// The text of the FileError that `operation` throws, or a failure of the test when none comes.
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
    QVERIFY2(text.startsWith("Nie uda"), qPrintable(text));
    QVERIFY2(text.contains(QString::fromUtf8("\u201E") + QString::fromStdString(item.string()) +
                           QString::fromUtf8("\u201D")),
             qPrintable(text));
    QVERIFY2(text.contains(reason), qPrintable(text));
    QVERIFY2(text.endsWith('.'), qPrintable(text));
    QVERIFY2(!text.contains("filesystem") && !text.contains("std::"), qPrintable(text));
}

}  // namespace

class FileManagerTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        // Error texts are compared in the C locale's words.
        ::setlocale(LC_ALL, "C");
    }

    void linkSemantics() {
        QTemporaryDir dir;
        const fs::path root = pathOf(dir);
        fs::create_directory(root / "folder");
        writeFile(root / "file", "x");
        fs::create_symlink(root / "folder", root / "link to folder");
        fs::create_symlink(root / "file", root / "link to file");
        fs::create_symlink(root / "missing", root / "dangling");

        struct Row {
            const char* name;
            bool exists;
            bool isLink;
            bool isFolder;
        };
        for (const Row& row :
             {Row{"folder", true, false, true}, Row{"file", true, false, false},
              Row{"link to folder", true, true, false}, Row{"link to file", true, true, false},
              Row{"dangling", false, true, false}}) {
            const fs::path p = root / row.name;
            QCOMPARE(files::fileExists(p), row.exists);
            const auto values = files::resourceValues(p);
            QCOMPARE(values.isSymbolicLink, std::optional<bool>(row.isLink));
            QCOMPARE(values.isDirectory, std::optional<bool>(row.isFolder));
        }
        QVERIFY(!files::fileExists(root / "nothing"));
        verifyReadableSentence(errorTextOf([&] { files::resourceValues(root / "nothing"); }),
                               root / "nothing", "No such file or directory");
    }

    void executableAndWritable() {
        QTemporaryDir dir;
        const fs::path root = pathOf(dir);
        writeFile(root / "tool", "#!/bin/sh\n", fs::perms(0755));
        writeFile(root / "data", "x", fs::perms(0644));
        fs::create_directory(root / "folder");
        fs::create_symlink(root / "tool", root / "link to tool");
        fs::create_symlink(root / "missing", root / "dangling");

        QVERIFY(files::isExecutableFile(root / "tool"));
        QVERIFY(files::isExecutableFile(root / "link to tool"));
        QVERIFY(!files::isExecutableFile(root / "data"));
        QVERIFY(!files::isExecutableFile(root / "folder"));
        QVERIFY(!files::isExecutableFile(root / "dangling"));
        QVERIFY(!files::isExecutableFile(root / "missing"));

        QVERIFY(files::isWritableFile(root));
        QVERIFY(!files::isWritableFile(root / "missing"));

        TmpfsMount readOnly(root / "ro", 1 << 20, TmpfsMount::Access::readOnly);
        if (!readOnly.ok()) {
            QSKIP(readOnly.whyNot().constData());
        }
        QVERIFY(!files::isWritableFile(root / "ro"));
    }

    void moveNeverReplaces_data() {
        QTest::addColumn<QString>("occupant");
        QTest::newRow("file") << "file";
        QTest::newRow("empty folder") << "empty folder";
        QTest::newRow("full folder") << "full folder";
        QTest::newRow("link") << "link";
        QTest::newRow("dangling link") << "dangling link";
    }

    void moveNeverReplaces() {
        QFETCH(QString, occupant);
        QTemporaryDir dir;
        const fs::path root = pathOf(dir);
        const fs::path from = makeBundle(root / "from.app");
        const fs::path to = root / "to.app";
        if (occupant == "file") {
            writeFile(to, "occupant");
        } else if (occupant == "empty folder") {
            fs::create_directory(to);
        } else if (occupant == "full folder") {
            writeFile(to / "inside", "occupant");
        } else if (occupant == "link") {
            fs::create_symlink(from, to);
        } else {
            fs::create_symlink(root / "missing", to);
        }
        const QStringList before = describeTree(root);

        verifyReadableSentence(errorTextOf([&] { files::moveItem(from, to); }), to, "File exists");
        QCOMPARE(describeTree(root), before);
    }

    void moveRenamesAndHonoursFaultHook() {
        QTemporaryDir dir;
        const fs::path root = pathOf(dir);
        const fs::path from = makeBundle(root / "from.app", {.marker = "moved"});
        files::setMoveFaultHookForTesting(
            [&](const fs::path& a, const fs::path&) { return a == from ? EIO : 0; });
        verifyReadableSentence(errorTextOf([&] { files::moveItem(from, root / "to.app"); }), from,
                               "Input/output error");
        QVERIFY(fs::exists(from));
        files::setMoveFaultHookForTesting({});

        files::moveItem(from, root / "to.app");
        QVERIFY(!fs::exists(from));
        QCOMPARE(markerOf(root / "to.app"), std::string("moved"));
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
        writeFile(source / "Contents" / "MacOS" / "Vantorel", "#!/bin/sh\n", fs::perms(0755));
        writeFile(source / "Contents" / "Resources" / ".hidden", "hidden");
        writeFile(source / "Contents" / "Resources" / "empty", "");
        writeFile(source / "Contents" / "Resources" / "zażółć gęślą.txt", "utf-8 name");
        writeFile(source / "Contents" / "Resources" / "private", "secret", fs::perms(0600));
        std::string big(5 * 1024 * 1024 + 17, '\0');
        for (size_t i = 0; i < big.size(); ++i) {
            big[i] = static_cast<char>(i * 7919 % 251);
        }
        writeFile(source / "Contents" / "Frameworks" / "libbig.so", big, fs::perms(0755));
        fs::create_symlink("libbig.so", source / "Contents" / "Frameworks" / "libbig.so.1");
        fs::create_symlink("/etc/passwd", source / "Contents" / "absolute link");
        fs::create_symlink("../nowhere", source / "Contents" / "dangling link");
        fs::create_symlink("Resources", source / "Contents" / "link to folder");
        fs::create_directories(source / "Contents" / "Empty Folder");
        writeFile(source / "Contents" / "Locked" / "inside", "in a read-only folder");
        fs::permissions(source / "Contents" / "Locked", fs::perms(0555));

        const fs::path copy = pathOf(dir) / (acrossFileSystems ? "other/copy.app" : "copy.app");
        files::copyItem(source, copy);
        QCOMPARE(describeTree(copy), describeTree(source));
        QCOMPARE(readFile(copy / "Contents" / "Frameworks" / "libbig.so"), big);

        fs::permissions(source / "Contents" / "Locked", fs::perms(0755));
        fs::permissions(copy / "Contents" / "Locked", fs::perms(0755));
    }

    void copyOfLinkOrFileAtTop() {
        QTemporaryDir dir;
        const fs::path root = pathOf(dir);
        const fs::path bundle = makeBundle(root / "real.app");
        fs::create_symlink(bundle, root / "link.app");
        files::copyItem(root / "link.app", root / "copied-link.app");
        QVERIFY(fs::is_symlink(root / "copied-link.app"));
        QCOMPARE(fs::read_symlink(root / "copied-link.app"), bundle);

        writeFile(root / "single", "one file", fs::perms(0750));
        files::copyItem(root / "single", root / "single copy");
        QCOMPARE(readFile(root / "single copy"), std::string("one file"));
        QCOMPARE(fs::status(root / "single copy").permissions(), fs::perms(0750));
    }

    void copyRefusesAndLeavesNothing_data() {
        QTest::addColumn<QString>("problem");
        QTest::addColumn<QString>("reason");
        QTest::newRow("fifo") << "fifo" << QString::fromUtf8("plik specjalny");
        QTest::newRow("socket") << "socket" << QString::fromUtf8("plik specjalny");
        QTest::newRow("device") << "device" << QString::fromUtf8("plik specjalny");
        QTest::newRow("destination is a file") << "destination file"
                                               << "File exists";
        QTest::newRow("destination is a folder") << "destination folder"
                                                 << "File exists";
        QTest::newRow("source missing") << "source missing"
                                        << "No such file or directory";
    }

    void copyRefusesAndLeavesNothing() {
        QFETCH(QString, problem);
        QFETCH(QString, reason);
        QTemporaryDir dir;
        const fs::path root = pathOf(dir);
        fs::path source = makeBundle(root / "source.app");
        const fs::path special = source / "Contents" / "Resources" / "zz-special";
        const fs::path destination = root / "destination.app";
        if (problem == "fifo") {
            makeFifo(special);
        } else if (problem == "socket") {
            makeSocket(special);
        } else if (problem == "device") {
            if (::mknod(special.c_str(), S_IFCHR | 0600, makedev(1, 3)) != 0) {
                QSKIP("making a device node needs root");
            }
        } else if (problem == "destination file") {
            writeFile(destination, "occupant");
        } else if (problem == "destination folder") {
            writeFile(destination / "keep", "occupant");
        } else {
            source = root / "missing.app";
        }
        const bool destinationExisted = fs::exists(destination);
        const QStringList before = destinationExisted ? describeTree(root) : QStringList{};

        const QString text = errorTextOf([&] { files::copyItem(source, destination); });
        QVERIFY2(text.contains(reason), qPrintable(text));
        QVERIFY2(text.startsWith("Nie uda") && text.endsWith('.'), qPrintable(text));
        if (destinationExisted) {
            QCOMPARE(describeTree(root), before);
        } else {
            QVERIFY(!fs::exists(fs::symlink_status(destination)));
        }
    }

    void copyOnFullDiskLeavesNothing() {
        QTemporaryDir dir;
        const fs::path root = pathOf(dir);
        TmpfsMount small(root / "small", 1 << 20, TmpfsMount::Access::readWrite);
        if (!small.ok()) {
            QSKIP(small.whyNot().constData());
        }
        const fs::path source = makeBundle(root / "source.app");
        writeFile(source / "Contents" / "Resources" / "large", std::string(3 << 20, 'x'));
        const fs::path destination = root / "small" / "copy.app";
        // Files are copied in parallel: whichever file runs out of space first is named.
        const QString text = errorTextOf([&] { files::copyItem(source, destination); });
        QVERIFY2(text.startsWith(QString::fromUtf8("Nie udało się skopiować „") +
                                 QString::fromStdString(source.string())),
                 qPrintable(text));
        QVERIFY2(text.endsWith(": No space left on device."), qPrintable(text));
        QVERIFY(!fs::exists(destination));
    }

    void removeNeverFollowsLinks() {
        QTemporaryDir dir;
        const fs::path root = pathOf(dir);
        writeFile(root / "outside" / "precious", "keep me");
        writeFile(root / "victim" / "a" / "b", "x");
        fs::create_symlink(root / "outside", root / "victim" / "link out");
        fs::create_symlink(root / "outside" / "precious", root / "victim" / "a" / "file link");
        fs::permissions(root / "victim" / "a", fs::perms(0555));

        files::removeItem(root / "victim");
        QVERIFY(!fs::exists(root / "victim"));
        QCOMPARE(readFile(root / "outside" / "precious"), std::string("keep me"));

        fs::create_symlink(root / "outside", root / "lone link");
        files::removeItem(root / "lone link");
        QVERIFY(fs::exists(root / "outside" / "precious"));

        verifyReadableSentence(errorTextOf([&] { files::removeItem(root / "victim"); }),
                               root / "victim", "No such file or directory");
    }

    void directoriesAreCreatedAndListed() {
        QTemporaryDir dir;
        const fs::path root = pathOf(dir);
        files::createDirectory(root / "a" / "b" / "c");
        files::createDirectory(root / "a" / "b" / "c");  // already there: fine
        QVERIFY(fs::is_directory(root / "a" / "b" / "c"));

        writeFile(root / "file", "x");
        verifyReadableSentence(errorTextOf([&] { files::createDirectory(root / "file"); }),
                               root / "file", "");
        verifyReadableSentence(errorTextOf([&] { files::createDirectory(root / "file" / "sub"); }),
                               root / "file" / "sub", "");

        writeFile(root / "list" / ".hidden", "");
        writeFile(root / "list" / "visible", "");
        fs::create_directory(root / "list" / "folder");
        auto names = files::contentsOfDirectory(root / "list");
        std::sort(names.begin(), names.end());
        QCOMPARE(names, (std::vector<std::string>{".hidden", "folder", "visible"}));
        verifyReadableSentence(errorTextOf([&] { files::contentsOfDirectory(root / "nope"); }),
                               root / "nope", "No such file or directory");
        verifyReadableSentence(errorTextOf([&] { files::contentsOfDirectory(root / "file"); }),
                               root / "file", "Not a directory");
    }

    void trashUsesTheUsersTrash() {
        TempHome home;
        QCOMPARE(files::trashDirectory(), home.trashFiles());
        QCOMPARE(files::homeDirectoryForCurrentUser(), home.path());

        const fs::path item = makeBundle(home.path() / "Applications" / "Tamblico.app");
        files::trashItem(item);
        QVERIFY(!fs::exists(item));
        QVERIFY(fs::is_directory(home.trashFiles() / "Tamblico.app" / "Contents"));

        verifyReadableSentence(errorTextOf([&] { files::trashItem(item); }), item,
                               "No such file or directory");

        fs::remove_all(home.path() / ".local" / "share" / "Trash");
        verifyReadableSentence(errorTextOf([] { files::trashDirectory(); }), home.trashFiles(),
                               "No such file or directory");

        // A missing Trash is made, private to the user.
        const fs::path another = makeBundle(home.path() / "Applications" / "Tamblico.app");
        files::trashItem(another);
        QVERIFY(fs::is_directory(home.trashFiles() / "Tamblico.app" / "Contents"));
        QCOMPARE(fs::status(home.trashFiles().parent_path()).permissions(), fs::perms(0700));
    }

    // When no Trash can be made, the item stays where it is: it must not end up in a "files" folder
    // under the working folder, which is where the Trash move of the Qt library puts it then.
    void trashRefusesWhenNoTrashCanBeMade() {
        TempHome home;
        const fs::path item = makeBundle(home.path() / "Applications" / "Tamblico.app");
        const fs::path trash = home.path() / ".local" / "share" / "Trash";
        fs::remove_all(trash);
        writeFile(trash, "not a folder");
        QTemporaryDir workingFolder;
        const QString previous = QDir::currentPath();
        QVERIFY(QDir::setCurrent(workingFolder.path()));

        const QString text = errorTextOf([&] { files::trashItem(item); });

        QVERIFY(QDir::setCurrent(previous));
        verifyReadableSentence(text, item, "Not a directory");
        QVERIFY(fs::is_directory(item / "Contents"));
        QVERIFY(fs::is_empty(pathOf(workingFolder)));
    }
};

QTEST_GUILESS_MAIN(FileManagerTest)
#include "tst_file_manager.moc"
