#include <QTemporaryDir>
#include <QtTest>
#include <filesystem>

#include "bundle_factory.h"
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

        const auto named = [](const char* prefix, const char* suffix) {
            return QString(prefix) + "5F0C2A9E-1B7D-4C3A-9E21-7A4B8C0D1E2F" + suffix;
        };
        const QString backup = named(".Vantorel-previous-", ".app");
        QTest::newRow("backup copy") << backup << Item::app << true;
        QTest::newRow("any middle part") << ".Vantorel-previous-x.app" << Item::app << true;
        QTest::newRow("link to a copy") << backup << Item::linkToApp << false;
        QTest::newRow("plain file") << backup << Item::file << false;
        QTest::newRow("folder, not a bundle") << backup << Item::folder << false;
        QTest::newRow("other identifier") << backup << Item::otherId << false;
        QTest::newRow("no .app ending") << named(".Vantorel-previous-", "") << Item::app << false;
        QTest::newRow("prefix in other case")
            << named(".vantorel-previous-", ".app") << Item::app << false;
        QTest::newRow("ending in other case")
            << named(".Vantorel-previous-", ".APP") << Item::app << false;
        QTest::newRow("staging copy") << named(".Vantorel-install-", ".app") << Item::app << false;
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
};

QTEST_GUILESS_MAIN(AbandonedBackupsTest)
#include "tst_abandoned_backups.moc"
