#include <QtTest>
#include <functional>

#include "installer_state.h"

namespace {

using Phase = InstallerState::Phase;

// The state's fields set directly, with a destination that counts how often it is looked at.
class FieldsState : public InstallerState {
public:
    bool occupied = false;  // an item named "Vantorel.app" at the destination
    QString destination = QStringLiteral("/home/tester/Applications");
    mutable int looks = 0;

    QString destinationPath() const override {
        ++looks;
        return destination;
    }
    bool applicationExistsAtDestination() const override {
        ++looks;
        return occupied;
    }
    void startInstall() override {}

    using InstallerState::lookAgain;
    using InstallerState::setBusy;
    using InstallerState::setInstalled;
    using InstallerState::setInstalledLocation;
    using InstallerState::setMessage;
};

struct Fields {
    bool busy, installed, failed, copied, occupied;
};

}  // namespace

Q_DECLARE_METATYPE(Fields)

class InstallerStateTest : public QObject {
    Q_OBJECT

private slots:
    void phaseOfTheFields_data() {
        QTest::addColumn<Fields>("f");
        QTest::addColumn<Phase>("phase");
        const auto row = [](const char* name, Fields f, Phase phase) {
            QTest::newRow(name) << f << phase;
        };
        // busy, installed, failure line, copy installed in this run, item at the destination
        row("nothing done", {false, false, false, false, false}, Phase::FirstInstall);
        row("an item at the destination", {false, false, false, false, true}, Phase::Reinstall);
        row("failed before the copy", {false, false, true, false, false}, Phase::Failed);
        row("failed before the copy, item there", {false, false, true, false, true},
            Phase::FailedReinstall);
        row("installing", {true, false, false, false, false}, Phase::Installing);
        row("installing over an item", {true, false, false, false, true}, Phase::Reinstalling);
        // The action's first step sets busy before it clears the line: the line goes at once.
        row("pressed after a failure", {true, false, true, false, true}, Phase::Reinstalling);
        row("starting the copy", {true, false, false, true, true}, Phase::Launching);
        row("starting a copy removed meanwhile", {true, false, false, true, false},
            Phase::LaunchingGoneCopy);
        row("copy did not start", {false, false, true, true, true}, Phase::InstalledNotLaunched);
        row("copy did not start, removed since", {false, false, true, true, false},
            Phase::InstalledCopyGone);
        row("done", {false, true, false, true, true}, Phase::Done);
        row("done wins over everything else", {true, true, true, true, false}, Phase::Done);
    }

    // The first matching row wins; the destination is looked at once for its path and once for an
    // item there after each change, and not at all once the application runs.
    void phaseOfTheFields() {
        QFETCH(Fields, f);
        QFETCH(Phase, phase);
        FieldsState state;
        state.occupied = f.occupied;
        state.setBusy(f.busy);
        state.setMessage(f.failed ? QStringLiteral("Instalacja nie powiodła się: x") : QString());
        if (f.copied) {
            state.setInstalledLocation("/home/tester/Applications/Vantorel.app");
        }
        state.setInstalled(f.installed);
        QCOMPARE(state.phase(), phase);
        state.looks = 0;
        state.lookAgain();
        QCOMPARE(state.looks, f.installed ? 0 : 2);
    }

    // Each change announces the field it changed, and the phase or the destination only when
    // they changed: along a first installation whose start fails, then starts.
    void eachChangeIsAnnouncedOnItsOwn() {
        FieldsState state;
        state.lookAgain();  // as the screen's first look
        QStringList announced;
        const auto record = [&](auto signal, const char* name) {
            connect(&state, signal, this, [&announced, name] { announced << name; });
        };
        record(&InstallerState::busyChanged, "busy");
        record(&InstallerState::installedChanged, "installed");
        record(&InstallerState::messageChanged, "message");
        record(&InstallerState::installedURLChanged, "installedURL");
        record(&InstallerState::destinationPathChanged, "destinationPath");
        record(&InstallerState::phaseChanged, "phase");
        const std::pair<std::function<void()>, QStringList> steps[] = {
            {[&] { state.setBusy(true); }, {"busy", "phase"}},
            {[&] { state.setMessage({}); }, {}},
            {[&] {
                 state.occupied = true;
                 state.setInstalledLocation("/home/tester/Applications/Vantorel.app");
             },
             {"installedURL", "phase"}},
            {[&] { state.setMessage("Aplikacja jest zainstalowana, ale…: a"); }, {"message"}},
            {[&] { state.setBusy(false); }, {"busy", "phase"}},
            {[&] { state.setMessage("Aplikacja jest zainstalowana, ale…: b"); }, {"message"}},
            {[&] {
                 state.destination = "/Applications";
                 state.lookAgain();
             },
             {"destinationPath"}},
            {[&] { state.setInstalled(true); }, {"installed", "phase"}},
        };
        for (const auto& [step, expected] : steps) {
            announced.clear();
            step();
            QCOMPARE(announced, expected);
        }
        QCOMPARE(state.phase(), Phase::Done);
    }
};

QTEST_GUILESS_MAIN(InstallerStateTest)
#include "tst_installer_state.moc"
