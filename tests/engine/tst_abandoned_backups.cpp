#include <QTemporaryDir>
#include <QtTest>
#include <array>
#include <filesystem>
#include <tuple>

#include "bundle_factory.h"
#include "folder_lock.h"
#include "install_engine.h"
#include "placed_item.h"
#include "temp_home.h"
#include "tree_snapshot.h"

namespace fs = std::filesystem;
using namespace testsupport;

class AbandonedBackupsTest : public QObject {
    Q_OBJECT

private slots:
    void removesOnlyBackupCopiesOfTheApplication_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<Item>("item");
        QTest::addColumn<bool>("removed");
        using enum Item;

        // What an interrupted installation leaves under its own names goes, whatever it holds:
        // a copy killed halfway may lack its Info.plist. Links and files under those names stay.
        for (const QString prefix : {".Vantorel-previous-", ".Vantorel-install-"}) {
            for (const auto& [what, item, removed] : {std::tuple{"complete copy", app, true},
                                                      {"copy without Info.plist", folder, true},
                                                      {"link to a copy", linkToApp, false},
                                                      {"plain file", file, false}}) {
                QTest::addRow("%s: %s", qPrintable(prefix), what)
                    << prefix + "5F0C2A9E-1B7D-4C3A-9E21-7A4B8C0D1E2F.app" << item << removed;
            }
        }
        // Only the full upper-case form of a UUID makes such a name.
        for (const char* uuid : {"5f0c2a9e-1b7d-4c3a-9e21-7a4b8c0d1e2f", "5F0C2A9E-1B7D-4C3A-9E21",
                                 "5F0C2A9E01B7D04C3A09E2107A4B8C0D1E2F"}) {
            QTest::addRow("UUID %s", uuid)
                << QString(".Vantorel-install-%1.app").arg(uuid) << folder << false;
        }
        // Any other ".Vantorel-previous-*.app" goes only when it is a copy of the application.
        for (const auto& [what, name, item, removed] :
             {std::tuple{"backup copy, any middle part", ".Vantorel-previous-x.app", app, true},
              {"any middle part, not a bundle", ".Vantorel-previous-x.app", folder, false},
              {"any middle part, other identifier", ".Vantorel-previous-x.app", otherId, false},
              {"prefix in other case", ".vantorel-previous-x.app", app, false},
              {"no .app ending", ".Vantorel-previous-x", app, false},
              {"installed copy", "Vantorel.app", app, false},
              {"former name", "Tamblico.app", app, false}}) {
            QTest::newRow(what) << QString(name) << item << removed;
        }
    }

    void removesOnlyBackupCopiesOfTheApplication() {
        QFETCH(QString, name);
        QFETCH(Item, item);
        QFETCH(bool, removed);

        const TempHome home;
        const fs::path directory = home.path() / "Applications";
        const fs::path linkTarget = makeBundle(home.path() / "elsewhere" / "Vantorel.app");
        const fs::path location = directory / name.toStdString();
        fs::create_directories(directory);
        place(location, item, linkTarget);
        const QStringList before = snapshotOf(location);
        const QStringList linkTargetBefore = snapshotOf(linkTarget);

        InstallEngine::usunPorzuconeKopie(directory);

        QCOMPARE(snapshotOf(location), removed ? QStringList{"<absent>"} : before);
        QCOMPARE(snapshotOf(linkTarget), linkTargetBefore);
        QVERIFY2(fs::is_empty(home.trashFiles()), "removed for good, not moved to the Trash");
    }

    // A folder that is missing, or a file in its place, has nothing to clean up: it stays as it is
    // and no error comes out.
    void leavesWhatIsNoFolderAlone() {
        QTemporaryDir root;
        const fs::path missing = pathOf(root) / "missing";
        const fs::path file = pathOf(root) / "file";
        writeFile(file, "not a folder");
        InstallEngine::usunPorzuconeKopie(missing);
        InstallEngine::usunPorzuconeKopie(file);
        QVERIFY(!fs::exists(missing));
        QCOMPARE(readFile(file), "not a folder");
    }

    // One copy that cannot be removed (a file system is mounted inside it) does not keep the
    // others from going. The folder is a tmpfs, which lists in the order of creation (or its
    // reverse), so that the stuck copy in the middle is never the last one tried.
    void goesOnPastWhatCannotBeRemoved() {
        QTemporaryDir root;
        const fs::path directory = pathOf(root) / "Applications";
        const TmpfsMount folder(directory, 4 << 20, TmpfsMount::Access::readWrite);
        const fs::path copies[3] = {makeBundle(directory / ".Vantorel-previous-A.app"),
                                    makeBundle(directory / ".Vantorel-previous-B.app"),
                                    makeBundle(directory / ".Vantorel-previous-C.app")};
        const TmpfsMount busy(copies[1] / "Contents" / "Resources", 1 << 20,
                              TmpfsMount::Access::readWrite);
        if (!busy.ok()) {  // then the folder's own tmpfs is missing too
            QSKIP(busy.whyNot().constData());
        }
        InstallEngine::usunPorzuconeKopie(directory);
        QCOMPARE((std::array{fs::exists(copies[0]), fs::exists(copies[1]), fs::exists(copies[2])}),
                 (std::array{false, true, false}));
    }

    // While an installation holds the folder, its staging copy and its backup (between its two
    // moves) are its own: nothing goes.
    void leavesAFolderThatAnInstallationHoldsAlone() {
        QTemporaryDir root;
        const fs::path directory = pathOf(root);
        const fs::path copies[2] = {
            makeBundle(directory / ".Vantorel-install-5F0C2A9E-1B7D-4C3A-9E21-7A4B8C0D1E2F.app"),
            makeBundle(directory / ".Vantorel-previous-5F0C2A9E-1B7D-4C3A-9E21-7A4B8C0D1E2F.app")};
        {
            const files::FolderLock installation(directory, std::chrono::milliseconds::zero());
            QCOMPARE(installation.state(), files::FolderLock::State::held);
            InstallEngine::usunPorzuconeKopie(directory);
            QVERIFY(fs::exists(copies[0]) && fs::exists(copies[1]));
        }
        InstallEngine::usunPorzuconeKopie(directory);
        QVERIFY(!fs::exists(copies[0]) && !fs::exists(copies[1]));
    }
};

QTEST_GUILESS_MAIN(AbandonedBackupsTest)
#include "tst_abandoned_backups.moc"
