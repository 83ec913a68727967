#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QMessageBox>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QtTest>
#include <functional>
#include <set>
#include <tuple>

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

// What the user does with the question, which is the system's own dialog.
using Answer = std::function<void(QMessageBox& alert)>;
Answer pressing(Qt::Key key) {
    return [key](QMessageBox& alert) { QTest::keyClick(&alert, key); };
}

// The system's services with every part a test watches or replaces made observable. The question
// dialog, the Trash and the desktop's database of applications are the real ones (the last two
// inside a TempHome).
class FakeServices : public SystemServices {
public:
    // The instances the system reports; they quit when asked unless stubborn, which also makes
    // every pause end with PauseCancelled (otherwise pauses take 10 ms). An instance started
    // meanwhile appears at the fifth pause.
    std::vector<RunningApplication> running, forceTerminated;
    bool stubborn = false;
    int terminated = 0, folderLooks = 0;
    std::vector<std::chrono::nanoseconds> pauses;
    std::optional<RunningApplication> lateInstance;

    Answer answer = pressing(Qt::Key_Return);
    std::vector<AlertContent> alerts;

    // Starts are only recorded (an empty path for one that does not bring the application to the
    // front or that the desktop's database did not name at that moment), and fail with
    // openFailure.
    std::exception_ptr openFailure;
    std::vector<fs::path> opened, unregistered;
    std::optional<fs::path> resources;
    ApplicationsFolders folders;

    std::vector<RunningApplication> runningApplications(std::string_view identifier) override {
        return identifier == applicationBundleIdentifier ? running : decltype(running){};
    }
    void terminate(const RunningApplication& application) override {
        ++terminated;
        if (!stubborn) {
            std::erase(running, application);
        }
    }
    void forceTerminate(const RunningApplication& application) override {
        forceTerminated.push_back(application);
        std::erase(running, application);
    }
    int runModalAlert(const AlertContent& content) override {
        alerts.push_back(content);
        QTimer user;  // answers once the dialog shows
        QObject::connect(&user, &QTimer::timeout, [&] {
            if (auto* alert = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                user.stop();
                answer(*alert);
            }
        });
        user.start(10);
        return SystemServices::runModalAlert(content);
    }
    QCoro::Task<> pause(std::chrono::nanoseconds duration) override {
        pauses.push_back(duration);
        if (pauses.size() == 5 && lateInstance) {
            running.push_back(*lateInstance);
        }
        if (stubborn) {
            throw PauseCancelled();
        }
        co_await QCoro::sleepFor(10ms);
    }
    QFuture<void> openApplication(fs::path bundle, OpenConfiguration configuration) override {
        const auto named = registeredApplications();
        const bool registered = std::ranges::find(named, bundle) != named.end();
        opened.push_back(configuration.activates && registered ? bundle : fs::path());
        return openFailure ? QtFuture::makeExceptionalFuture(openFailure)
                           : QtFuture::makeReadyFuture();
    }
    void unregisterApplication(const fs::path& bundle) override {
        unregistered.push_back(bundle);
        SystemServices::unregisterApplication(bundle);
    }
    std::optional<fs::path> resourceFolder() override { return resources; }
    ApplicationsFolders applicationsFolders() override { return ++folderLooks, folders; }
};

const QString failed = "Instalacja nie powiodła się: ";
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

// A temporary home, and a signed payload in a temporary resource folder. Short names give paths as
// long as real ones, for messages measured on the screen.
struct Fixture {
    TempHome home{"/tmp/vh-XXXXXX"};
    QTemporaryDir dir{"/tmp/vs-XXXXXX"};
    fs::path key = pathOf(dir) / "signing.pem";
    std::shared_ptr<FakeServices> services = std::make_shared<FakeServices>();
    fs::path payload = makeBundle(pathOf(dir) / "Resources" / "Payload" / "Vantorel.app");
    fs::path system = pathOf(dir) / "System" / "Applications";
    fs::path destination = home.path() / "Applications";
    fs::path installed = destination / "Vantorel.app";
    InstallerView view{services};
    // What an arrangement asks of the test: to press as nobody when it runs as root, to skip.
    bool asNobody = false;
    std::optional<TmpfsMount> disk;
    QByteArray whyNot;

    Fixture() {
        services->resources = pathOf(dir) / "Resources";
        services->folders = {system, destination};
        codesign::generateSigningKey(key);
        codesign::signBundle(payload, key);
    }

    void press() { QCoro::waitFor(view.install()); }
    void mount(TmpfsMount::Access access) {
        if (!disk.emplace(destination, 2 << 20, access).ok()) {
            whyNot = disk->whyNot();
        }
    }
};

using Arrange = std::function<void(Fixture&)>;

}  // namespace

Q_DECLARE_METATYPE(Answer)
Q_DECLARE_METATYPE(Arrange)

class InstallerViewTest : public QObject {
    Q_OBJECT

private slots:
    void cleanup() { files::setMoveFaultHookForTesting(nullptr); }

    void installs_data() {
        QTest::addColumn<bool>("earlierCopy");
        QTest::newRow("first installation") << false;
        QTest::newRow("an earlier copy replaced") << true;
    }

    // The engine works on a thread of its own; the state changes only on the main thread. The
    // copy is registered, then started once and brought to the front. A replaced copy is
    // unregistered before it goes. After the start, the repair unregisters the copies that older
    // updates left in the Trash, however odd their names, and moves or deletes none of them; and
    // the registrations whose folder is in the Trash or holds no copy of the application. The
    // installed copy's, one naming a folder that holds the application and the entries of other
    // programs stay. The button is pressed twice in a row: the second press, while the first
    // action runs, starts nothing.
    void installs() {
        QFETCH(bool, earlierCopy);
        Fixture f;
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
                &f.view, changed, this, [&] { stateThreads << QThread::currentThread(); },
                Qt::DirectConnection);
        }
        if (earlierCopy) {
            makeBundle(f.installed, {.marker = "earlier"});
        }
        const fs::path trash = f.home.trashFiles();
        const char* odd = "Tamblico Zażółć $HOME `x` 'a' \"b\" *;& ✓.app";
        for (const char* name : {"Vantorel.app", "Tamblico.app", ".Vantorel-previous-1F2E.app", odd,
                                 // Copies under names that older updates never left:
                                 "vantorel.app", ".Vantorel-install-1F2E.app", "Tamblico",
                                 "Vantorel.app 2", "Old/Vantorel.app"}) {
            makeBundle(trash / name);
        }
        // Names that older updates left, on items that are not copies.
        fs::create_symlink(makeBundle(pathOf(f.dir) / "Linked.app"), trash / "Tamblico 3.app");
        makeBundle(trash / "Tamblico 6.app", {.identifier = "com.example.other"});
        const QStringList trashBefore = snapshotOf(trash);
        const fs::path elsewhere = pathOf(f.dir) / "Elsewhere";
        // Entry name, the folder named in our key (empty: an entry of another program), whether
        // it stays.
        const std::tuple<const char*, fs::path, bool> entries[] = {
            {"holds-the-application.desktop", makeBundle(elsewhere / "Vantorel.app"), true},
            {"other-program.desktop", {}, true},
            {"in-the-trash.desktop", trash / "Old/Vantorel.app", false},
            {"other-application.desktop",
             makeBundle(elsewhere / "Other.app", {.identifier = "com.example.other"}), false},
        };
        const fs::path applications = f.home.path() / ".local/share/applications";
        for (const auto& [name, folder, stays] : entries) {
            // Our key outside the [Desktop Entry] group is no key of ours.
            writeFile(applications / name,
                      "[Desktop Entry]\nType=Application\nName=V\nExec=/bin/true\n" +
                          (folder.empty() ? "[Desktop Action new]\nX-Vantorel-Bundle=/gone.app\n"
                                          : "X-Vantorel-Bundle=" + folder.string() + "\n"));
        }

        f.view.startInstall();  // as the screen does it; the state tells when it has ended
        f.view.startInstall();
        QTRY_VERIFY(!f.view.busy());
        QCOMPARE(f.view.phase(), InstallerState::Phase::Done);
        QCOMPARE(stateThreads, QSet{QThread::currentThread()});
        QVERIFY(engineThread != nullptr && engineThread != QThread::currentThread());
        QCOMPARE(f.services->opened, std::vector{f.installed});
        QCOMPARE(backupsIn(f.destination), QStringList());
        std::vector<fs::path> gone = f.services->unregistered;
        if (earlierCopy) {
            QVERIFY(text(gone.front()).startsWith(text(f.destination / ".Vantorel-previous-")));
            gone.erase(gone.begin());
        }
        std::multiset<fs::path> expected{elsewhere / "Other.app"};
        for (const char* name : {".Vantorel-previous-1F2E.app", odd, "Old/Vantorel.app",
                                 "Tamblico.app", "Vantorel.app"}) {
            expected.insert(trash / name);
        }
        QCOMPARE(std::multiset(gone.begin(), gone.end()), expected);
        QCOMPARE(snapshotOf(trash), trashBefore);
        for (const auto& [name, folder, stays] : entries) {
            QVERIFY2(fs::exists(applications / name) == stays, name);
        }
        QVERIFY(fs::exists(applications / (std::string(applicationBundleIdentifier) + ".desktop")));
    }

    // Each row says what is done to the folder that the installer picks, or to the payload.
    void endsWithoutACopy_data() {
        QTest::addColumn<QString>("reason");  // the first words after the prefix; "": none shown
        QTest::addColumn<Arrange>("arrange");
        const auto row = [](const char* name, QString reason, Arrange arrange) {
            QTest::newRow(name) << reason << arrange;
        };
        using Access = TmpfsMount::Access;
        row("declined closing", "",
            [](Fixture& f) { f.services->answer = pressing(Qt::Key_Escape); });
        row("no resource folder", invalidPayload,
            [](Fixture& f) { f.services->resources.reset(); });
        row("payload missing", invalidPayload, [](Fixture& f) { fs::remove_all(f.payload); });
        row("payload of another identifier", invalidPayload, [](Fixture& f) {
            fs::remove_all(f.payload);
            codesign::signBundle(makeBundle(f.payload, {.identifier = "com.example.other"}), f.key);
        });
        row("payload not executable", invalidPayload, [](Fixture& f) {
            fs::permissions(f.payload / "Contents/MacOS/Vantorel", fs::perms(0644));
            codesign::signBundle(f.payload, f.key);
        });
        row("payload unsigned", invalidPayload,
            [](Fixture& f) { fs::remove_all(f.payload / "Contents/_CodeSignature"); });
        row("full disk", "Za mało miejsca na dysku", [](Fixture& f) {
            writeFile(f.payload / "Contents/Resources/large.bin", std::string(3 << 20, 'x'));
            codesign::signBundle(f.payload, f.key);
            f.mount(Access::readWrite);
        });
        row("read-only disk", "Dysk tylko do odczytu",
            [](Fixture& f) { f.mount(Access::readOnly); });
        row("noexec disk", "System plików nie pozwala uruchamiać",
            [](Fixture& f) { f.mount(Access::noPrograms); });
        row("folder this user may not write", "Brak uprawnień do zapisu", [](Fixture& f) {
            fs::permissions(f.home.path(), fs::perms(0555));
            f.asNobody = true;
        });
        // In a folder that this user may write.
        row("copy an administrator installed", "Brak uprawnień do zastąpienia", [](Fixture& f) {
            fs::permissions(makeBundle(f.system / "Vantorel.app"), fs::perms(0555));
            fs::permissions(f.system, fs::perms(0777));
            fs::permissions(pathOf(f.dir), fs::perms(0755));
            f.asNobody = true;
        });
        for (const char* link : {"/nonexistent", ""}) {  // "": to the payload, a copy
            row(*link ? "dangling link at the target" : "link to a copy at the target",
                unsafeDestination, [link](Fixture& f) {
                    fs::create_directories(f.destination);
                    fs::create_symlink(*link ? fs::path(link) : f.payload, f.installed);
                });
        }
        row("root in another user's home", "Cudzy folder", [](Fixture& f) {
            f.whyNot = ::geteuid() == 0 ? "" : "only root can be in another user's home";
            QProcess::execute("chown", {"-R", "nobody", text(f.home.path())});
        });
    }

    // An action that ends before a copy is made leads with its reason, names the folder (where it
    // is about the folder) but no hidden copy and no path inside a bundle, and fits the message
    // line's two lines; or it says nothing when the user declined. What can be known before the
    // closing question fails before it: the running copy is not asked to close and still runs.
    // Nothing is started, and nothing is made in either applications folder.
    void endsWithoutACopy() {
        QFETCH(QString, reason);
        QFETCH(Arrange, arrange);
        Fixture f;
        f.services->running = {RunningApplication(4242, 1)};
        arrange(f);
        if (!f.whyNot.isEmpty()) {
            QSKIP(f.whyNot.constData());
        }
        const QStringList before = snapshotOf(f.system) + snapshotOf(f.destination);
        // Root ignores permission bits: the press runs as nobody then.
        const bool asNobody = f.asNobody && ::geteuid() == 0;
        QVERIFY(!asNobody || ::seteuid(65534) == 0);
        f.press();
        QVERIFY(!asNobody || ::seteuid(0) == 0);

        const QString message = f.view.message();
        QVERIFY2(reason.isEmpty() ? message.isEmpty()
                                  : message.startsWith(failed + reason) &&
                                        isUserSentence(message) && messageLines(message) <= 2,
                 qPrintable(message));
        QVERIFY(!reason.endsWith('.') || message == failed + reason);  // a fixed text, whole
        QCOMPARE(message.contains("„" + f.view.destinationPath() + "”"),
                 !reason.isEmpty() && reason != invalidPayload && reason != unsafeDestination);
        QVERIFY(!f.view.busy() && f.view.installedURL().isEmpty() && f.services->opened.empty());
        // Only the question, declined, ends without a reason.
        QCOMPARE(f.services->alerts.size(), reason.isEmpty() ? 1u : 0u);
        QVERIFY(!f.services->running.empty());  // closed only on consent
        QCOMPARE(snapshotOf(f.system) + snapshotOf(f.destination), before);
    }

    // Pressed after a failure before the copy, after a failed start, and once more. Each change
    // announces its own field, and the phase or the destination only when it changed; busy goes
    // before the old line, which clears at once. The failed start says that the application is
    // installed, with the launcher's reason, and keeps the replaced copy; the next press only
    // starts the installed copy again, registered before each start: nothing is copied,
    // unregistered or removed. Once the application runs, the destination is looked at no more.
    void pressedAgainAfterFailures() {
        Fixture f;
        makeBundle(f.installed, {.marker = "earlier"});
        QStringList announced;
        for (const auto& [signal, name] :
             {std::pair{&InstallerState::busyChanged, "busy"},
              {&InstallerState::installedChanged, "installed"},
              {&InstallerState::messageChanged, "message"},
              {&InstallerState::installedURLChanged, "installedURL"},
              {&InstallerState::destinationPathChanged, "destinationPath"},
              {&InstallerState::phaseChanged, "phase"}}) {
            connect(&f.view, signal, this, [&announced, name] { announced << name; });
        }
        connect(&f.view, &InstallerState::installedChanged, this,
                [&] { f.services->folderLooks = 0; });

        f.services->resources.reset();
        f.press();
        f.services->resources = pathOf(f.dir) / "Resources";
        const LaunchError refused =
            startFailure(f.installed, f.installed / "Contents/MacOS/Vantorel", EACCES);
        f.services->openFailure = std::make_exception_ptr(refused);
        f.press();
        QCOMPARE(f.view.message().toUtf8(),
                 "Aplikacja jest zainstalowana, ale nie udało się jej uruchomić: " +
                     QByteArray(refused.what()));
        QCOMPARE(f.view.installedURL(), text(f.installed));
        const QStringList backups = backupsIn(f.destination);
        QCOMPARE(backups.size(), 1);  // kept while the new copy has not started

        f.services->openFailure = nullptr;
        f.press();
        QCOMPARE(f.view.phase(), InstallerState::Phase::Done);
        QCOMPARE(announced, QString("busy destinationPath phase message busy phase "
                                    "busy phase message installedURL phase message busy phase "
                                    "busy phase message installed phase busy")
                                .split(' '));
        QCOMPARE(f.services->folderLooks, 0);
        QCOMPARE(f.services->opened, std::vector(2, f.installed));
        QCOMPARE(readFile(f.installed / "Contents/Resources/marker.txt"), "payload");
        QCOMPARE(backupsIn(f.destination), backups);
        QVERIFY(f.services->unregistered.empty());
    }

    void closingQuestion_data() {
        QTest::addColumn<Answer>("answer");
        QTest::addColumn<bool>("closes");
        // The instances ignore the request to quit, and every pause is cut short: the sequence
        // goes on all the same.
        QTest::addColumn<bool>("stubborn");
        // Only the first button closes the running application; every other way out of the
        // dialog counts as "Anuluj".
        QTest::newRow("window closed")
            << Answer([](QMessageBox& alert) { alert.close(); }) << false << false;
        QTest::newRow("dismissed without a button")
            << Answer([](QMessageBox& alert) { alert.reject(); }) << false << false;
        QTest::newRow("Return, all quit at once: no pause")
            << pressing(Qt::Key_Return) << true << false;
        QTest::newRow("some stay: force-quit") << pressing(Qt::Key_Return) << true << true;
    }

    // The question in the system's own words; on consent every instance is asked to quit, and
    // what is left after 30 pauses, also an instance started meanwhile, is force-quit.
    void closingQuestion() {
        QFETCH(Answer, answer);
        QFETCH(bool, closes);
        QFETCH(bool, stubborn);
        const auto services = std::make_shared<FakeServices>();
        const RunningApplication first(4242, 1), second(4243, 1), late(4244, 1);
        services->running = {first, second};
        services->answer = answer;
        services->stubborn = stubborn;
        services->lateInstance = late;

        QCOMPARE(QCoro::waitFor(InstallerView(services).zapytajIZamknij(services->running)),
                 closes);
        QCOMPARE(services->alerts.size(), size_t(1));
        const AlertContent& alert = services->alerts[0];
        QCOMPARE(QStringList({alert.messageText, alert.informativeText}) + alert.buttons,
                 QStringList({"Zamknąć Vantorel, żeby zainstalować nową wersję?",
                              "Program jest teraz uruchomiony. Zamkniemy go, zainstalujemy "
                              "aktualizację i otworzymy ponownie. Twoje ustawienia i licencja "
                              "zostają.",
                              "Zamknij i zainstaluj", "Anuluj"}));
        QCOMPARE(services->terminated, closes ? 2 : 0);
        std::vector<std::chrono::nanoseconds> pauses(30, 100ms);
        pauses.push_back(500ms);
        QCOMPARE(services->pauses, stubborn ? pauses : decltype(pauses){});
        QCOMPARE(services->forceTerminated,
                 (stubborn ? std::vector{first, second, late} : std::vector<RunningApplication>{}));
    }
};

QTEST_MAIN(InstallerViewTest)
#include "tst_installer_view.moc"
