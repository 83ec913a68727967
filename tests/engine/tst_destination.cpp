#include <QTemporaryDir>
#include <QtTest>
#include <filesystem>

#include "application_bundle.h"
#include "bundle_factory.h"
#include "install_engine.h"
#include "temp_home.h"

namespace fs = std::filesystem;
using namespace testsupport;

namespace {

// What lies at <candidate>/Vantorel.app before the choice is made.
enum class Probe { nothing, application, plainFile, danglingLink, linkToApplication, noFolder };

void prepare(const fs::path& folder, Probe probe) {
    if (probe == Probe::noFolder) {
        return;
    }
    fs::create_directories(folder);
    const fs::path item = folder / applicationBundleName;
    switch (probe) {
        case Probe::application:
            makeBundle(item);
            break;
        case Probe::plainFile:
            writeFile(item, "not a bundle");
            break;
        case Probe::danglingLink:
            fs::create_symlink(folder / "missing.app", item);
            break;
        case Probe::linkToApplication:
            makeBundle(folder / "Elsewhere.app");
            fs::create_symlink(folder / "Elsewhere.app", item);
            break;
        case Probe::nothing:
        case Probe::noFolder:
            break;
    }
}

}  // namespace

class DestinationTest : public QObject {
    Q_OBJECT

private slots:
    void choosesFolder_data() {
        QTest::addColumn<Probe>("system");
        QTest::addColumn<Probe>("user");
        QTest::addColumn<bool>("systemWritable");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<int>("writabilityQueries");

        QTest::newRow("application in both")
            << Probe::application << Probe::application << true << "system" << 0;
        QTest::newRow("only user holds it, system writable")
            << Probe::nothing << Probe::application << true << "user" << 0;
        QTest::newRow("system holds it but is read-only")
            << Probe::application << Probe::nothing << false << "system" << 0;
        QTest::newRow("dangling link in system")
            << Probe::danglingLink << Probe::application << false << "system" << 0;
        QTest::newRow("dangling link in user")
            << Probe::nothing << Probe::danglingLink << true << "user" << 0;
        QTest::newRow("plain file claims the folder")
            << Probe::plainFile << Probe::application << false << "system" << 0;
        QTest::newRow("link to an application claims the folder")
            << Probe::nothing << Probe::linkToApplication << true << "user" << 0;
        QTest::newRow("neither, system writable")
            << Probe::nothing << Probe::nothing << true << "system" << 1;
        QTest::newRow("neither, system read-only")
            << Probe::nothing << Probe::nothing << false << "user" << 1;
        QTest::newRow("neither, user folder missing")
            << Probe::nothing << Probe::noFolder << false << "user" << 1;
        QTest::newRow("neither folder exists")
            << Probe::noFolder << Probe::noFolder << true << "system" << 1;
    }

    void choosesFolder() {
        QFETCH(Probe, system);
        QFETCH(Probe, user);
        QFETCH(bool, systemWritable);
        QFETCH(QString, expected);
        QFETCH(int, writabilityQueries);

        QTemporaryDir root;
        const fs::path systemFolder = pathOf(root) / "System Applications";
        const fs::path userFolder = pathOf(root) / "home" / "Applications";
        prepare(systemFolder, system);
        prepare(userFolder, user);

        int queries = 0;
        std::string askedFor;
        const fs::path chosen = InstallEngine::preferredDirectory(systemFolder, userFolder,
                                                                  [&](const std::string& path) {
                                                                      ++queries;
                                                                      askedFor = path;
                                                                      return systemWritable;
                                                                  });

        QCOMPARE(
            QString::fromStdString(chosen.string()),
            QString::fromStdString((expected == "system" ? systemFolder : userFolder).string()));
        QCOMPARE(queries, writabilityQueries);
        if (queries > 0) {
            QCOMPARE(askedFor, systemFolder.string());
        }
    }

    void returnsCandidatesUnchanged() {
        // A trailing slash or a "." component survives: the result is the given path, not a new
        // one.
        const fs::path system = "/nonexistent-vantorel-test/./Applications/";
        const fs::path user = "/nonexistent-vantorel-test/home//Applications";
        QCOMPARE(InstallEngine::preferredDirectory(system, user, [](auto&) { return true; }),
                 system);
        QCOMPARE(InstallEngine::preferredDirectory(system, user, [](auto&) { return false; }),
                 user);
    }

    void defaultWritabilityTestReadsTheFileSystem() {
        QTemporaryDir root;
        const fs::path system = pathOf(root) / "Applications";
        const fs::path user = pathOf(root) / "user";
        fs::create_directories(system);
        QCOMPARE(InstallEngine::preferredDirectory(system, user), system);
        // A folder that does not exist is not writable.
        QCOMPARE(InstallEngine::preferredDirectory(pathOf(root) / "missing", user), user);
    }

    void failureTexts() {
        using Failure = InstallEngine::Failure;
        QCOMPARE(QByteArray(Failure(Failure::invalidPayload).what()),
                 QByteArray("Pliki instalatora s\xc4\x85 niekompletne lub uszkodzone. Pobierz "
                            "instalator ponownie."));
        QCOMPARE(QByteArray(Failure(Failure::unsafeDestination).what()),
                 QByteArray("W miejscu instalacji jest inny plik lub dowi\xc4\x85zanie. Wybierz "
                            "prawid\xc5\x82owy folder aplikacji."));
        QVERIFY(Failure(Failure::invalidPayload) == Failure::invalidPayload);
        QVERIFY(Failure(Failure::invalidPayload) != Failure::unsafeDestination);
        QVERIFY(std::hash<Failure>{}(Failure::invalidPayload) ==
                std::hash<Failure>{}(Failure(Failure::invalidPayload)));
        try {
            throw Failure(Failure::unsafeDestination);
        } catch (const std::exception& error) {
            QCOMPARE(QString::fromUtf8(error.what()),
                     QString::fromUtf8(Failure(Failure::unsafeDestination).what()));
        }
    }
};

QTEST_GUILESS_MAIN(DestinationTest)
#include "tst_destination.moc"
