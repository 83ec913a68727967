#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QtTest>
#include <functional>

#include "modal_alert.h"

namespace {

// Answers the next modal alert with `answer` once it is up, after recording what it shows.
void whenAlertShows(std::function<void(QMessageBox&)> answer) {
    auto* timer = new QTimer;
    QObject::connect(timer, &QTimer::timeout, [timer, answer] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            timer->stop();
            timer->deleteLater();
            answer(*box);
        }
    });
    timer->start(10);
}

QStringList titles(const QMessageBox& box) {
    QStringList result;
    for (QAbstractButton* button : box.buttons()) {
        result << button->text();
    }
    return result;
}

}  // namespace

class ModalAlertTest : public QObject {
    Q_OBJECT

private slots:
    void answers_data() {
        QTest::addColumn<QString>("answer");
        QTest::addColumn<int>("response");
        QTest::newRow("Return") << "return" << 1000;
        QTest::newRow("Escape") << "escape" << 1001;
        QTest::newRow("first button clicked") << "Zamknij i zainstaluj" << 1000;
        QTest::newRow("second button clicked") << "Anuluj" << 1001;
        QTest::newRow("window closed") << "close" << 1001;
    }

    void answers() {
        QFETCH(QString, answer);
        QFETCH(int, response);
        QString shownText;
        QString shownInformative;
        QStringList shownButtons;
        bool iconless = false;
        whenAlertShows([&](QMessageBox& box) {
            shownText = box.text();
            shownInformative = box.informativeText();
            shownButtons = titles(box);
            iconless = box.icon() == QMessageBox::NoIcon;
            QCOMPARE(box.defaultButton()->text(), QString("Zamknij i zainstaluj"));
            if (answer == "return") {
                QTest::keyClick(&box, Qt::Key_Return);
            } else if (answer == "escape") {
                QTest::keyClick(&box, Qt::Key_Escape);
            } else if (answer == "close") {
                box.close();
            } else {
                for (QAbstractButton* button : box.buttons()) {
                    if (button->text() == answer) {
                        button->click();
                    }
                }
            }
        });

        const int result = runModalAlert({.messageText = "Zamknąć Vantorel?",
                                          .informativeText = "Program jest teraz uruchomiony.",
                                          .buttons = {"Zamknij i zainstaluj", "Anuluj"}});
        QCOMPARE(result, response);
        QCOMPARE(shownText, QString("Zamknąć Vantorel?"));
        QCOMPARE(shownInformative, QString("Program jest teraz uruchomiony."));
        QCOMPARE(shownButtons.size(), 2);
        QVERIFY(shownButtons.contains("Zamknij i zainstaluj") && shownButtons.contains("Anuluj"));
        QVERIFY(iconless);
    }
};

QTEST_MAIN(ModalAlertTest)
#include "tst_modal_alert.moc"
