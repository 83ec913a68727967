#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <QtTest>
#include <functional>

#include "installer_view.h"

namespace {

// The system's services with the real question dialog; one instance runs, and it quits as soon
// as it is asked to.
class OneRunningInstance : public SystemServices {
public:
    std::vector<RunningApplication> running{RunningApplication(4242, 1)};
    int terminated = 0;
    int forceTerminated = 0;

    std::vector<RunningApplication> runningApplications(std::string_view) override {
        return running;
    }
    void terminate(const RunningApplication&) override {
        ++terminated;
        running.clear();
    }
    void forceTerminate(const RunningApplication&) override { ++forceTerminated; }
};

// What the user does with the dialog.
using Answer = std::function<void(QMessageBox& alert)>;

void clickButtonTitled(QMessageBox& alert, const QString& title) {
    for (QAbstractButton* button : alert.buttons()) {
        if (button->text() == title) {
            button->click();
        }
    }
}

}  // namespace

Q_DECLARE_METATYPE(Answer)

// The question as the system shows it, answered by the user in each way the dialog allows: only
// the first button closes the running application; every other way out counts as "Anuluj".
class ClosingQuestionTest : public QObject {
    Q_OBJECT

private slots:
    void answers_data() {
        QTest::addColumn<Answer>("answer");
        QTest::addColumn<bool>("closes");
        QTest::newRow("Escape") << Answer([](QMessageBox& alert) {
            QTest::keyClick(&alert, Qt::Key_Escape);
        }) << false;
        QTest::newRow("window closed")
            << Answer([](QMessageBox& alert) { alert.close(); }) << false;
        QTest::newRow("dismissed without a button")
            << Answer([](QMessageBox& alert) { alert.reject(); }) << false;
        QTest::newRow("Anuluj") << Answer([](QMessageBox& alert) {
            clickButtonTitled(alert, "Anuluj");
        }) << false;
        QTest::newRow("Return: the default button")
            << Answer([](QMessageBox& alert) { QTest::keyClick(&alert, Qt::Key_Return); }) << true;
    }

    void answers() {
        QFETCH(Answer, answer);
        QFETCH(bool, closes);
        const auto services = std::make_shared<OneRunningInstance>();
        QTimer user;  // answers once the dialog shows
        connect(&user, &QTimer::timeout, this, [&] {
            if (auto* alert = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                user.stop();
                answer(*alert);
            }
        });
        user.start(10);

        const bool closed =
            QCoro::waitFor(InstallerView(services).zapytajIZamknij(services->running));
        QCOMPARE(closed, closes);
        QCOMPARE(services->terminated, closes ? 1 : 0);
        QCOMPARE(services->forceTerminated, 0);
    }
};

QTEST_MAIN(ClosingQuestionTest)
#include "tst_closing_question.moc"
