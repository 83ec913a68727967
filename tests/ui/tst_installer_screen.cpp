#include <QtQuickTest/quicktest.h>
#include <QAccessible>
#include <QGuiApplication>
#include <QImage>
#include <QProcess>
#include <QQmlEngine>
#include <QQmlPropertyMap>
#include <QQuickItem>
#include <QQuickWindow>
#include <QScreen>
#include <QTemporaryDir>
#include <QTranslator>
#include <QtTest>
#include <memory>

#include "installer_window.h"

namespace {

// The installer state as the screen sees it, set directly by the tests.
class FakeState : public QQmlPropertyMap {
    Q_OBJECT

public:
    int installStarts = 0;

    FakeState() : QQmlPropertyMap(this, nullptr) {
        insert({{"busy", false},
                {"installed", false},
                {"message", ""},
                {"installedURL", ""},
                {"destinationPath", "/home/tester/Applications"},
                {"applicationExistsAtDestination", false}});
    }
    Q_INVOKABLE void startInstall() { ++installStarts; }
};

// The installer window on the offscreen platform, showing a FakeState with the given changes.
struct Screen {
    QQmlEngine engine;
    FakeState state;
    std::unique_ptr<QQuickWindow> window;

    explicit Screen(const QVariantHash& changes = {}, const QUrl& icon = {})
        : window(ui::createInstallerWindow(engine, &state, icon)) {
        state.insert(changes);
    }
    [[nodiscard]] bool show() {
        window->show();
        return QTest::qWaitForWindowExposed(window.get()) &&
               QQuickTest::qWaitForPolish(window.get());
    }
    [[nodiscard]] bool change(const QVariantHash& changes) {
        state.insert(changes);
        return QQuickTest::qWaitForPolish(window.get());
    }

    QQuickItem* item(const char* name) const {
        auto* found = window->findChild<QQuickItem*>(QLatin1String(name));
        if (found == nullptr) {
            qFatal("The screen has no item '%s'", name);
        }
        return found;
    }
    QString text(const char* name) const { return item(name)->property("text").toString(); }
    QRectF sceneRect(const char* name) const {
        QQuickItem* it = item(name);
        return it->mapRectToScene(QRectF(0, 0, it->width(), it->height()));
    }
    // The visible children of the column, top to bottom.
    QList<QQuickItem*> visibleChildren() const {
        QList<QQuickItem*> shown;
        for (QQuickItem* child : item("column")->childItems()) {
            if (child->isVisible()) {
                shown.append(child);
            }
        }
        std::sort(shown.begin(), shown.end(), [](auto* a, auto* b) { return a->y() < b->y(); });
        return shown;
    }
};

const QString readyLead = QStringLiteral(
    "Jedno kliknięcie skopiuje aplikację do folderu Aplikacje i ją uruchomi. Nie musisz niczego "
    "przeciągać.");
const QString doneLead = QStringLiteral(
    "Aplikacja została uruchomiona. Możesz zamknąć instalator i wysunąć obraz dysku.");
const QString note = QStringLiteral(
    "Nie usuwamy ustawień ani zapisanej licencji. macOS może poprosić o potwierdzenie dostępu.");
const QString failure = QStringLiteral("Instalacja nie powiodła się: Brak miejsca na urządzeniu");
const QString installedPath = QStringLiteral("/home/tester/Applications/Vantorel.app");

// The state once a copy was installed in this run, with further changes.
QVariantHash afterInstalling(QVariantHash changes) {
    changes.insert({{"installedURL", installedPath}, {"applicationExistsAtDestination", true}});
    return changes;
}

// Writes a Qt Linguist source for both QML files, translating each text to "EN:" and the text,
// and compiles it with lrelease.
bool makeTranslationTable(const QString& qmFile, const QStringList& texts) {
    QString ts = QStringLiteral(
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<!DOCTYPE TS>\n"
        "<TS version=\"2.1\" language=\"en\">\n");
    for (const char* context : {"InstallerWindow", "InstallerScreen"}) {
        ts += QStringLiteral("<context><name>%1</name>\n").arg(QLatin1String(context));
        for (const QString& text : texts) {
            ts += QStringLiteral(
                      "<message><source>%1</source><translation>EN:%1</translation></message>\n")
                      .arg(text.toHtmlEscaped());
        }
        ts += QStringLiteral("</context>\n");
    }
    QFile file(qmFile + QStringLiteral(".ts"));
    if (!file.open(QIODevice::WriteOnly) || file.write((ts + "</TS>\n").toUtf8()) < 0) {
        return false;
    }
    file.close();
    return QProcess::execute(QStringLiteral(LRELEASE_PROGRAM),
                             {QStringLiteral("-silent"), file.fileName(), "-qm", qmFile}) == 0;
}

}  // namespace

class InstallerScreenTest : public QObject {
    Q_OBJECT

    QTemporaryDir resources_;  // holds the installer icon

private slots:
    // As with a screen reader running: the controls then publish their accessible names.
    void initTestCase() {
        QAccessible::setActive(true);
        QImage icon(40, 30, QImage::Format_ARGB32);  // not square: it is stretched
        icon.fill(Qt::darkBlue);
        QVERIFY(icon.save(resources_.filePath(ui::applicationIconFileName)));
    }

    void phases_data() {
        QTest::addColumn<QVariantHash>("state");
        QTest::addColumn<QString>("heading");
        QTest::addColumn<QString>("lead");
        QTest::addColumn<QStringList>("shown");
        QTest::addColumn<QString>("label");
        QTest::addColumn<bool>("enabled");

        const QStringList ready{"icon", "heading", "lead", "location", "note", "mainButton"};
        QStringList working = ready;
        working.insert(5, "progress");
        QStringList failed = ready;
        failed.insert(5, "message");
        const QStringList done{"icon", "heading", "lead", "mainButton"};
        const QString first = QStringLiteral("Zainstaluj Vantorel");
        const QString again = QStringLiteral("Zainstaluj ponownie Vantorel");
        const QString install = QStringLiteral("Zainstaluj i uruchom Vantorel");
        const QString launch = QStringLiteral("Uruchom Vantorel ponownie");

        QTest::newRow("ready, first install")
            << QVariantHash{} << first << readyLead << ready << install << true;
        QTest::newRow("ready, reinstall") << QVariantHash{{"applicationExistsAtDestination", true}}
                                          << again << readyLead << ready << install << true;
        QTest::newRow("working") << QVariantHash{{"busy", true}} << first << readyLead << working
                                 << install << false;
        QTest::newRow("working on a launch again") << afterInstalling({{"busy", true}}) << again
                                                   << readyLead << working << launch << false;
        QTest::newRow("failed before the copy was made")
            << QVariantHash{{"message", failure}} << first << readyLead << failed << install
            << true;
        QTest::newRow("installed, not launched") << afterInstalling({{"message", failure}}) << again
                                                 << readyLead << failed << launch << true;
        QTest::newRow("done") << afterInstalling({{"installed", true}})
                              << "Vantorel jest zainstalowany" << doneLead << done
                              << "Zamknij instalator" << true;
    }

    void phases() {
        QFETCH(QVariantHash, state);
        QFETCH(QString, heading);
        QFETCH(QString, lead);
        QFETCH(QStringList, shown);
        QFETCH(QString, label);
        QFETCH(bool, enabled);

        // Start from the initial state and change it the way the install action does.
        Screen screen({}, ui::applicationIconURL(resources_.path().toStdString()));
        QVERIFY(screen.show());
        QVERIFY(screen.change(state));
        QTRY_COMPARE(screen.item("icon")->property("status").toInt(), 1);  // Image.Ready

        QCOMPARE(screen.text("heading"), heading);
        QCOMPARE(screen.text("lead"), lead);
        QCOMPARE(screen.text("mainButton"), label);
        const QList<QQuickItem*> children = screen.visibleChildren();
        QStringList names;
        for (QQuickItem* child : children) {
            names.append(child->objectName());
        }
        QCOMPARE(names, shown);
        if (shown.contains("location")) {
            QCOMPARE(screen.text("location"),
                     QStringLiteral("Miejsce instalacji: /home/tester/Applications"));
            QCOMPARE(screen.text("note"), note);
        }
        if (shown.contains("progress")) {
            QCOMPARE(screen.text("progressLabel"), QStringLiteral("Instalowanie\u2026"));
        }
        if (shown.contains("message")) {
            QCOMPARE(screen.text("messageText"), failure);
        }

        // Layout: 20 points between visible children, none for absent ones, all inside the
        // 36-point inset of the 520 x 480 area.
        for (qsizetype i = 1; i < children.size(); ++i) {
            const QQuickItem* above = children[i - 1];
            QCOMPARE(children[i]->y() - (above->y() + above->height()), 20.0);
        }
        const QRectF column = screen.sceneRect("column");
        QVERIFY(column.top() >= 36 && column.bottom() <= 480 - 36);
        QCOMPARE(screen.sceneRect("icon").size(), QSizeF(88, 88));
        QCOMPARE(screen.sceneRect("icon").center().x(), 260.0);
        QCOMPARE(screen.sceneRect("mainButton").left(), 36.0);
        QCOMPARE(screen.sceneRect("mainButton").width(), 448.0);

        QCOMPARE(screen.item("mainButton")->property("color").value<QColor>(),
                 QColor(enabled ? "#007AFF" : "#8E8E93"));
        QCOMPARE(screen.item("mainButton")->isEnabled(), enabled);
    }

    void returnOrAClickStartsTheActionOnlyWhenReady_data() {
        QTest::addColumn<bool>("busy");
        QTest::newRow("ready") << false;
        QTest::newRow("busy") << true;
    }

    // Return, a click and a press through assistive technology start the action only while the
    // button is enabled.
    void returnOrAClickStartsTheActionOnlyWhenReady() {
        QFETCH(bool, busy);
        for (const char* way : {"Return", "click", "assistive technology"}) {
            Screen screen({{"busy", busy}});
            QVERIFY(screen.show());
            QVERIFY(QTest::qWaitForWindowActive(screen.window.get()));
            if (way == QLatin1String("Return")) {
                QTest::keyClick(screen.window.get(), Qt::Key_Return);
            } else if (way == QLatin1String("click")) {
                const QPoint centre = screen.sceneRect("mainButton").center().toPoint();
                QTest::mouseClick(screen.window.get(), Qt::LeftButton, {}, centre);
            } else {
                QAccessible::queryAccessibleInterface(screen.item("mainButton"))
                    ->actionInterface()
                    ->doAction(QAccessibleActionInterface::pressAction());
            }
            QCoreApplication::processEvents();
            QVERIFY2(screen.state.installStarts == (busy ? 0 : 1), way);
        }
    }

    // The failure text can be selected and copied; Return keeps retrying even when the text has
    // the keyboard focus.
    void messageIsSelectableAndReturnStillRetries() {
        Screen screen({{"message", failure}});
        QVERIFY(screen.show());
        QVERIFY(QTest::qWaitForWindowActive(screen.window.get()));

        QQuickItem* text = screen.item("messageText");
        QVERIFY(text->property("readOnly").toBool());
        QVERIFY(QMetaObject::invokeMethod(text, "selectAll"));
        QCOMPARE(text->property("selectedText").toString(), failure);

        text->forceActiveFocus();
        QTest::keyClick(screen.window.get(), Qt::Key_Return);
        QCOMPARE(screen.state.installStarts, 1);
    }

    // Assistive technology finds the button by its label and presses it like a click.
    void assistiveTechnologyPressesTheButton() {
        Screen screen;
        QVERIFY(screen.show());
        QAccessibleInterface* button =
            QAccessible::queryAccessibleInterface(screen.item("mainButton"));
        QVERIFY(button != nullptr && button->actionInterface() != nullptr);
        QCOMPARE(button->role(), QAccessible::Button);
        QCOMPARE(button->text(QAccessible::Name), QStringLiteral("Zainstaluj i uruchom Vantorel"));
        button->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
        QCOMPARE(screen.state.installStarts, 1);
    }

    void longTextsStayInsideTheColumn_data() {
        QTest::addColumn<QString>("destination");
        QTest::addColumn<QString>("message");
        QTest::newRow("path in one long component") << "/" + QString(180, u'x') << QString();
        QTest::newRow("long path and long message")
            << "/Users/" + QString(30, u'k') + "/Dokumenty/Projekty/" + QString(40, u'a') +
                   "/Applications"
            << QStringLiteral("Instalacja nie powiodła się: Nie można skopiować pliku. ")
                   .repeated(12);
    }

    // Long texts wrap within the 448-point column, and however long the message is, the button
    // stays whole inside the window (the message scrolls).
    void longTextsStayInsideTheColumn() {
        QFETCH(QString, destination);
        QFETCH(QString, message);
        Screen screen({{"destinationPath", destination}, {"message", message}});
        QVERIFY(screen.show());

        QQuickItem* location = screen.item("location");
        QCOMPARE(screen.text("location"), QStringLiteral("Miejsce instalacji: ") + destination);
        QVERIFY(location->property("lineCount").toInt() >= 2);
        QVERIFY(location->property("contentWidth").toReal() <= 448);
        QCOMPARE(screen.sceneRect("location"),
                 QRectF(36, location->mapToScene({0, 0}).y(), 448, location->height()));
        const QRectF button = screen.sceneRect("mainButton");
        QVERIFY2(button.bottom() <= 480 - 36, qPrintable(QString::number(button.bottom())));
        QVERIFY(screen.sceneRect("column").top() >= 36);
        if (!message.isEmpty()) {
            QQuickItem* box = screen.item("message");
            QVERIFY(box->height() < box->property("contentHeight").toReal());
            QCOMPARE(button.top() - screen.sceneRect("message").bottom(), 20.0);
        }
    }

    void window() {
        Screen screen;
        QCOMPARE(screen.window->title(), QStringLiteral("Instalator Vantorel"));
        QCOMPARE(screen.window->size(), QSize(520, 480));
        QCOMPARE(screen.window->minimumSize(), QSize(520, 480));
        QCOMPARE(screen.window->maximumSize(), QSize(520, 480));
        QVERIFY(!screen.window->flags().testFlag(Qt::WindowMaximizeButtonHint));

        ui::centreOnScreen(*screen.window);
        QVERIFY(screen.show());
        QCOMPARE(screen.window->geometry().center(),
                 screen.window->screen()->availableGeometry().center());
    }

    // A dark platform palette gives a dark background and light text.
    void followsThePlatformPalette() {
        const QPalette original = QGuiApplication::palette();
        QPalette dark = original;
        dark.setColor(QPalette::Window, QColor(0x1e, 0x1e, 0x1e));
        dark.setColor(QPalette::WindowText, QColor(0xf0, 0xf0, 0xf0));
        QGuiApplication::setPalette(dark);
        {
            Screen screen;
            QVERIFY(screen.show());
            QCOMPARE(screen.item("background")->property("color").value<QColor>(),
                     dark.color(QPalette::Window));
            QCOMPARE(screen.item("heading")->property("color").value<QColor>(),
                     dark.color(QPalette::WindowText));
        }
        QGuiApplication::setPalette(original);
    }

    void translationTableChoice_data() {
        QTest::addColumn<QStringList>("tables");
        QTest::addColumn<QString>("locale");
        QTest::addColumn<QString>("chosen");
        QTest::newRow("country before language") << QStringList{"pt", "pt_BR"} << "pt_BR"
                                                 << "pt_BR.qm";
        QTest::newRow("other language only") << QStringList{"en"} << "de_DE"
                                             << "";
        QTest::newRow("damaged table passed over") << QStringList{"damaged:en_GB", "en"} << "en_GB"
                                                   << "en.qm";
    }

    void translationTableChoice() {
        QFETCH(QStringList, tables);
        QFETCH(QString, locale);
        QFETCH(QString, chosen);
        QTemporaryDir resources;
        for (const QString& table : tables) {
            if (table.startsWith("damaged:")) {
                QFile file(resources.filePath(table.mid(8) + ".qm"));
                QVERIFY(file.open(QIODevice::WriteOnly) && file.write("not a table") > 0);
            } else {
                QVERIFY(makeTranslationTable(resources.filePath(table + ".qm"), {"Zainstaluj"}));
            }
        }
        const auto translator =
            ui::loadTranslation(resources.path().toStdString(), QLocale(locale));
        QCOMPARE(translator ? QFileInfo(translator->filePath()).fileName() : QString(), chosen);
    }

    // A table in the resource folder replaces every text of the window and the screen.
    void translationReplacesTexts() {
        QTemporaryDir resources;
        QVERIFY(makeTranslationTable(
            resources.filePath("en.qm"),
            {"Instalator Vantorel", "Zainstaluj Vantorel", "Zainstaluj ponownie Vantorel",
             "Vantorel jest zainstalowany", readyLead, doneLead, "Miejsce instalacji: %1", note,
             "Instalowanie\u2026", "Zainstaluj i uruchom Vantorel", "Uruchom Vantorel ponownie",
             "Zamknij instalator"}));
        const auto translator =
            ui::loadTranslation(resources.path().toStdString(), QLocale(QLocale::English));
        QVERIFY(translator != nullptr && QCoreApplication::installTranslator(translator.get()));

        Screen screen;
        QVERIFY(screen.show());
        QCOMPARE(screen.window->title(), QStringLiteral("EN:Instalator Vantorel"));
        QCOMPARE(screen.text("location"),
                 QStringLiteral("EN:Miejsce instalacji: /home/tester/Applications"));
        // Between them the three states show every text of the screen.
        for (const QVariantHash& state : {QVariantHash{}, afterInstalling({{"busy", true}}),
                                          QVariantHash{{"busy", false}, {"installed", true}}}) {
            QVERIFY(screen.change(state));
            for (const char* name :
                 {"heading", "lead", "location", "note", "progressLabel", "mainButton"}) {
                if (screen.item(name)->isVisible()) {
                    QVERIFY2(screen.text(name).startsWith("EN:"), name);
                }
            }
        }
        QCoreApplication::removeTranslator(translator.get());
    }
};

QTEST_MAIN(InstallerScreenTest)
#include "tst_installer_screen.moc"
