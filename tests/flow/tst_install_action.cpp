#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include "bundle_factory.h"
#include "code_signature.h"
#include "fake_services.h"
#include "file_manager.h"
#include "installer_view.h"
#include "temp_home.h"
#include "tool_recorder.h"

namespace fs = std::filesystem;
using namespace testsupport;

namespace {

const QString installPrefix = "Instalacja nie powiodła się: ";
const QString launchPrefix = "Aplikacja jest zainstalowana, ale nie udało się jej uruchomić: ";
const QString invalidPayload =
    "Pliki instalatora są niekompletne lub uszkodzone. Pobierz instalator ponownie.";
const QString unsafeDestination =
    "W miejscu instalacji jest inny plik lub dowiązanie. Wybierz prawidłowy folder aplikacji.";

QString text(const fs::path& path) {
    return QString::fromStdString(path.string());
}

QStringList backupsIn(const fs::path& folder) {
    QStringList names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.path().filename().string().starts_with(".Vantorel-")) {
            names << text(entry.path());
        }
    }
    return names;
}

// A temporary home with a Trash holding an old copy, a signed payload in a temporary resource
// folder, and the registration tool replaced by a recorder.
struct Fixture {
    TempHome home;
    QTemporaryDir dir;
    std::shared_ptr<FakeServices> services = std::make_shared<FakeServices>();
    RecordingTool recorder{pathOf(dir)};
    fs::path payload = pathOf(dir) / "Resources" / "Payload" / "Vantorel.app";
    fs::path destination = home.path() / "Applications";
    fs::path installed = destination / "Vantorel.app";
    fs::path trashedCopy = makeBundle(home.trashFiles() / "Tamblico.app");
    InstallerView view{services};

    explicit Fixture(const fs::path& key) {
        services->tool = recorder.tool;
        services->resources = pathOf(dir) / "Resources";
        services->folders = {pathOf(dir) / "System" / "Applications", destination};
        makeBundle(payload);
        codesign::signBundle(payload, key);
    }

    void press() { QCoro::waitFor(view.install()); }
    void failLaunches() { services->openFailure = std::make_exception_ptr(LaunchError("Nie.")); }
};

}  // namespace

class InstallActionTest : public QObject {
    Q_OBJECT

    QTemporaryDir keys_;
    fs::path key_ = pathOf(keys_) / "signing.pem";

private slots:
    void initTestCase() { codesign::generateSigningKey(key_); }
    void cleanup() { files::setMoveFaultHookForTesting(nullptr); }

    void endsOfTheAction_data() {
        QTest::addColumn<QString>("scenario");
        QTest::addColumn<bool>("installed");
        QTest::addColumn<bool>("hasInstalledURL");
        QTest::addColumn<QString>("message");
        QTest::newRow("installed and launched") << "install" << true << true << "";
        QTest::newRow("declined closing") << "decline" << false << false << "";
        QTest::newRow("no resource folder")
            << "no resources" << false << false << installPrefix + invalidPayload;
        QTest::newRow("a file at the destination")
            << "unsafe" << false << false << installPrefix + unsafeDestination;
        QTest::newRow("launch fails") << "launch fails" << false << true << launchPrefix + "Nie.";
        QTest::newRow("launched again") << "again" << true << true << "";
        QTest::newRow("launch again fails")
            << "again fails" << false << true << launchPrefix + "Nie.";
    }

    void endsOfTheAction() {
        QFETCH(QString, scenario);
        QFETCH(bool, installed);
        QFETCH(bool, hasInstalledURL);
        QFETCH(QString, message);
        Fixture fixture(key_);
        if (scenario == "decline") {
            fixture.services->fixedRunning = {{RunningApplication(4242, 1)}};
            fixture.services->alertResponse = alertFirstButtonReturn + 1;
        } else if (scenario == "no resources") {
            fixture.services->resources.reset();
        } else if (scenario == "unsafe") {
            writeFile(fixture.installed, "a file");
        } else if (scenario.startsWith("launch") || scenario.startsWith("again")) {
            fixture.failLaunches();
        }
        if (scenario.startsWith("again")) {
            fixture.press();
            fixture.services->openFailure =
                scenario == "again" ? nullptr : fixture.services->openFailure;
        }

        // Pressed as the screen does it; the state tells when the action has ended.
        fixture.view.startInstall();
        QTRY_VERIFY(!fixture.view.busy());
        QCOMPARE(fixture.view.installed(), installed);
        QCOMPARE(fixture.view.installedURL(), hasInstalledURL ? text(fixture.installed) : "");
        QCOMPARE(fixture.view.message().toUtf8(), message.toUtf8());
        if (scenario == "decline") {
            QVERIFY(fixture.services->opened.empty() && !fs::exists(fixture.destination));
        }
    }

    void theEngineRunsOffTheMainThread() {
        Fixture fixture(key_);
        QThread* engineThread = nullptr;
        files::setMoveFaultHookForTesting([&](const fs::path&, const fs::path&) {
            engineThread = QThread::currentThread();
            return 0;
        });
        QList<QThread*> stateThreads;
        connect(
            &fixture.view, &InstallerView::stateChanged, this,
            [&] { stateThreads << QThread::currentThread(); }, Qt::DirectConnection);

        fixture.press();
        QVERIFY(fixture.view.installed());
        QVERIFY(engineThread != nullptr && engineThread != QThread::currentThread());
        QVERIFY(!stateThreads.isEmpty());
        QVERIFY(stateThreads.count(QThread::currentThread()) == stateThreads.size());
    }

    void aFailedLaunchKeepsTheBackupAndTheNextPressOnlyLaunches() {
        Fixture fixture(key_);
        makeBundle(fixture.installed, {.marker = "earlier"});
        fixture.failLaunches();
        fixture.press();
        QVERIFY(!fixture.view.installed());
        const QStringList backups = backupsIn(fixture.destination);
        QCOMPARE(backups.size(), 1);
        QCOMPARE(markerOf(backups[0].toStdString()), "earlier");

        fixture.services->openFailure = nullptr;
        fixture.services->runningQueries = 0;
        fixture.press();
        QVERIFY(fixture.view.installed());
        QCOMPARE(fixture.services->opened.size(), size_t(2));
        QCOMPARE(fixture.services->opened[1].first, fixture.installed);
        QCOMPARE(fixture.services->runningQueries, 0);
        QCOMPARE(backupsIn(fixture.destination), backups);
        QCOMPARE(fixture.recorder.runs(), QStringList());  // neither unregistration nor repair
    }

    void rejectedPayloads_data() {
        QTest::addColumn<QString>("payload");
        for (const char* row : {"missing", "other identifier", "no executable", "not executable",
                                "unsigned", "altered", "missing, after closing the running copy"}) {
            QTest::newRow(row) << row;
        }
    }

    void rejectedPayloads() {
        QFETCH(QString, payload);
        Fixture fixture(key_);
        const fs::path bundle = fixture.payload;
        fs::remove_all(bundle);
        if (payload == "other identifier") {
            makeBundle(bundle, {.identifier = "com.example.other"});
        } else if (payload == "no executable") {
            makeBundle(bundle, {.writeExecutable = false});
        } else if (payload == "not executable" || payload == "unsigned" || payload == "altered") {
            makeBundle(bundle);
            fs::permissions(bundle / "Contents" / "MacOS" / "Vantorel",
                            fs::perms(payload == "not executable" ? 0644 : 0755));
        }
        if (fs::exists(bundle) && payload != "unsigned") {
            codesign::signBundle(bundle, key_);
        }
        if (payload == "altered") {
            writeFile(bundle / "Contents" / "Resources" / "marker.txt", "altered");
        }
        const bool running = payload.startsWith("missing,");
        if (running) {
            fixture.services->fixedRunning = {{RunningApplication(4242, 1)}};
        }

        fixture.press();
        QCOMPARE(fixture.view.message().toUtf8(), (installPrefix + invalidPayload).toUtf8());
        QVERIFY(!fs::exists(fixture.destination));
        QCOMPARE(fixture.services->alerts.size(), size_t(running ? 1 : 0));
    }

    void successTidiesUp_data() {
        QTest::addColumn<bool>("earlierCopy");
        QTest::newRow("first installation") << false;
        QTest::newRow("replacing an earlier copy") << true;
    }

    void successTidiesUp() {
        QFETCH(bool, earlierCopy);
        Fixture fixture(key_);
        if (earlierCopy) {
            makeBundle(fixture.installed, {.marker = "earlier"});
        }
        fixture.press();
        QVERIFY(fixture.view.installed());
        QCOMPARE(markerOf(fixture.installed), "payload");
        QCOMPARE(fixture.services->opened.size(), size_t(1));
        QVERIFY(fixture.services->opened[0].second.activates);
        QCOMPARE(backupsIn(fixture.destination), QStringList());

        // The backup is unregistered before it goes; then the Trash is repaired.
        const QStringList runs = fixture.recorder.runs();
        QCOMPARE(runs.size(), earlierCopy ? 2 : 1);
        if (earlierCopy) {
            QVERIFY(runs[0].startsWith("-u|" + text(fixture.destination / ".Vantorel-previous-")));
        }
        QCOMPARE(runs.last(), "-u|" + text(fixture.trashedCopy));
    }
};

QTEST_GUILESS_MAIN(InstallActionTest)
#include "tst_install_action.moc"
