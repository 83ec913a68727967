#include <QTemporaryDir>
#include <QtTest>
#include <filesystem>

#include "bundle_factory.h"
#include "install_engine.h"
#include "temp_home.h"
#include "tree_snapshot.h"

namespace fs = std::filesystem;
using namespace testsupport;

namespace {

enum class Item { applicationCopy, linkToCopy, plainFile, plainFolder, otherIdentifier };

const std::string uuid = "5F0C2A9E-1B7D-4C3A-9E21-7A4B8C0D1E2F";

void place(const fs::path& location, Item item, const fs::path& linkTarget) {
    switch (item) {
        case Item::applicationCopy:
            makeBundle(location, {.marker = "backup"});
            break;
        case Item::linkToCopy:
            fs::create_symlink(linkTarget, location);
            break;
        case Item::plainFile:
            writeFile(location, "a file");
            break;
        case Item::plainFolder:
            writeFile(location / "notes.txt", "a folder");
            break;
        case Item::otherIdentifier:
            makeBundle(location, {.identifier = "com.example.Other"});
            break;
    }
}

}  // namespace

class AbandonedBackupsTest : public QObject {
    Q_OBJECT

private slots:
    void removesOnlyBackupCopiesOfTheApplication_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<Item>("item");
        QTest::addColumn<bool>("removed");

        const QString backup = QString::fromStdString(".Vantorel-previous-" + uuid + ".app");
        QTest::newRow("backup copy") << backup << Item::applicationCopy << true;
        QTest::newRow("any middle part")
            << ".Vantorel-previous-x.app" << Item::applicationCopy << true;
        QTest::newRow("link to a copy") << backup << Item::linkToCopy << false;
        QTest::newRow("plain file") << backup << Item::plainFile << false;
        QTest::newRow("folder, not a bundle") << backup << Item::plainFolder << false;
        QTest::newRow("other identifier") << backup << Item::otherIdentifier << false;
        QTest::newRow("no .app ending") << QString::fromStdString(".Vantorel-previous-" + uuid)
                                        << Item::applicationCopy << false;
        QTest::newRow("prefix in other case")
            << QString::fromStdString(".vantorel-previous-" + uuid + ".app")
            << Item::applicationCopy << false;
        QTest::newRow("ending in other case")
            << QString::fromStdString(".Vantorel-previous-" + uuid + ".APP")
            << Item::applicationCopy << false;
        QTest::newRow("staging copy")
            << QString::fromStdString(".Vantorel-install-" + uuid + ".app") << Item::applicationCopy
            << false;
        QTest::newRow("installed copy") << "Vantorel.app" << Item::applicationCopy << false;
        QTest::newRow("former name") << "Tamblico.app" << Item::applicationCopy << false;
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

    // One candidate that cannot be removed (a file system is mounted inside it) does not keep the
    // others from going.
    void goesOnPastACopyThatCannotBeRemoved() {
        QTemporaryDir root;
        const fs::path directory = pathOf(root) / "Applications";
        std::vector<fs::path> candidates;
        for (const char* middle : {"A", "B", "C", "D"}) {
            candidates.push_back(
                makeBundle(directory / (".Vantorel-previous-" + std::string(middle) + ".app")));
        }
        const fs::path stuck = candidates[1];
        TmpfsMount busy(stuck / "Contents" / "Resources", 1 << 20, TmpfsMount::Access::readWrite);
        if (!busy.ok()) {
            QSKIP(busy.whyNot().constData());
        }

        InstallEngine::usunPorzuconeKopie(directory);

        for (const auto& candidate : candidates) {
            QCOMPARE(fs::exists(candidate), candidate == stuck);
        }
    }

    void folderThatCannotBeListed() {
        QTemporaryDir root;
        InstallEngine::usunPorzuconeKopie(pathOf(root) / "missing");
        QVERIFY(!fs::exists(pathOf(root) / "missing"));

        const fs::path file = pathOf(root) / ".Vantorel-previous-A.app";
        writeFile(file, "a file, not a folder");
        InstallEngine::usunPorzuconeKopie(file);
        QCOMPARE(readFile(file), std::string("a file, not a folder"));
    }
};

QTEST_GUILESS_MAIN(AbandonedBackupsTest)
#include "tst_abandoned_backups.moc"
