#include <QTemporaryDir>
#include <QtTest>
#include <filesystem>

#include "application_bundle.h"
#include "bundle_factory.h"
#include "install_engine.h"
#include "placed_item.h"
#include "temp_home.h"

namespace fs = std::filesystem;
using namespace testsupport;

class DestinationTest : public QObject {
    Q_OBJECT

private slots:
    // What lies at <candidate>/Vantorel.app decides; a candidate that holds nothing is missing
    // altogether, which to the choice is the same as an empty folder.
    void choosesFolder_data() {
        QTest::addColumn<Item>("system");
        QTest::addColumn<Item>("user");
        QTest::addColumn<bool>("systemWritable");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<int>("writabilityQueries");

        using enum Item;
        QTest::newRow("application in both") << app << app << true << "system" << 0;
        QTest::newRow("only user holds it, system writable")
            << nothing << app << true << "user" << 0;
        QTest::newRow("system holds it but is read-only")
            << app << nothing << false << "system" << 0;
        QTest::newRow("dangling link in system") << danglingLink << app << false << "system" << 0;
        QTest::newRow("dangling link in user") << nothing << danglingLink << true << "user" << 0;
        QTest::newRow("plain file claims the folder") << file << app << false << "system" << 0;
        QTest::newRow("link to an application claims the folder")
            << nothing << linkToApp << true << "user" << 0;
        QTest::newRow("neither, system writable") << nothing << nothing << true << "system" << 1;
        QTest::newRow("neither, system read-only") << nothing << nothing << false << "user" << 1;
    }

    void choosesFolder() {
        QFETCH(Item, system);
        QFETCH(Item, user);
        QFETCH(bool, systemWritable);
        QFETCH(QString, expected);
        QFETCH(int, writabilityQueries);

        QTemporaryDir root;
        const fs::path systemFolder = pathOf(root) / "System Applications";
        const fs::path userFolder = pathOf(root) / "home" / "Applications";
        const fs::path elsewhere = makeBundle(pathOf(root) / "elsewhere" / "Vantorel.app");
        for (const auto& [folder, item] :
             {std::pair{systemFolder, system}, std::pair{userFolder, user}}) {
            if (item != Item::nothing) {
                fs::create_directories(folder);
                place(folder / applicationBundleName, item, elsewhere);
            }
        }

        std::vector<std::string> asked;
        const fs::path chosen = InstallEngine::preferredDirectory(systemFolder, userFolder,
                                                                  [&](const std::string& path) {
                                                                      asked.push_back(path);
                                                                      return systemWritable;
                                                                  });

        QCOMPARE(chosen, expected == "system" ? systemFolder : userFolder);
        QCOMPARE(asked, std::vector<std::string>(writabilityQueries, systemFolder.string()));
    }

    // Without a test of its own, writability is read from the file system: a missing folder is not
    // writable.
    void defaultWritabilityTestReadsTheFileSystem() {
        QTemporaryDir root;
        const fs::path user = pathOf(root) / "user";
        QCOMPARE(InstallEngine::preferredDirectory(pathOf(root), user), pathOf(root));
        QCOMPARE(InstallEngine::preferredDirectory(pathOf(root) / "missing", user), user);
    }
};

QTEST_GUILESS_MAIN(DestinationTest)
#include "tst_destination.moc"
