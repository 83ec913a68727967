#include <QtQuickTest/quicktest.h>
#include <QAccessible>
#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QTemporaryDir>
#include <QTranslator>
#include <QtTest>
#include <memory>

#include "installer_window.h"
#include "preview_state.h"

namespace {

using Phase = InstallerState::Phase;

// Translates every text to "EN:" and the text, and keeps the texts it was asked for. Installed for
// the whole test: a text that the screen shows without the prefix was never offered for
// translation.
class Prefixing : public QTranslator {
public:
    mutable QStringList asked;
    bool isEmpty() const override { return false; }
    QString translate(const char*, const char* source, const char*, int) const override {
        asked << QString::fromUtf8(source);
        return "EN:" + asked.last();
    }
};

// The preview's state of a phase, whose destination and message a test may change afterwards. A
// press is counted and, like the install action's first step, makes the state busy.
class CountingState : public PreviewState {
public:
    using InstallerState::lookAgain;
    using InstallerState::setMessage;
    using PreviewState::PreviewState;
    QString destination;  // the preview's own while empty
    int installStarts = 0;

    QString destinationPath() const override {
        return destination.isEmpty() ? PreviewState::destinationPath() : destination;
    }
    void startInstall() override {
        ++installStarts;
        setBusy(true);
    }
};

// The installer window on the offscreen platform, showing the state of one phase.
struct Screen {
    QQmlEngine engine;
    CountingState state;
    std::unique_ptr<QQuickWindow> window;

    explicit Screen(Phase phase)
        : state(phase, "/home/tester/Applications"),
          window(ui::createInstallerWindow(engine, &state, {})) {}
    [[nodiscard]] bool show() {
        window->show();
        return QTest::qWaitForWindowActive(window.get()) &&
               QQuickTest::qWaitForPolish(window.get());
    }

    QQuickItem* item(const char* name) const {
        return window->findChild<QQuickItem*>(QLatin1String(name));
    }
    QString text(const char* name) const { return item(name)->property("text").toString(); }
    QRectF sceneRect(const char* name) const {
        QQuickItem* it = item(name);
        return it->mapRectToScene(QRectF(0, 0, it->width(), it->height()));
    }
};

// A phase as the preview names it, what the screen shows for it, and what a row changes once the
// screen shows: a destination path or a failure line (none when empty).
struct Look {
    const char* phase;
    QStringList shown;
    QString heading, button, destination = {}, message = {};
};

}  // namespace

Q_DECLARE_METATYPE(Look)

class InstallerScreenTest : public QObject {
    Q_OBJECT

    Prefixing translator_;

private slots:
    // As with a screen reader running: the controls then publish their accessible names.
    void initTestCase() {
        QAccessible::setActive(true);
        QVERIFY(QCoreApplication::installTranslator(&translator_));
    }

    void phases_data() {
        QTest::addColumn<Look>("l");
        const QStringList ready{"icon", "heading", "lead", "location", "note", "mainButton"};
        const QStringList done{"icon", "heading", "lead", "mainButton"};
        QStringList working = ready, failed = ready;
        working.insert(5, "progress");
        failed.insert(5, "message");
        const QString first = "Zainstaluj Vantorel", again = "Zainstaluj ponownie Vantorel";
        const QString install = "Zainstaluj i uruchom Vantorel",
                      launch = "Uruchom Vantorel ponownie";
        const QString longPath = "/Users/" + QString(30, u'k') + "/Dokumenty/Projekty/" +
                                 QString(40, u'a') + "/Applications";
        for (const Look& l : {
                 Look{"ready", ready, first, install},
                 Look{"reinstall", ready, again, install},
                 Look{"failed", failed, first, install},
                 Look{"failed-reinstall", failed, again, install},
                 Look{"working", working, first, install},
                 Look{"reinstalling", working, again, install},
                 Look{"launching", working, again, launch},
                 Look{"launching-gone-copy", working, first, launch},
                 Look{"installed-not-launched", failed, again, launch},
                 Look{"installed-copy-gone", failed, first, launch},
                 Look{"done", done, "Vantorel jest zainstalowany", "Zamknij instalator"},
                 // Long texts wrap within the column; however long the message is, the button
                 // stays whole inside the window (the message scrolls).
                 Look{"ready", ready, first, install, "/" + QString(180, u'x')},
                 Look{"failed", failed, first, install, longPath,
                      "Instalacja nie powiodła się: " +
                          QString(" Nie można skopiować pliku.").repeated(12)},
             }) {
            QTest::addRow("%s%s", l.phase, l.destination.isEmpty() ? "" : ", long texts") << l;
        }
    }

    // Every text in Polish as given, offered for translation; the path with no place in the key.
    void phases() {
        QFETCH(Look, l);
        const Phase phase = PreviewState::phaseNamed(l.phase).value();
        Screen screen(phase);
        QVERIFY(screen.show());
        // Changed while the screen shows, as the install action changes the state.
        screen.state.destination = l.destination;
        screen.state.setMessage(l.message.isEmpty() ? screen.state.message() : l.message);
        screen.state.lookAgain();
        QVERIFY(QQuickTest::qWaitForPolish(screen.window.get()));

        QCOMPARE(screen.window->title(), "EN:Instalator Vantorel");
        QCOMPARE(screen.text("heading"), "EN:" + l.heading);
        QCOMPARE(screen.text("lead"),
                 phase == Phase::Done
                     ? "EN:Aplikacja została uruchomiona. Możesz zamknąć instalator i wysunąć "
                       "obraz dysku."
                     : "EN:Jedno kliknięcie skopiuje aplikację do folderu Aplikacje i ją uruchomi. "
                       "Nie musisz niczego przeciągać.");
        QCOMPARE(screen.text("mainButton"), "EN:" + l.button);
        const QRectF column = screen.sceneRect("column");
        QStringList names;
        for (QQuickItem* child : screen.item("column")->childItems()) {
            if (child->isVisible()) {
                names.append(child->objectName());
                QVERIFY2(child->property("contentWidth").toReal() <= column.width(),
                         qPrintable(names.last()));
            }
        }
        QCOMPARE(names, l.shown);
        if (l.shown.contains("location")) {
            QCOMPARE(screen.text("location"),
                     "EN:Miejsce instalacji: " + screen.state.destinationPath());
            QVERIFY(translator_.asked.contains("Miejsce instalacji: %1"));
            QCOMPARE(screen.text("note"),
                     "EN:Nie usuwamy ustawień ani zapisanej licencji. macOS może poprosić o "
                     "potwierdzenie dostępu.");
        }
        if (l.shown.contains("progress")) {
            QCOMPARE(screen.text("progressLabel"), QStringLiteral("EN:Instalowanie\u2026"));
        }
        if (l.shown.contains("message")) {  // as it is, and the user can select and copy it
            QQuickItem* text = screen.item("messageText");
            QVERIFY(text->property("readOnly").toBool());
            QVERIFY(QMetaObject::invokeMethod(text, "selectAll"));
            QCOMPARE(text->property("selectedText"), screen.state.message());
        }

        // The column inset alike on every side, the icon centred, the button as wide as the
        // column; while the action runs, the button's colour differs from a ready screen's.
        const qreal inset = column.left();
        QCOMPARE(screen.window->width() - column.right(), inset);
        QVERIFY(column.top() >= inset && column.bottom() <= screen.window->height() - inset);
        QCOMPARE(screen.sceneRect("icon").center().x(), column.center().x());
        QCOMPARE(screen.sceneRect("mainButton").width(), column.width());
        const auto colour = [](const Screen& s) { return s.item("mainButton")->property("color"); };
        QCOMPARE(colour(screen) != colour(Screen(Phase::FirstInstall)), screen.state.busy());
    }

    // Every way of pressing the button, twice in a row, after a failure (so that the message can
    // take the focus): the first press makes the state busy, and a press while the button is
    // disabled never starts anything.
    void presses() {
        QStringList starts;
        for (const QString way :
             {"Return", "click", "Space", "assistive technology", "Return on the message"}) {
            Screen screen(Phase::Failed);
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
                    if (way != "Return") {
                        (way == "Space" ? button : screen.item("messageText"))->forceActiveFocus();
                    }
                    QTest::keyClick(screen.window.get(),
                                    way == "Space" ? Qt::Key_Space : Qt::Key_Return);
                }
                QCoreApplication::processEvents();
            }
            starts << way + ": " + QString::number(screen.state.installStarts);
        }
        QCOMPARE(starts.join(", "),
                 "Return: 1, click: 1, Space: 1, assistive technology: 1, "
                 "Return on the message: 1");
    }

    // The table of the first of the locale's languages that has one, the country's before the
    // bare language's; a damaged table is passed over.
    void translationTableChoice() {
        QStringList chosen;
        for (const auto& [tables, locale] : {std::pair{QStringList{"pt", "pt_BR"}, "pt_BR"},
                                             {QStringList{"en"}, "de_DE"},
                                             {QStringList{"damaged:en_GB", "en"}, "en_GB"}}) {
            QTemporaryDir resources;
            for (const QString& table : tables) {
                // An empty table is the file format's magic number alone.
                QFile file(resources.filePath(table.section(':', -1) + ".qm"));
                QVERIFY(file.open(QIODevice::WriteOnly));
                file.write(table.startsWith("damaged:")
                               ? QByteArray("not a table")
                               : QByteArray::fromHex("3cb86418caef9c95cd211cbf60a1bddd"));
            }
            const auto loaded =
                ui::loadTranslation(resources.path().toStdString(), QLocale(locale));
            chosen << QString(locale) + ": " +
                          (loaded ? QFileInfo(loaded->filePath()).fileName() : "none");
        }
        QCOMPARE(chosen.join(", "), "pt_BR: pt_BR.qm, de_DE: none, en_GB: en.qm");
    }
};

QTEST_MAIN(InstallerScreenTest)
#include "tst_installer_screen.moc"
