#include <QDir>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>
#include <functional>
#include <set>

#include <qcoro/qcorotimer.h>

#include "bundle_factory.h"
#include "code_signature.h"
#include "file_manager.h"
#include "installer_view.h"
#include "temp_home.h"
#include "tree_snapshot.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace testsupport;

namespace {

// The system's services with every part a test watches or replaces made observable. The Trash and
// the desktop's database of applications are the real ones (inside a TempHome).
class FakeServices : public SystemServices {
public:
    // The instances the system reports; they quit when asked unless ignoreTerminate is set.
    std::vector<RunningApplication> running;
    bool ignoreTerminate = false;
    int runningQueries = 0;
    int terminated = 0;
    std::vector<RunningApplication> forceTerminated;

    int alertResponse = alertFirstButtonReturn;
    std::vector<AlertContent> alerts;

    // Pauses take 10 ms; cancelledPauses makes every pause end with PauseCancelled. onPause runs
    // at the start of the n-th pause (from 1).
    bool cancelledPauses = false;
    std::vector<std::chrono::nanoseconds> pauses;
    std::function<void(int)> onPause = [](int) {};

    // Starts are only recorded, with what the desktop's database named at that moment, and fail
    // with openFailure when it is set.
    std::exception_ptr openFailure;
    std::vector<std::pair<fs::path, OpenConfiguration>> opened;
    std::vector<fs::path> registeredWhenOpened;

    std::vector<fs::path> unregistered;
    std::optional<fs::path> resources;
    ApplicationsFolders folders;

    std::vector<RunningApplication> runningApplications(std::string_view identifier) override {
        ++runningQueries;
        return identifier == applicationBundleIdentifier ? running
                                                         : std::vector<RunningApplication>{};
    }
    void terminate(const RunningApplication& application) override {
        ++terminated;
        if (!ignoreTerminate) {
            std::erase(running, application);
        }
    }
    void forceTerminate(const RunningApplication& application) override {
        forceTerminated.push_back(application);
        std::erase(running, application);
    }
    int runModalAlert(const AlertContent& content) override {
        alerts.push_back(content);
        return alertResponse;
    }
    QCoro::Task<> pause(std::chrono::nanoseconds duration) override {
        pauses.push_back(duration);
        onPause(static_cast<int>(pauses.size()));
        if (cancelledPauses) {
            throw PauseCancelled();
        }
        co_await QCoro::sleepFor(10ms);
    }
    QFuture<void> openApplication(fs::path bundle, OpenConfiguration configuration) override {
        const auto named = registeredApplications();
        registeredWhenOpened.insert(registeredWhenOpened.end(), named.begin(), named.end());
        opened.emplace_back(std::move(bundle), configuration);
        return openFailure ? QtFuture::makeExceptionalFuture(openFailure)
                           : QtFuture::makeReadyFuture();
    }
    void unregisterApplication(const fs::path& bundle) override {
        unregistered.push_back(bundle);
        SystemServices::unregisterApplication(bundle);
    }
    std::optional<fs::path> resourceFolder() override { return resources; }
    ApplicationsFolders applicationsFolders() override { return folders; }
};

const QString invalidPayload =
    "Instalacja nie powiodła się: Pliki instalatora są niekompletne lub uszkodzone. Pobierz "
    "instalator ponownie.";

QString text(const fs::path& path) {
    return QString::fromStdString(path.string());
}

QStringList backupsIn(const fs::path& folder) {
    return QDir(text(folder)).entryList({".Vantorel-*"}, QDir::AllEntries | QDir::Hidden);
}

// A temporary home with a Trash holding an old copy, and a signed payload in a temporary resource
// folder.
struct Fixture {
    TempHome home;
    QTemporaryDir dir;
    std::shared_ptr<FakeServices> services = std::make_shared<FakeServices>();
    fs::path payload = makeBundle(pathOf(dir) / "Resources" / "Payload" / "Vantorel.app");
    fs::path destination = home.path() / "Applications";
    fs::path installed = destination / "Vantorel.app";
    fs::path trashedCopy = makeBundle(home.trashFiles() / "Tamblico.app");
    InstallerView view{services};

    explicit Fixture(const fs::path& key) {
        services->resources = pathOf(dir) / "Resources";
        services->folders = {pathOf(dir) / "System" / "Applications", destination};
        codesign::signBundle(payload, key);
    }

    void press() { QCoro::waitFor(view.install()); }
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
        QTest::addColumn<QString>("message");
        QTest::addColumn<int>("unregistered");  // copies unregistered
        QTest::newRow("first installation") << "install" << true << "" << 1;
        QTest::newRow("an earlier copy replaced") << "replace" << true << "" << 2;
        QTest::newRow("pressed twice in a row") << "twice" << true << "" << 1;
        QTest::newRow("declined closing") << "decline" << false << "" << 0;
        QTest::newRow("no resource folder") << "no resources" << false << invalidPayload << 0;
        for (const char* fault : {"payload missing", "payload of another identifier",
                                  "payload not executable", "payload unsigned"}) {
            QTest::newRow(fault) << fault << false << invalidPayload << 0;
        }
        QTest::newRow("launch fails")
            << "launch fails" << false
            << "Aplikacja jest zainstalowana, ale nie udało się jej uruchomić: Nie." << 0;
        QTest::newRow("launched again") << "again" << true << "" << 0;
    }

    // Each way the action can end. The engine works on a thread of its own; the state changes
    // only on the main thread. Every start is preceded by the copy's registration, which leaves
    // one entry naming it. A replaced copy is unregistered before it goes, and the Trash is
    // repaired after every launch that worked. A press after a failed launch only starts the
    // installed copy again: nothing is looked for, copied, unregistered or removed.
    void endsOfTheAction() {
        QFETCH(QString, scenario);
        QFETCH(bool, installed);
        QFETCH(QString, message);
        QFETCH(int, unregistered);
        Fixture fixture(key_);
        QThread* engineThread = nullptr;
        files::setMoveFaultHookForTesting([&](const fs::path&, const fs::path&) {
            engineThread = QThread::currentThread();
            return 0;
        });
        QList<QThread*> stateThreads;
        connect(
            &fixture.view, &InstallerView::phaseChanged, this,
            [&] { stateThreads << QThread::currentThread(); }, Qt::DirectConnection);
        if (scenario == "decline") {
            fixture.services->running = {RunningApplication(4242, 1)};
            fixture.services->alertResponse = alertFirstButtonReturn + 1;
        } else if (scenario == "no resources") {
            fixture.services->resources.reset();
        } else if (scenario.startsWith("payload")) {
            fs::remove_all(fixture.payload);
            if (scenario != "payload missing") {
                makeBundle(fixture.payload,
                           {.identifier = scenario.contains("identifier")
                                              ? "com.example.other"
                                              : std::string(applicationBundleIdentifier)});
                if (scenario.contains("not executable")) {
                    fs::permissions(fixture.payload / "Contents/MacOS/Vantorel", fs::perms(0644));
                }
                if (!scenario.contains("unsigned")) {
                    codesign::signBundle(fixture.payload, key_);
                }
            }
        } else if (scenario == "launch fails" || scenario == "again") {
            fixture.services->openFailure = std::make_exception_ptr(LaunchError("Nie."));
        }
        QStringList backups;
        if (scenario == "replace" || scenario == "again") {
            makeBundle(fixture.installed, {.marker = "earlier"});
        }
        if (scenario == "again") {
            fixture.press();
            backups = backupsIn(fixture.destination);
            QCOMPARE(backups.size(), 1);  // kept while the new copy has not started
            fixture.services->runningQueries = 0;
            fixture.services->openFailure = nullptr;
        }

        // Pressed as the screen does it; the state tells when the action has ended.
        fixture.view.startInstall();
        if (scenario == "twice") {
            fixture.view.startInstall();  // while the first action runs: starts nothing
        }
        QTRY_VERIFY(!fixture.view.busy());
        QCOMPARE(fixture.view.installed(), installed);
        QCOMPARE(fixture.view.message().toUtf8(), message.toUtf8());
        const bool copied = installed || scenario == "launch fails";
        QCOMPARE(fixture.view.installedURL(), copied ? text(fixture.installed) : "");
        QCOMPARE(stateThreads.count(QThread::currentThread()), stateThreads.size());
        if (!copied) {
            QVERIFY(fixture.services->opened.empty());
            QVERIFY(!fs::exists(fixture.destination));
            return;
        }
        QVERIFY(engineThread != nullptr && engineThread != QThread::currentThread());
        // One start per press, each after the registration that names only the installed copy.
        QCOMPARE(fixture.services->registeredWhenOpened,
                 std::vector(backups.isEmpty() ? 1u : 2u, fixture.installed));
        QCOMPARE(fixture.services->opened.back().first, fixture.installed);
        QVERIFY(fixture.services->opened.back().second.activates);
        QCOMPARE(markerOf(fixture.installed), "payload");
        QCOMPARE(fixture.services->registeredApplications(), std::vector{fixture.installed});
        const std::vector<fs::path>& gone = fixture.services->unregistered;
        QCOMPARE(int(gone.size()), unregistered);
        if (scenario == "again") {
            QCOMPARE(fixture.services->runningQueries, 0);
            QCOMPARE(backupsIn(fixture.destination), backups);
        } else if (installed) {
            QCOMPARE(backupsIn(fixture.destination), QStringList());
            QVERIFY(
                unregistered < 2 ||
                text(gone.front()).startsWith(text(fixture.destination / ".Vantorel-previous-")));
            QCOMPARE(gone.back(), fixture.trashedCopy);
        }
    }

    // The repair unregisters the copies that older updates left in the Trash, however odd their
    // names, and moves or deletes none of them. It also removes the registrations whose folder is
    // in the Trash or no longer holds the application; the installed copy's, one naming a folder
    // that holds the application and the entries of other programs stay. Unregistering a
    // discarded copy removes its entry and no other.
    void repair() {
        Fixture fixture(key_);  // its Trash holds Tamblico.app
        const fs::path trash = fixture.home.trashFiles();
        const char* odd = "Tamblico Zażółć $HOME `x` 'a' \"b\" *;& ✓.app";
        for (const char* name : {"Vantorel.app", ".Vantorel-previous-1F2E.app", odd,
                                 // Copies under names that older updates never left:
                                 "vantorel.app", ".Vantorel-install-1F2E.app", "Tamblico",
                                 "Vantorel.app 2", "Old/Vantorel.app"}) {
            makeBundle(trash / name);
        }
        // Names that older updates left, on items that are not copies.
        fs::create_symlink(makeBundle(pathOf(fixture.dir) / "Linked.app"),
                           trash / "Tamblico 3.app");
        makeBundle(trash / "Tamblico 6.app", {.identifier = "com.example.other"});
        const QStringList before = snapshotOf(trash);

        const fs::path elsewhere = pathOf(fixture.dir) / "Elsewhere";
        const fs::path discarded = makeBundle(elsewhere / "Discarded.app");
        // Entry name, the folder named in our key (empty: an entry of another program), whether
        // it stays.
        const std::tuple<const char*, fs::path, bool> entries[] = {
            {"holds-the-application.desktop", makeBundle(elsewhere / "Vantorel.app"), true},
            {"discarded.desktop", discarded, false},
            {"other-program.desktop", {}, true},
            {"in-the-trash.desktop", trash / "Old/Vantorel.app", false},
            {"gone.desktop", elsewhere / "Gone.app", false},
            {"other-application.desktop",
             makeBundle(elsewhere / "Other.app", {.identifier = "com.example.other"}), false},
        };
        const fs::path applications = fixture.home.path() / ".local/share/applications";
        for (const auto& [name, folder, stays] : entries) {
            std::string text = "[Desktop Entry]\nType=Application\nName=V\nExec=/bin/true\n";
            // Our key outside the [Desktop Entry] group is no key of ours.
            text += folder.empty() ? "[Desktop Action new]\nX-Vantorel-Bundle=/gone.app\n"
                                   : "X-Vantorel-Bundle=" + folder.string() + "\n";
            writeFile(applications / name, text);
        }

        fixture.press();  // installs, registers the new copy and repairs
        fixture.view.wyrejestrujZSystemu(discarded);
        const auto& unregistered = fixture.services->unregistered;
        std::multiset<fs::path> expected{discarded, elsewhere / "Gone.app",
                                         elsewhere / "Other.app"};
        for (const char* name : {".Vantorel-previous-1F2E.app", odd, "Old/Vantorel.app",
                                 "Tamblico.app", "Vantorel.app"}) {
            expected.insert(trash / name);
        }
        QCOMPARE(std::multiset(unregistered.begin(), unregistered.end()), expected);
        QCOMPARE(snapshotOf(trash), before);  // nothing moved or deleted
        for (const auto& [name, folder, stays] : entries) {
            QVERIFY2(fs::exists(applications / name) == stays, name);
        }
        QVERIFY(fs::exists(applications / (std::string(applicationBundleIdentifier) + ".desktop")));
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

    // The question in the system's own words; on consent every instance is asked to quit, and
    // what is left after 30 pauses, also an instance started meanwhile, is force-quit.
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
        services->onPause = [&](int pause) {
            if (pause == 5) {
                services->running.push_back(late);
            }
        };

        const bool closed =
            QCoro::waitFor(InstallerView(services).zapytajIZamknij(services->running));
        QCOMPARE(closed, button == 0);
        QCOMPARE(services->alerts.size(), size_t(1));
        QCOMPARE(services->alerts[0].messageText.toUtf8(),
                 "Zamknąć Vantorel, żeby zainstalować nową wersję?");
        QCOMPARE(services->alerts[0].informativeText.toUtf8(),
                 "Program jest teraz uruchomiony. Zamkniemy go, zainstalujemy aktualizację i "
                 "otworzymy ponownie. Twoje ustawienia i licencja zostają.");
        QCOMPARE(services->alerts[0].buttons, (QStringList{"Zamknij i zainstaluj", "Anuluj"}));
        QCOMPARE(services->terminated, button == 0 ? 2 : 0);
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
};

QTEST_GUILESS_MAIN(InstallerViewTest)
#include "tst_installer_view.moc"
