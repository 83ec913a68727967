#include <QTemporaryDir>
#include <QtTest>
#include <filesystem>

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

        const auto named = [](const char* prefix, const char* uuid = nullptr) {
            return QString(prefix) + (uuid ? uuid : "5F0C2A9E-1B7D-4C3A-9E21-7A4B8C0D1E2F") +
                   ".app";
        };
        // What an interrupted installation leaves under its own names goes, whatever it holds:
        // a copy killed halfway may lack its Info.plist. Links and files under those names stay.
        for (const char* prefix : {".Vantorel-previous-", ".Vantorel-install-"}) {
            const QString name = named(prefix);
            QTest::addRow("%s: complete copy", prefix) << name << Item::app << true;
            QTest::addRow("%s: copy without Info.plist", prefix) << name << Item::folder << true;
            QTest::addRow("%s: other identifier", prefix) << name << Item::otherId << true;
            QTest::addRow("%s: link to a copy", prefix) << name << Item::linkToApp << false;
            QTest::addRow("%s: plain file", prefix) << name << Item::file << false;
        }
        const char* lowerCase = "5f0c2a9e-1b7d-4c3a-9e21-7a4b8c0d1e2f";
        QTest::newRow("lower-case UUID")
            << named(".Vantorel-install-", lowerCase) << Item::folder << false;
        QTest::newRow("short UUID")
            << named(".Vantorel-install-", "5F0C2A9E-1B7D-4C3A-9E21") << Item::app << false;
        QTest::newRow("UUID without hyphens")
            << named(".Vantorel-install-", "5F0C2A9E01B7D04C3A09E2107A4B8C0D1E2F") << Item::app
            << false;
        // Any other ".Vantorel-previous-*.app" goes only when it is a copy of the application.
        const QString loose = named(".Vantorel-previous-", "x");
        QTest::newRow("backup copy, any middle part") << loose << Item::app << true;
        QTest::newRow("any middle part, not a bundle") << loose << Item::folder << false;
        QTest::newRow("any middle part, other identifier") << loose << Item::otherId << false;
        QTest::newRow("prefix in other case")
            << named(".vantorel-previous-", "x") << Item::app << false;
        QTest::newRow("no .app ending") << ".Vantorel-previous-x" << Item::app << false;
        QTest::newRow("installed copy") << "Vantorel.app" << Item::app << false;
        QTest::newRow("former name") << "Tamblico.app" << Item::app << false;
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

    // One copy that cannot be removed (a file system is mounted inside it) does not keep the
    // others from going; a folder that cannot be listed is no error.
    void goesOnPastWhatCannotBeRemoved() {
        QTemporaryDir root;
        const fs::path directory = pathOf(root) / "Applications";
        std::vector<fs::path> candidates;
        for (const std::string middle : {"A", "B", "C"}) {
            candidates.push_back(makeBundle(directory / (".Vantorel-previous-" + middle + ".app")));
        }
        TmpfsMount busy(candidates[1] / "Contents" / "Resources", 1 << 20,
                        TmpfsMount::Access::readWrite);
        if (!busy.ok()) {
            QSKIP(busy.whyNot().constData());
        }

        InstallEngine::usunPorzuconeKopie(directory);
        InstallEngine::usunPorzuconeKopie(pathOf(root) / "missing");

        for (const auto& candidate : candidates) {
            QCOMPARE(fs::exists(candidate), candidate == candidates[1]);
        }
    }

    // While an installation holds the folder, the staging copy there is its own: nothing goes.
    void leavesAFolderThatAnInstallationHoldsAlone() {
        QTemporaryDir root;
        const fs::path directory = pathOf(root);
        const fs::path staging =
            makeBundle(directory / ".Vantorel-install-5F0C2A9E-1B7D-4C3A-9E21-7A4B8C0D1E2F.app");
        {
            const files::FolderLock installation(directory, files::FolderLock::Wait::never);
            QCOMPARE(installation.state(), files::FolderLock::State::held);
            InstallEngine::usunPorzuconeKopie(directory);
            QVERIFY(fs::exists(staging));
        }
        InstallEngine::usunPorzuconeKopie(directory);
        QVERIFY(!fs::exists(staging));
    }
};

QTEST_GUILESS_MAIN(AbandonedBackupsTest)
#include "tst_abandoned_backups.moc"
