#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QProcess>
#include <QtTest>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

#include "application_bundle.h"
#include "bundle_factory.h"
#include "code_signature.h"
#include "file_manager.h"
#include "install_engine.h"
#include "readable_error.h"
#include "temp_home.h"
#include "tree_snapshot.h"

namespace fs = std::filesystem;
using namespace testsupport;

namespace {

// One installation against a hostile folder or payload, and what it has at hand.
struct World {
    TempHome home;
    std::optional<TmpfsMount> disk;  // a second file system, where a row needs one
    fs::path payload = makeBundle(home.path() / "payload" / "Vantorel.app");
    fs::path directory = home.path() / "Applications";
    fs::path outside = home.path() / "outside";  // the user's, and no installation's business
    files::CopyHook duringCopy;
    std::function<void(const fs::path&)> validate = [](const fs::path&) {};
    bool asUnprivilegedUser = false;
    size_t hiddenAfter = 0;  // entries with a leading dot left in the applications folder
};

using Arrange = std::function<QByteArray(World&)>;  // a reason to skip, or nothing
using Check = std::function<void(const World&)>;

struct Attack {
    Arrange arrange;
    bool succeeds;
    Check check;
};

// A racing process's move: once the copy has written the item that `trigger` picks, the staging
// copy's Contents folder is renamed away and a link to the outside folder takes its place. The
// outside folder holds a Resources folder too, so a copy that follows the link finds where to
// write.
Arrange swapContentsForLink(std::function<bool(const fs::path& inStaging)> trigger) {
    return [trigger](World& w) {
        for (int i = 1; i <= 4; ++i) {
            writeFile(w.payload / "Contents" / "Resources" / ("r" + std::to_string(i)),
                      std::string(i * 1000, 'r'));
        }
        w.duringCopy = [&w, trigger, done = std::make_shared<bool>()](const fs::path& written) {
            const fs::path staging = w.directory / *written.lexically_relative(w.directory).begin();
            if (!*done && trigger(written.lexically_relative(staging))) {
                *done = true;
                fs::rename(staging / "Contents", w.home.path() / "moved away");
                fs::create_symlink(w.outside, staging / "Contents");
            }
        };
        return QByteArray();
    };
}

// A payload no one should install as it is: a setuid executable, a folder anyone may write, an
// Info.plist anyone may change, and a read-only folder with a file inside.
void giveUnsafeModes(const fs::path& bundle) {
    fs::permissions(bundle / "Contents" / "MacOS" / "Vantorel", fs::perms(04755));
    fs::permissions(bundle / "Contents" / "Resources", fs::perms(0777));
    fs::permissions(bundle / "Contents" / "Info.plist", fs::perms(0666));
    writeFile(bundle / "Contents" / "Locked" / "inside", "read-only folder");
    fs::permissions(bundle / "Contents" / "Locked", fs::perms(0555));
}

// Runs the installation in a child process as a user who is not root: `nobody` when the test runs
// as root, else the test's own user. The child is copied where that user may run it.
QString installUnprivileged(const World& w) {
    const fs::path child = w.home.path() / "install_child";
    fs::copy_file(INSTALL_CHILD, child, fs::copy_options::overwrite_existing);
    QStringList command{QString::fromStdString(child.string()),
                        QString::fromStdString(w.payload.string()),
                        QString::fromStdString(w.directory.string()), "0"};
    if (::geteuid() == 0) {
        command = QStringList{"--reuid=nobody", "--regid=nogroup", "--clear-groups"} + command;
        command.prepend("setpriv");
    }
    QProcess process;
    process.start(command.takeFirst(), command);
    if (!process.waitForFinished(120000) || process.exitStatus() != QProcess::NormalExit) {
        return "the child did not run: " + process.errorString();
    }
    return process.exitCode() == 0 ? QString() : QString::fromUtf8(process.readAllStandardError());
}

void lchownTree(const fs::path& top, const char* user) {
    const passwd* entry = ::getpwnam(user);
    QVERIFY(entry != nullptr);
    QCOMPARE(::lchown(top.c_str(), entry->pw_uid, entry->pw_gid), 0);
    for (const auto& item : fs::recursive_directory_iterator(top)) {
        QCOMPARE(::lchown(item.path().c_str(), entry->pw_uid, entry->pw_gid), 0);
    }
}

mode_t modeOf(const fs::path& item) {
    struct stat st {};
    return ::lstat(item.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

}  // namespace

Q_DECLARE_METATYPE(Attack)

class InstallHostileTest : public QObject {
    Q_OBJECT

private slots:
    void hostileFolderOrPayload_data() {
        QTest::addColumn<Attack>("attack");
        // The copy makes each folder before any file: once made, a folder is walked into, and
        // once a file is in it, more files and its final mode follow.
        QTest::newRow("staging folder swapped for a link once a folder in it is made") << Attack{
            swapContentsForLink([](const fs::path& item) { return item == "Contents/Resources"; }),
            false,
            {}};
        QTest::newRow("staging folder swapped for a link once a file in it is written")
            << Attack{swapContentsForLink([](const fs::path& item) {
                          return item.parent_path() == "Contents/Resources";
                      }),
                      false,
                      {}};

        // The installed copy gets modes of its own; a user who is not root replaces a copy with a
        // read-only folder and removes it completely (the next installation removes the backup).
        QTest::newRow("unsafe modes, installed by a user who is not root")
            << Attack{[](World& w) {
                          giveUnsafeModes(w.payload);
                          giveUnsafeModes(makeBundle(w.directory / applicationBundleName));
                          fs::permissions(w.home.path(), fs::perms(0755));
                          if (::geteuid() == 0) {
                              lchownTree(w.directory, "nobody");
                          }
                          w.asUnprivilegedUser = true;
                          w.hiddenAfter = 1;  // the backup of the second installation
                          return QByteArray();
                      },
                      true,
                      [](const World& w) {
                          const fs::path app = w.directory / applicationBundleName;
                          QCOMPARE(modeOf(app / "Contents" / "MacOS" / "Vantorel"), mode_t(0755));
                          QCOMPARE(modeOf(app / "Contents" / "Resources"), mode_t(0755));
                          QCOMPARE(modeOf(app / "Contents" / "Info.plist"), mode_t(0644));
                          QCOMPARE(modeOf(app / "Contents" / "Locked"), mode_t(0755));
                          QCOMPARE(modeOf(app / "Contents" / "Locked" / "inside"), mode_t(0644));
                      }};

        // On a second file system, a copy under the former name goes to that file system's Trash;
        // a link there leads nowhere.
        QTest::newRow(".Trash-<uid> on another file system is a link") << Attack{
            [](World& w) {
                w.disk.emplace(w.home.path() / "disk", 16 << 20, TmpfsMount::Access::readWrite);
                if (!w.disk->ok()) {
                    return w.disk->whyNot();
                }
                const fs::path disk = w.home.path() / "disk";
                w.directory = disk / "Applications";
                makeBundle(w.directory / formerApplicationBundleName, {.marker = "former"});
                w.outside = disk / "elsewhere";
                fs::create_directories(w.outside / "files");
                fs::create_directories(w.outside / "info");
                fs::create_symlink(w.outside, disk / (".Trash-" + std::to_string(::geteuid())));
                return QByteArray();
            },
            true,
            [](const World& w) {
                QCOMPARE(markerOf(w.directory / formerApplicationBundleName), "former");
                QVERIFY(fs::is_empty(w.home.trashFiles()));
            }};

        // 4,095 bytes: the longest target Linux stores, longer than any first read buffer.
        static const std::string longTarget = [] {
            std::string target;
            while (target.size() < 4094) {
                target += "./";
            }
            return target + "x";
        }();
        QTest::newRow("link target of 4,095 bytes, signed") << Attack{
            [](World& w) {
                fs::create_symlink(longTarget, w.payload / "Contents" / "Resources" / "long");
                const fs::path key = w.home.path() / "key.pem";
                codesign::generateSigningKey(key);
                codesign::signBundle(w.payload, key);
                w.validate = [](const fs::path& bundle) {
                    const auto check = codesign::verifyBundleSignature(bundle);
                    if (!check.valid) {
                        throw std::runtime_error(check.reason);
                    }
                };
                return QByteArray();
            },
            true,
            [](const World& w) {
                const fs::path link =
                    w.directory / applicationBundleName / "Contents" / "Resources" / "long";
                QCOMPARE(fs::read_symlink(link).string(), longTarget);
            }};
    }

    void hostileFolderOrPayload() {
        QFETCH(Attack, attack);
        World w;
        writeFile(w.outside / "precious", "keep me", fs::perms(0600));
        writeFile(w.outside / "Resources" / "kept", "keep me too", fs::perms(0600));
        fs::permissions(w.outside / "Resources", fs::perms(0700));
        fs::permissions(w.outside, fs::perms(0700));
        fs::create_directories(w.directory);
        if (const QByteArray skip = attack.arrange(w); !skip.isEmpty()) {
            QSKIP(skip.constData());
        }
        const QStringList outsideBefore = snapshotOf(w.outside);

        files::setCopyHookForTesting(w.duringCopy);
        QString failure;
        try {
            if (w.asUnprivilegedUser) {
                // Twice: the second installation removes the backup that the first one made.
                failure = installUnprivileged(w);
                failure = failure.isEmpty() ? installUnprivileged(w) : failure;
            } else {
                InstallEngine::install(w.payload, w.directory, w.validate);
            }
        } catch (const std::exception& error) {
            failure = QString::fromUtf8(error.what());
        }
        files::setCopyHookForTesting(nullptr);

        QVERIFY2(failure.isEmpty() == attack.succeeds, qPrintable(failure));
        if (!attack.succeeds) {
            QVERIFY2(isReadableFileError(failure, ELOOP) || isReadableFileError(failure, ENOTDIR),
                     qPrintable(failure));
        }
        QCOMPARE(snapshotOf(w.outside), outsideBefore);
        size_t hidden = 0;
        for (const auto& entry : fs::directory_iterator(w.directory)) {
            hidden += entry.path().filename().string().starts_with('.') ? 1 : 0;
        }
        QCOMPARE(hidden, w.hiddenAfter);
        if (attack.check) {
            attack.check(w);
        }
    }
};

QTEST_GUILESS_MAIN(InstallHostileTest)
#include "tst_install_hostile.moc"
