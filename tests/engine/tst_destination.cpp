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

// What lies in the system and the user folder, and which of them is chosen after how many
// writability queries.
struct Choice {
    const char* name;
    Item system, user;
    bool systemWritable, chosenSystem;
    int writabilityQueries;
};

class DestinationTest : public QObject {
    Q_OBJECT

private slots:
    // What lies at <candidate>/Vantorel.app decides; a candidate that holds nothing is missing
    // altogether, which to the choice is the same as an empty folder.
    void choosesFolder_data() {
        QTest::addColumn<Choice>("c");
        using enum Item;
        for (const Choice& c : {
                 Choice{"application in both", app, app, true, true, 0},
                 Choice{"only user holds it, system writable", nothing, app, true, false, 0},
                 Choice{"system holds it but is read-only", app, nothing, false, true, 0},
                 Choice{"dangling link in system", danglingLink, app, false, true, 0},
                 Choice{"dangling link in user", nothing, danglingLink, true, false, 0},
                 Choice{"plain file claims the folder", file, app, false, true, 0},
                 Choice{"link to an application claims it", nothing, linkToApp, true, false, 0},
                 Choice{"neither, system writable", nothing, nothing, true, true, 1},
                 Choice{"neither, system read-only", nothing, nothing, false, false, 1},
             }) {
            QTest::newRow(c.name) << c;
        }
    }

    // The default writability test (a missing system folder is not writable) is exercised by the
    // installer view's tests, which install into the user's folder beside a missing system one.
    void choosesFolder() {
        QFETCH(Choice, c);

        QTemporaryDir root;
        const fs::path folders[2] = {pathOf(root) / "System Applications",
                                     pathOf(root) / "home" / "Applications"};
        const fs::path elsewhere = makeBundle(pathOf(root) / "elsewhere" / "Vantorel.app");
        for (const auto& [folder, item] : {std::pair{folders[0], c.system}, {folders[1], c.user}}) {
            if (item != Item::nothing) {
                fs::create_directories(folder);
                place(folder / applicationBundleName, item, elsewhere);
            }
        }
        std::vector<std::string> asked;
        const fs::path chosen =
            InstallEngine::preferredDirectory(folders[0], folders[1], [&](const std::string& path) {
                asked.push_back(path);
                return c.systemWritable;
            });
        QCOMPARE(chosen, folders[c.chosenSystem ? 0 : 1]);
        QCOMPARE(asked, std::vector<std::string>(c.writabilityQueries, folders[0].string()));
    }
};

QTEST_GUILESS_MAIN(DestinationTest)
#include "tst_destination.moc"
