#include <unistd.h>

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>
#include <functional>
#include <set>

#include <qcoro/qcorotimer.h>

#include "application_launcher.h"
#include "bundle_factory.h"
#include "code_signature.h"
#include "file_manager.h"
#include "installer_view.h"
#include "readable_error.h"
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

const QString unsafeText = "W miejscu instalacji jest inny plik lub dowiązanie.";
using Arrange = std::function<void(struct Fixture&)>;

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
// folder. Short names give paths as long as real ones, for messages measured on the screen.
struct Fixture {
    TempHome home{"/tmp/vh-XXXXXX"};
    QTemporaryDir dir{"/tmp/vs-XXXXXX"};
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

Q_DECLARE_METATYPE(Arrange)

class InstallerViewTest : public QObject {
    Q_OBJECT

    QTemporaryDir keys_;
    fs::path key_ = pathOf(keys_) / "signing.pem";

private slots:
    void initTestCase() { codesign::generateSigningKey(key_); }
    void cleanup() { files::setMoveFaultHookForTesting(nullptr); }

    void installs_data() {
        QTest::addColumn<bool>("earlierCopy");
        QTest::addColumn<bool>("pressedTwice");  // the second press while the first action runs
        QTest::addColumn<int>("unregistered");   // copies unregistered
        QTest::newRow("first installation") << false << false << 1;
        QTest::newRow("an earlier copy replaced") << true << false << 2;
        QTest::newRow("pressed twice in a row") << false << true << 1;
    }

    // The engine works on a thread of its own; the state changes only on the main thread. The
    // start is preceded by the copy's registration, which leaves one entry naming it. A replaced
    // copy is unregistered before it goes, and the Trash is repaired after the start.
    void installs() {
        QFETCH(bool, earlierCopy);
        QFETCH(bool, pressedTwice);
        QFETCH(int, unregistered);
        Fixture fixture(key_);
        QThread* engineThread = nullptr;
        files::setMoveFaultHookForTesting([&](const fs::path&, const fs::path&) {
            engineThread = QThread::currentThread();
            return 0;
        });
        QSet<QThread*> stateThreads;
        for (const auto changed :
             {&InstallerState::busyChanged, &InstallerState::installedChanged,
              &InstallerState::messageChanged, &InstallerState::installedURLChanged}) {
            connect(
                &fixture.view, changed, this, [&] { stateThreads << QThread::currentThread(); },
                Qt::DirectConnection);
        }
        if (earlierCopy) {
            makeBundle(fixture.installed, {.marker = "earlier"});
        }

        fixture.view.startInstall();  // as the screen does it; the state tells when it has ended
        if (pressedTwice) {
            fixture.view.startInstall();
        }
        QTRY_VERIFY(!fixture.view.busy());
        QCOMPARE(fixture.view.phase(), InstallerState::Phase::Done);
        QCOMPARE(fixture.view.message(), QString());
        QCOMPARE(fixture.view.installedURL(), text(fixture.installed));
        QCOMPARE(stateThreads, QSet{QThread::currentThread()});
        QVERIFY(engineThread != nullptr && engineThread != QThread::currentThread());
        QCOMPARE(fixture.services->registeredWhenOpened, std::vector{fixture.installed});
        QCOMPARE(fixture.services->opened.size(), size_t(1));
        QVERIFY(fixture.services->opened.back().second.activates);
        QCOMPARE(markerOf(fixture.installed), "payload");
        QCOMPARE(fixture.services->registeredApplications(), std::vector{fixture.installed});
        QCOMPARE(backupsIn(fixture.destination), QStringList());
        const std::vector<fs::path>& gone = fixture.services->unregistered;
        QCOMPARE(int(gone.size()), unregistered);
        if (earlierCopy) {
            QVERIFY(
                text(gone.front()).startsWith(text(fixture.destination / ".Vantorel-previous-")));
        }
        QCOMPARE(gone.back(), fixture.trashedCopy);
    }

    void endsBeforeTheCopy_data() {
        QTest::addColumn<Arrange>("arrange");
        QTest::addColumn<QString>("message");
        const fs::path key = key_;
        const auto remakePayload = [key](Fixture& f, std::string identifier, fs::perms mode,
                                         bool signs) {
            fs::remove_all(f.payload);
            makeBundle(f.payload, {.identifier = std::move(identifier)});
            fs::permissions(f.payload / "Contents/MacOS/Vantorel", mode);
            if (signs) {
                codesign::signBundle(f.payload, key);
            }
        };
        const std::string ours(applicationBundleIdentifier);
        QTest::newRow("declined closing") << Arrange([](Fixture& f) {
            f.services->running = {RunningApplication(4242, 1)};
            f.services->alertResponse = alertFirstButtonReturn + 1;
        }) << "";
        QTest::newRow("no resource folder")
            << Arrange([](Fixture& f) { f.services->resources.reset(); }) << invalidPayload;
        QTest::newRow("payload missing")
            << Arrange([](Fixture& f) { fs::remove_all(f.payload); }) << invalidPayload;
        QTest::newRow("payload of another identifier") << Arrange([=](Fixture& f) {
            remakePayload(f, "com.example.other", fs::perms(0755), true);
        }) << invalidPayload;
        QTest::newRow("payload not executable")
            << Arrange([=](Fixture& f) { remakePayload(f, ours, fs::perms(0644), true); })
            << invalidPayload;
        QTest::newRow("payload unsigned")
            << Arrange([=](Fixture& f) { remakePayload(f, ours, fs::perms(0755), false); })
            << invalidPayload;
        QTest::newRow("something else at the destination")
            << Arrange([](Fixture& f) {
                   fs::create_directories(f.destination);
                   fs::create_symlink(f.payload, f.installed);
               })
            << "Instalacja nie powiodła się: W miejscu instalacji jest inny plik lub dowiązanie. "
               "Wybierz prawidłowy folder aplikacji.";
    }

    // An action that ends before a copy is made says why, in the words given, or nothing when the
    // user declined; nothing is started and the destination is as it was.
    void endsBeforeTheCopy() {
        QFETCH(Arrange, arrange);
        QFETCH(QString, message);
        Fixture fixture(key_);
        arrange(fixture);
        const QStringList before = snapshotOf(fixture.destination);
        fixture.press();
        QVERIFY(!fixture.view.busy());
        QCOMPARE(fixture.view.message().toUtf8(), message.toUtf8());
        QCOMPARE(fixture.view.installedURL(), QString());
        QVERIFY(fixture.services->opened.empty());
        QCOMPARE(snapshotOf(fixture.destination), before);
    }

    // A start that fails after the installation says that the application is installed, with the
    // launcher's reason, and leaves the replaced copy on disk. The next press only starts the
    // installed copy again: nothing is looked for, copied, unregistered or removed.
    void failedStartThenStartAgain() {
        Fixture fixture(key_);
        makeBundle(fixture.installed, {.marker = "earlier"});
        const LaunchError refused =
            startFailure(fixture.installed, fixture.installed / "Contents/MacOS/Vantorel", EACCES);
        fixture.services->openFailure = std::make_exception_ptr(refused);
        fixture.press();
        QCOMPARE(fixture.view.message().toUtf8(),
                 "Aplikacja jest zainstalowana, ale nie udało się jej uruchomić: " +
                     QByteArray(refused.what()));
        QCOMPARE(fixture.view.phase(), InstallerState::Phase::InstalledNotLaunched);
        QCOMPARE(fixture.view.installedURL(), text(fixture.installed));
        const QStringList backups = backupsIn(fixture.destination);
        QCOMPARE(backups.size(), 1);  // kept while the new copy has not started

        fixture.services->runningQueries = 0;
        fixture.services->openFailure = nullptr;
        fixture.press();
        QCOMPARE(fixture.view.phase(), InstallerState::Phase::Done);
        QCOMPARE(fixture.view.message(), QString());
        QCOMPARE(fixture.services->runningQueries, 0);
        QCOMPARE(fixture.services->registeredWhenOpened, std::vector(2, fixture.installed));
        QCOMPARE(markerOf(fixture.installed), "payload");
        QCOMPARE(backupsIn(fixture.destination), backups);
        QVERIFY(fixture.services->unregistered.empty());
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

    void failuresTheUserCanActOn_data() {
        QTest::addColumn<QString>("reason");  // the first words after the prefix
        const QString unsafe = unsafeText;
        // The row's name says what is done to the folder that the installer picks.
        for (const auto& [setup, reason] :
             {std::pair<const char*, QString>{"full disk", "Za mało miejsca na dysku"},
              {"read-only disk", "Dysk tylko do odczytu"},
              {"folder this user may not write", "Brak uprawnień do zapisu"},
              {"copy an administrator installed", "Brak uprawnień do zastąpienia"},
              {"noexec disk", "System plików nie pozwala uruchamiać"},
              {"dangling link at the target", unsafe},
              {"link to a copy at the target", unsafe},
              {"root in another user's home", "Cudzy folder"}}) {
            QTest::newRow(setup) << reason;
        }
    }

    // Every failure that the user can act on leads with its reason, names the folder (where it
    // is about the folder) but no hidden copy and no path inside a bundle, and fits the message
    // line's two lines. What can be known before the closing question fails before it: the
    // running copy is not asked to close and still runs. Nothing is made in the folder.
    void failuresTheUserCanActOn() {
        const QString setup = QTest::currentDataTag();
        QFETCH(QString, reason);
        Fixture fixture(key_);
        fixture.services->running = {RunningApplication(4242, 1)};
        const fs::path system = fixture.services->folders.system;
        const fs::path folder = setup.startsWith("copy") ? system : fixture.destination;
        if (setup == "full disk") {
            writeFile(fixture.payload / "Contents/Resources/large.bin", std::string(3 << 20, 'x'));
            codesign::signBundle(fixture.payload, key_);
        }
        std::optional<TmpfsMount> disk;
        if (setup.endsWith("disk") &&
            !disk.emplace(folder, 2 << 20,
                          setup == "full disk"        ? TmpfsMount::Access::readWrite
                          : setup == "read-only disk" ? TmpfsMount::Access::readOnly
                                                      : TmpfsMount::Access::noPrograms)
                 .ok()) {
            QSKIP(disk->whyNot().constData());
        }
        if (setup.startsWith("folder")) {
            fs::permissions(fixture.home.path(), fs::perms(0555));
        } else if (setup.startsWith("copy")) {  // in a folder that this user may write
            fs::permissions(makeBundle(system / "Vantorel.app"), fs::perms(0555));
            fs::permissions(system, fs::perms(0777));
            fs::permissions(pathOf(fixture.dir), fs::perms(0755));
        } else if (setup.contains("link")) {
            fs::create_directories(folder);
            fs::create_symlink(setup.startsWith("dangling") ? "/nonexistent" : fixture.payload,
                               fixture.installed);
        } else if (setup.startsWith("root") && ::geteuid() != 0) {
            QSKIP("only root can be in another user's home");
        } else if (setup.startsWith("root")) {
            QCOMPARE(QProcess::execute("chown", {"-R", "nobody", text(fixture.home.path())}), 0);
        }
        // Root ignores permission bits: the press runs as nobody then.
        const bool asNobody =
            ::geteuid() == 0 && (setup.startsWith("folder") || setup.startsWith("copy"));
        const QStringList before = snapshotOf(folder);
        QVERIFY(!asNobody || ::seteuid(65534) == 0);
        fixture.press();
        QVERIFY(!asNobody || ::seteuid(0) == 0);

        const QString message = fixture.view.message();
        QVERIFY2(message.startsWith("Instalacja nie powiodła się: " + reason) &&
                     isUserSentence(message) && messageLines(message) <= 2 &&
                     (reason == unsafeText || message.contains("„" + text(folder) + "”")),
                 qPrintable(message));
        QVERIFY(fixture.view.installedURL().isEmpty() && fixture.services->opened.empty());
        QVERIFY(fixture.services->alerts.empty() && !fixture.services->running.empty());
        QCOMPARE(snapshotOf(folder), before);
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

QTEST_MAIN(InstallerViewTest)
#include "tst_installer_view.moc"
