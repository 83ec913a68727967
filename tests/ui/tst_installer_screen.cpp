#include <QtQuickTest/quicktest.h>
#include <QAccessible>
#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QtTest>
#include <memory>

#include "installer_state.h"
#include "installer_window.h"

namespace {

// The installer state as the screen sees it, set directly by the tests. A press is counted and,
// like the install action's first step, makes the state busy.
class FakeState : public InstallerState {
public:
    int installStarts = 0;
    QString destination = QStringLiteral("/home/tester/Applications");
    bool exists = false;

    QString destinationPath() const override { return destination; }
    bool applicationExistsAtDestination() const override { return exists; }
    void startInstall() override {
        ++installStarts;
        setBusy(true);
    }

    void change(const QVariantHash& changes) {
        setBusy(changes.value("busy", busy()).toBool());
        setInstalled(changes.value("installed", installed()).toBool());
        setMessage(changes.value("message", message()).toString());
        if (changes.contains("installedURL")) {
            setInstalledLocation(changes["installedURL"].toString().toStdString());
        }
        destination = changes.value("destinationPath", destination).toString();
        exists = changes.value("applicationExistsAtDestination", exists).toBool();
        lookAgain();
    }
};

// The installer window on the offscreen platform, showing a FakeState with the given changes.
struct Screen {
    QQmlEngine engine;
    FakeState state;
    std::unique_ptr<QQuickWindow> window;

    explicit Screen(const QVariantHash& changes = {})
        : window(ui::createInstallerWindow(engine, &state, {})) {
        state.change(changes);
    }
    [[nodiscard]] bool show() {
        window->show();
        return QTest::qWaitForWindowActive(window.get()) &&
               QQuickTest::qWaitForPolish(window.get());
    }

    QQuickItem* item(const char* name) const {
        auto* found = window->findChild<QQuickItem*>(QLatin1String(name));
        return found != nullptr ? found : (qFatal("The screen has no item '%s'", name), nullptr);
    }
    QString text(const char* name) const { return item(name)->property("text").toString(); }
    QRectF sceneRect(const char* name) const {
        QQuickItem* it = item(name);
        return it->mapRectToScene(QRectF(0, 0, it->width(), it->height()));
    }
};

const QString failure = QStringLiteral("Instalacja nie powiodła się: Brak miejsca na urządzeniu");

// The state once a copy was installed in this run (and is still there, unless the changes say
// otherwise), with further changes.
QVariantHash afterInstalling(QVariantHash changes) {
    changes.insert("installedURL", "/home/tester/Applications/Vantorel.app");
    changes.insert("applicationExistsAtDestination",
                   changes.value("applicationExistsAtDestination", true));
    return changes;
}

}  // namespace

class InstallerScreenTest : public QObject {
    Q_OBJECT

private slots:
    // As with a screen reader running: the controls then publish their accessible names.
    void initTestCase() { QAccessible::setActive(true); }

    void phases_data() {
        QTest::addColumn<QVariantHash>("state");
        QTest::addColumn<QString>("heading");
        QTest::addColumn<QStringList>("shown");
        QTest::addColumn<QString>("label");

        const QStringList ready{"icon", "heading", "lead", "location", "note", "mainButton"};
        QStringList working = ready;
        working.insert(5, "progress");
        QStringList failed = ready;
        failed.insert(5, "message");
        const QString first = QStringLiteral("Zainstaluj Vantorel");
        const QString again = QStringLiteral("Zainstaluj ponownie Vantorel");
        const QString install = QStringLiteral("Zainstaluj i uruchom Vantorel");
        const QString launch = QStringLiteral("Uruchom Vantorel ponownie");

        QTest::newRow("ready, first install") << QVariantHash{} << first << ready << install;
        QTest::newRow("ready, reinstall")
            << QVariantHash{{"applicationExistsAtDestination", true}} << again << ready << install;
        QTest::newRow("working") << QVariantHash{{"busy", true}} << first << working << install;
        QTest::newRow("working, reinstall")
            << QVariantHash{{"busy", true}, {"applicationExistsAtDestination", true}} << again
            << working << install;
        QTest::newRow("failed before the copy was made")
            << QVariantHash{{"message", failure}} << first << failed << install;
        QTest::newRow("failed before the copy was made, reinstall")
            << QVariantHash{{"message", failure}, {"applicationExistsAtDestination", true}} << again
            << failed << install;
        QTest::newRow("launching the installed copy")
            << afterInstalling({{"busy", true}}) << again << working << launch;
        QTest::newRow("launching a copy removed meanwhile")
            << afterInstalling({{"busy", true}, {"applicationExistsAtDestination", false}}) << first
            << working << launch;
        QTest::newRow("installed, not launched")
            << afterInstalling({{"message", failure}}) << again << failed << launch;
        QTest::newRow("installed, not launched, removed since")
            << afterInstalling({{"message", failure}, {"applicationExistsAtDestination", false}})
            << first << failed << launch;
        QTest::newRow("done") << afterInstalling({{"installed", true}})
                              << "Vantorel jest zainstalowany"
                              << QStringList{"icon", "heading", "lead", "mainButton"}
                              << "Zamknij instalator";
        // Long texts wrap within the 448-point column; however long the message is, the button
        // stays whole inside the window (the message scrolls).
        QTest::newRow("long path in one component")
            << QVariantHash{{"destinationPath", "/" + QString(180, u'x')}} << first << ready
            << install;
        QTest::newRow("long path and long message")
            << QVariantHash{{"destinationPath", "/Users/" + QString(30, u'k') +
                                                    "/Dokumenty/Projekty/" + QString(40, u'a') +
                                                    "/Applications"},
                            {"message",
                             failure + QString(" Nie można skopiować pliku.").repeated(12)}}
            << first << failed << install;
    }

    void phases() {
        QFETCH(QVariantHash, state);
        QFETCH(QString, heading);
        QFETCH(QStringList, shown);
        QFETCH(QString, label);

        // Start from the initial state and change it the way the install action does.
        Screen screen;
        QVERIFY(screen.show());
        screen.state.change(state);
        QVERIFY(QQuickTest::qWaitForPolish(screen.window.get()));

        QCOMPARE(screen.text("heading"), heading);
        QCOMPARE(screen.text("lead"),
                 state.value("installed").toBool()
                     ? "Aplikacja została uruchomiona. Możesz zamknąć instalator i wysunąć obraz "
                       "dysku."
                     : "Jedno kliknięcie skopiuje aplikację do folderu Aplikacje i ją uruchomi. "
                       "Nie musisz niczego przeciągać.");
        QCOMPARE(screen.text("mainButton"), label);
        const QRectF column = screen.sceneRect("column");
        QList<QQuickItem*> children = screen.item("column")->childItems();
        children.removeIf([](const QQuickItem* child) { return !child->isVisible(); });
        QStringList names;
        for (QQuickItem* child : children) {
            names.append(child->objectName());
            QVERIFY2(child->property("contentWidth").toReal() <= column.width(),
                     qPrintable(names.last()));
        }
        QCOMPARE(names, shown);
        if (shown.contains("location")) {
            QCOMPARE(screen.text("location"),
                     "Miejsce instalacji: " + screen.state.destinationPath());
            QCOMPARE(screen.text("note"),
                     "Nie usuwamy ustawień ani zapisanej licencji. macOS może poprosić o "
                     "potwierdzenie dostępu.");
        }
        if (shown.contains("progress")) {
            QCOMPARE(screen.text("progressLabel"), QStringLiteral("Instalowanie\u2026"));
        }
        if (shown.contains("message")) {
            // Shown as it is, and the user can select and copy it.
            QQuickItem* text = screen.item("messageText");
            QVERIFY(text->property("readOnly").toBool());
            QVERIFY(QMetaObject::invokeMethod(text, "selectAll"));
            QCOMPARE(text->property("selectedText"), state.value("message"));
        }

        // Layout: one gap of the column's spacing between visible children, none for absent
        // ones; the column inset alike on every side, with the icon centred and the button as
        // wide as the column. While the action runs, the button's colour differs from the one it
        // has on a ready screen.
        const qreal spacing = screen.item("column")->property("spacing").toReal();
        for (qsizetype i = 1; i < children.size(); ++i) {
            const QQuickItem* above = children[i - 1];
            QCOMPARE(children[i]->y() - (above->y() + above->height()), spacing);
        }
        const qreal inset = column.left();
        QCOMPARE(screen.window->width() - column.right(), inset);
        QVERIFY(column.top() >= inset && column.bottom() <= screen.window->height() - inset);
        QCOMPARE(screen.sceneRect("icon").center().x(), column.center().x());
        QCOMPARE(screen.sceneRect("mainButton").left(), inset);
        QCOMPARE(screen.sceneRect("mainButton").width(), column.width());
        const auto buttonColour = [](const Screen& shown) {
            return shown.item("mainButton")->property("color").value<QColor>();
        };
        QCOMPARE(buttonColour(screen) != buttonColour(Screen()), state.value("busy").toBool());
    }

    void presses_data() {
        QTest::addColumn<QString>("way");
        for (const char* way :
             {"Return", "click", "Space", "assistive technology", "Return on the message"}) {
            QTest::newRow(way) << QString(way);
        }
    }

    // Every way of pressing the button, twice in a row, after a failure (so that the message can
    // take the focus): the first press makes the state busy, and a press while the button is
    // disabled never starts anything.
    void presses() {
        QFETCH(QString, way);
        Screen screen({{"message", failure}});
        QVERIFY(screen.show());
        QQuickItem* button = screen.item("mainButton");
        for (int press = 0; press < 2; ++press) {
            if (way == "click") {
                QTest::mouseClick(screen.window.get(), Qt::LeftButton, {},
                                  screen.sceneRect("mainButton").center().toPoint());
            } else if (way == "assistive technology") {
                QAccessible::queryAccessibleInterface(button)->actionInterface()->doAction(
                    QAccessibleActionInterface::pressAction());
            } else {
                if (way == "Space") {
                    button->forceActiveFocus();
                } else if (way == "Return on the message") {
                    screen.item("messageText")->forceActiveFocus();
                }
                QTest::keyClick(screen.window.get(),
                                way == "Space" ? Qt::Key_Space : Qt::Key_Return);
            }
            QCoreApplication::processEvents();
        }
        QCOMPARE(screen.state.installStarts, 1);
    }
};

QTEST_MAIN(InstallerScreenTest)
#include "tst_installer_screen.moc"
