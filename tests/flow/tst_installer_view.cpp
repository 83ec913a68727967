#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>
#include <functional>

#include <qcoro/qcorotimer.h>

#include "bundle_factory.h"
#include "code_signature.h"
#include "file_error.h"
#include "file_manager.h"
#include "installer_view.h"
#include "temp_home.h"
#include "tree_snapshot.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace testsupport;

namespace {

// The system's services with every part a test watches or replaces made observable. Only the
// Trash is the real one (inside a TempHome).
class FakeServices : public SystemServices {
public:
    // The instances the system reports; they quit when asked unless ignoreTerminate is set.
    std::vector<RunningApplication> running;
    bool ignoreTerminate = false;
    int runningQueries = 0;
    std::vector<RunningApplication> terminated;
    std::vector<RunningApplication> forceTerminated;

    int alertResponse = alertFirstButtonReturn;
    int alerts = 0;

    // Pauses take 10 ms of real time unless realPauses is set; cancelledPauses makes every pause
    // end with PauseCancelled. onPause runs at the start of the n-th pause (from 1).
    bool realPauses = false;
    bool cancelledPauses = false;
    std::vector<std::chrono::nanoseconds> pauses;
    std::function<void(int)> onPause = [](int) {};

    // Starts are only recorded, and fail with openFailure when it is set.
    std::exception_ptr openFailure;
    std::vector<std::pair<fs::path, OpenConfiguration>> opened;

    fs::path tool = "/nonexistent/registration-tool";
    std::optional<fs::path> resources;
    ApplicationsFolders folders{"/nonexistent/Applications", "/nonexistent/home/Applications"};

    std::vector<RunningApplication> runningApplications(std::string_view identifier) override {
        ++runningQueries;
        return identifier == applicationBundleIdentifier ? running
                                                         : std::vector<RunningApplication>{};
    }
    void terminate(const RunningApplication& application) override {
        terminated.push_back(application);
        if (!ignoreTerminate) {
            std::erase(running, application);
        }
    }
    void forceTerminate(const RunningApplication& application) override {
        forceTerminated.push_back(application);
        std::erase(running, application);
    }
    int runModalAlert(const AlertContent&) override {
        ++alerts;
        return alertResponse;
    }
    QCoro::Task<> pause(std::chrono::nanoseconds duration) override {
        pauses.push_back(duration);
        onPause(static_cast<int>(pauses.size()));
        if (cancelledPauses) {
            throw PauseCancelled();
        }
        if (realPauses) {
            co_await SystemServices::pause(duration);
        } else {
            co_await QCoro::sleepFor(10ms);
        }
    }
    QFuture<void> openApplication(fs::path bundle, OpenConfiguration configuration) override {
        opened.emplace_back(std::move(bundle), configuration);
        return openFailure ? QtFuture::makeExceptionalFuture(openFailure)
                           : QtFuture::makeReadyFuture();
    }
    fs::path registrationToolPath() override { return tool; }
    std::optional<fs::path> resourceFolder() override { return resources; }
    ApplicationsFolders applicationsFolders() override { return folders; }
};

// A stand-in for the registration tool: a script that appends each run's arguments, joined by
// "|", as one line to a record, notes where its standard output and error lead, and writes to
// both.
struct RecordingTool {
    fs::path tool;
    fs::path record;
    fs::path outputs;

    explicit RecordingTool(const fs::path& folder)
        : tool(folder / "lsregister"), record(folder / "record"), outputs(folder / "outputs") {
        writeFile(tool,
                  "#!/bin/sh\n(IFS='|'; printf '%s\\n' \"$*\") >> '" + record.string() +
                      "'\nprintf '%s\\n' \"$(readlink /proc/$$/fd/1 /proc/$$/fd/2)\" > '" +
                      outputs.string() + "'\necho on-stdout\necho on-stderr >&2\nexit 3\n",
                  fs::perms(0755));
    }
    QStringList runs() const {
        return fs::exists(record)
                   ? QString::fromStdString(readFile(record)).split('\n', Qt::SkipEmptyParts)
                   : QStringList();
    }
};

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
    return QDir(text(folder)).entryList({".Vantorel-*"}, QDir::AllEntries | QDir::Hidden);
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

class InstallerViewTest : public QObject {
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
        QTest::newRow("pressed twice in a row") << "twice" << true << true << "";
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
            fixture.services->running = {RunningApplication(4242, 1)};
            fixture.services->alertResponse = alertFirstButtonReturn + 1;
        } else if (scenario == "no resources") {
            fixture.services->resources.reset();
        } else if (scenario == "unsafe") {
            writeFile(fixture.installed, "a file");
        } else if (scenario != "install" && scenario != "twice") {
            fixture.failLaunches();
        }
        if (scenario.startsWith("again")) {
            fixture.press();
            fixture.services->openFailure =
                scenario == "again" ? nullptr : fixture.services->openFailure;
        }

        // Pressed as the screen does it; the state tells when the action has ended.
        fixture.view.startInstall();
        if (scenario == "twice") {
            fixture.view.startInstall();  // while the first action runs: starts nothing
        }
        QTRY_VERIFY(!fixture.view.busy());
        QCOMPARE(fixture.view.installed(), installed);
        QCOMPARE(fixture.view.installedURL(), hasInstalledURL ? text(fixture.installed) : "");
        QCOMPARE(fixture.view.message().toUtf8(), message.toUtf8());
        if (scenario == "decline") {
            QVERIFY(fixture.services->opened.empty() && !fs::exists(fixture.destination));
        }
        if (scenario == "twice") {
            QCOMPARE(fixture.services->opened.size(), size_t(1));
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
        QCOMPARE(stateThreads.count(QThread::currentThread()), stateThreads.size());
    }

    void aFailedLaunchKeepsTheBackupAndTheNextPressOnlyLaunches() {
        Fixture fixture(key_);
        makeBundle(fixture.installed, {.marker = "earlier"});
        fixture.failLaunches();
        fixture.press();
        const QStringList backups = backupsIn(fixture.destination);
        QCOMPARE(backups.size(), 1);
        QCOMPARE(markerOf(fixture.destination / backups[0].toStdString()), "earlier");

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
        QTest::addColumn<QString>("fault");
        for (const char* fault : {"missing", "other identifier", "no executable", "not executable",
                                  "unsigned", "altered"}) {
            QTest::newRow(fault) << fault;
        }
    }

    void rejectedPayloads() {
        QFETCH(QString, fault);
        Fixture fixture(key_);
        const fs::path bundle = fixture.payload;
        fs::remove_all(bundle);
        if (fault != "missing") {
            BundleSpec layout{.writeExecutable = fault != "no executable"};
            if (fault == "other identifier") {
                layout.identifier = "com.example.other";
            }
            makeBundle(bundle, layout);
            if (fault == "not executable") {
                fs::permissions(bundle / "Contents" / "MacOS" / "Vantorel", fs::perms(0644));
            }
            if (fault != "unsigned") {
                codesign::signBundle(bundle, key_);
            }
            if (fault == "altered") {
                writeFile(bundle / "Contents" / "Resources" / "marker.txt", "altered");
            }
        }
        fixture.press();
        QCOMPARE(fixture.view.message().toUtf8(), (installPrefix + invalidPayload).toUtf8());
        QVERIFY(!fs::exists(fixture.destination));
    }

    void replacingAnEarlierCopyTidiesUp() {
        Fixture fixture(key_);
        makeBundle(fixture.installed, {.marker = "earlier"});
        fixture.press();
        QVERIFY(fixture.view.installed());
        QCOMPARE(markerOf(fixture.installed), "payload");
        QCOMPARE(fixture.services->opened.size(), size_t(1));
        QVERIFY(fixture.services->opened[0].second.activates);
        QCOMPARE(backupsIn(fixture.destination), QStringList());

        // The backup is unregistered before it goes; then the Trash is repaired.
        const QStringList runs = fixture.recorder.runs();
        QCOMPARE(runs.size(), 2);
        QVERIFY(runs[0].startsWith("-u|" + text(fixture.destination / ".Vantorel-previous-")));
        QCOMPARE(runs[1], "-u|" + text(fixture.trashedCopy));
    }

    // However odd its characters, the path reaches the tool as one argument, and the tool's
    // output goes nowhere.
    void unregistrationPassesThePathAsOneArgument() {
        Fixture fixture(key_);
        const fs::path bundle =
            fixture.home.path() / "Moje programy" / "Zażółć $HOME `x` 'a' \"b\" *;& ✓.app";
        fixture.view.wyrejestrujZSystemu(bundle);
        QCOMPARE(fixture.recorder.runs(), QStringList{"-u|" + text(bundle)});
        QCOMPARE(readFile(fixture.recorder.outputs), "/dev/null\n/dev/null\n");
    }

    void repairUnregistersOnlyCopiesInTheTrash() {
        Fixture fixture(key_);  // its Trash holds Tamblico.app
        const fs::path trash = fixture.home.trashFiles();
        for (const char* name : {"Vantorel.app", ".Vantorel-previous-1F2E.app", "Tamblico 2.app",
                                 // Copies under names that older updates never left:
                                 "vantorel.app", ".Vantorel-install-1F2E.app", "Tamblico",
                                 "Vantorel.app 2", "Old/Vantorel.app"}) {
            makeBundle(trash / name);
        }
        // Names that older updates left, on items that are not copies.
        fs::create_symlink(makeBundle(pathOf(fixture.dir) / "Linked.app"),
                           trash / "Tamblico 3.app");
        writeFile(trash / "Tamblico 4.app", "x");
        fs::create_directories(trash / "Tamblico 5.app");
        makeBundle(trash / "Tamblico 6.app", {.identifier = "com.example.other"});
        const QStringList before = snapshotOf(trash);

        fixture.view.naprawKopiePoStarychAktualizacjach();
        QStringList runs = fixture.recorder.runs();
        runs.sort();
        QStringList expected;
        for (const char* name :
             {".Vantorel-previous-1F2E.app", "Tamblico 2.app", "Tamblico.app", "Vantorel.app"}) {
            expected << "-u|" + text(trash / name);
        }
        QCOMPARE(runs, expected);
        QCOMPARE(snapshotOf(trash), before);  // nothing moved or deleted
    }

    void closingQuestion_data() {
        QTest::addColumn<int>("button");
        QTest::addColumn<bool>("stubborn");
        QTest::addColumn<bool>("cancelledPauses");
        QTest::newRow("Anuluj: nothing is sent") << 1 << false << false;
        QTest::newRow("all quit at once: no pause") << 0 << false << false;
        QTest::newRow("some stay: force-quit") << 0 << true << false;
        QTest::newRow("some stay, pauses cut short") << 0 << true << true;
    }

    void closingQuestion() {
        QFETCH(int, button);
        QFETCH(bool, stubborn);
        QFETCH(bool, cancelledPauses);
        const auto services = std::make_shared<FakeServices>();
        const RunningApplication first(4242, 1), second(4243, 1), late(4244, 1);
        services->running = {first, second};
        services->alertResponse = alertFirstButtonReturn + button;
        services->ignoreTerminate = stubborn;
        services->cancelledPauses = cancelledPauses;
        // One more instance starts during the wait: it is never asked, but force-quit too.
        services->onPause = [&](int pause) {
            if (pause == 5) {
                services->running.push_back(late);
            }
        };

        const bool closed =
            QCoro::waitFor(InstallerView(services).zapytajIZamknij(services->running));
        QCOMPARE(closed, button == 0);
        QCOMPARE(services->alerts, 1);
        QCOMPARE(services->terminated.size(), size_t(button == 0 ? 2 : 0));
        std::vector<std::chrono::nanoseconds> pauses;
        std::vector<RunningApplication> forced;
        if (stubborn) {
            pauses.assign(30, 100ms);
            pauses.push_back(500ms);
            forced = {first, second, late};
        }
        QCOMPARE(services->pauses, pauses);
        QCOMPARE(services->forceTerminated, forced);
    }

    void theWholeWaitTakesAboutThreeAndAHalfSeconds() {
        const auto services = std::make_shared<FakeServices>();
        services->running = {RunningApplication(4242, 1)};
        services->ignoreTerminate = true;
        services->realPauses = true;
        QElapsedTimer clock;
        clock.start();
        QVERIFY(QCoro::waitFor(InstallerView(services).zapytajIZamknij(services->running)));
        QVERIFY2(clock.elapsed() >= 3400 && clock.elapsed() < 6000,
                 QByteArray::number(clock.elapsed()));
    }
};

QTEST_GUILESS_MAIN(InstallerViewTest)
#include "tst_installer_view.moc"
