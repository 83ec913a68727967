#include <QTemporaryDir>
#include <QtTest>
#include <algorithm>
#include <filesystem>

#include "bundle_factory.h"
#include "fake_services.h"
#include "installer_view.h"
#include "temp_home.h"
#include "tool_recorder.h"

namespace fs = std::filesystem;
using namespace testsupport;

namespace {

// Every item below the folder, with what it is, so that a test can tell that nothing moved.
QStringList snapshot(const fs::path& folder) {
    QStringList items;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        items << QString::fromStdString(fs::relative(entry.path(), folder).string() + " " +
                                        std::to_string(int(entry.symlink_status().type())));
    }
    items.sort();
    return items;
}

void makeEntry(const fs::path& location, const QString& kind, const fs::path& scratch) {
    if (kind == "application") {
        makeBundle(location);
    } else if (kind == "other identifier") {
        makeBundle(location, {.identifier = "com.example.other"});
    } else if (kind == "no identifier") {
        makeBundle(location, {.identifier = std::nullopt});
    } else if (kind == "link to the application") {
        fs::create_symlink(makeBundle(scratch / "Elsewhere.app"), location);
    } else if (kind == "plain file") {
        writeFile(location, "x");
    } else if (kind == "empty folder") {
        fs::create_directories(location);
    } else if (kind == "in a subfolder") {
        makeBundle(location.parent_path() / "Folder" / location.filename());
    }
}

}  // namespace

class RepairTest : public QObject {
    Q_OBJECT

private slots:
    void unregistersOnlyCopiesOfTheApplication_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("unregistered");

        QTest::newRow("the application's name") << "Vantorel.app"
                                                << "application" << true;
        QTest::newRow("a backup name") << ".Vantorel-previous-1F2E.app"
                                       << "application" << true;
        QTest::newRow("the former name") << "Tamblico.app"
                                         << "application" << true;
        QTest::newRow("the former name, numbered") << "Tamblico 2.app"
                                                   << "application" << true;
        QTest::newRow("the former name as a prefix") << "TamblicoPro.app"
                                                     << "application" << true;

        QTest::newRow("the name in lower case") << "vantorel.app"
                                                << "application" << false;
        QTest::newRow("a staging name") << ".Vantorel-install-1F2E.app"
                                        << "application" << false;
        QTest::newRow("the former name without .app") << "Tamblico"
                                                      << "application" << false;
        QTest::newRow(".app inside the name") << "Vantorel.app 2"
                                              << "application" << false;
        QTest::newRow("backup name without .app") << ".Vantorel-previous-1F2E"
                                                  << "application" << false;
        QTest::newRow("another name") << "Inny.app"
                                      << "application" << false;

        QTest::newRow("a link to a copy") << "Vantorel.app"
                                          << "link to the application" << false;
        QTest::newRow("a plain file") << "Vantorel.app"
                                      << "plain file" << false;
        QTest::newRow("a folder that is no bundle") << "Tamblico.app"
                                                    << "empty folder" << false;
        QTest::newRow("another identifier") << "Vantorel.app"
                                            << "other identifier" << false;
        QTest::newRow("no identifier") << ".Vantorel-previous-9.app"
                                       << "no identifier" << false;
        QTest::newRow("a copy in a subfolder") << "Vantorel.app"
                                               << "in a subfolder" << false;
    }

    void unregistersOnlyCopiesOfTheApplication() {
        QFETCH(QString, name);
        QFETCH(QString, kind);
        QFETCH(bool, unregistered);
        TempHome home;
        QTemporaryDir scratch;
        const auto services = std::make_shared<FakeServices>();
        const RecordingTool recorder(pathOf(scratch));
        services->tool = recorder.tool;
        const fs::path entry = home.trashFiles() / name.toStdString();
        makeEntry(entry, kind, pathOf(scratch));
        const QStringList before = snapshot(home.trashFiles());

        InstallerView(services).naprawKopiePoStarychAktualizacjach();

        const QStringList expected{"-u|" + QString::fromStdString(entry.string())};
        QCOMPARE(recorder.runs(), unregistered ? expected : QStringList());
        QCOMPARE(snapshot(home.trashFiles()), before);
    }

    void unregistersEveryCopyOnce() {
        TempHome home;
        QTemporaryDir scratch;
        const auto services = std::make_shared<FakeServices>();
        const RecordingTool recorder(pathOf(scratch));
        services->tool = recorder.tool;
        QStringList expected;
        for (const char* name : {"Vantorel.app", "Tamblico.app", ".Vantorel-previous-A.app",
                                 ".Vantorel-previous-B.app"}) {
            makeBundle(home.trashFiles() / name);
            expected << "-u|" + QString::fromStdString((home.trashFiles() / name).string());
        }
        makeBundle(home.trashFiles() / "Inny.app");

        InstallerView(services).naprawKopiePoStarychAktualizacjach();

        QStringList runs = recorder.runs();
        runs.sort();
        expected.sort();
        QCOMPARE(runs, expected);
    }

    void doesNothingWithoutATrash() {
        TempHome home;
        QTemporaryDir scratch;
        const auto services = std::make_shared<FakeServices>();
        const RecordingTool recorder(pathOf(scratch));
        services->tool = recorder.tool;
        fs::remove_all(home.path() / ".local" / "share" / "Trash");

        InstallerView(services).naprawKopiePoStarychAktualizacjach();
        QCOMPARE(recorder.runs(), QStringList());
        QVERIFY(!fs::exists(home.path() / ".local" / "share" / "Trash"));
    }
};

QTEST_GUILESS_MAIN(RepairTest)
#include "tst_repair.moc"
