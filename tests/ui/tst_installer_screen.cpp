#include <QtQuickTest/quicktest.h>
#include <QAccessible>
#include <QGuiApplication>
#include <QImage>
#include <QPalette>
#include <QProcess>
#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QScreen>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTranslator>
#include <QtTest>
#include <memory>

#include "installer_window.h"

namespace {

// The installer state as the screen sees it, set directly by the tests.
class FakeState : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool busy MEMBER busy NOTIFY busyChanged)
    Q_PROPERTY(bool installed MEMBER installed NOTIFY installedChanged)
    Q_PROPERTY(QString message MEMBER message NOTIFY messageChanged)
    Q_PROPERTY(QString installedURL MEMBER installedURL NOTIFY installedURLChanged)
    Q_PROPERTY(QString destinationPath MEMBER destinationPath NOTIFY stateChanged)
    Q_PROPERTY(bool applicationExistsAtDestination MEMBER exists NOTIFY stateChanged)

public:
    bool busy = false;
    bool installed = false;
    QString message;
    QString installedURL;
    QString destinationPath = QStringLiteral("/home/tester/Applications");
    bool exists = false;
    int installStarts = 0;

    Q_INVOKABLE void startInstall() { ++installStarts; }

    // Tells the screen that every field may have changed.
    void announce() {
        emit busyChanged();
        emit installedChanged();
        emit messageChanged();
        emit installedURLChanged();
        emit stateChanged();
    }

signals:
    void busyChanged();
    void installedChanged();
    void messageChanged();
    void installedURLChanged();
    void stateChanged();
};

// The installer window on the offscreen platform, showing a FakeState. Set the state's fields
// before show(), or call update() after changing them.
struct Screen {
    QQmlEngine engine;
    FakeState state;
    std::unique_ptr<QQuickWindow> window;

    void create(const QUrl& icon = {}) { window = ui::createInstallerWindow(engine, &state, icon); }
    [[nodiscard]] bool show(const QUrl& icon = {}) {
        if (!window) {
            create(icon);
        }
        window->show();
        return QTest::qWaitForWindowExposed(window.get()) &&
               QQuickTest::qWaitForPolish(window.get());
    }
    [[nodiscard]] bool update() {
        state.announce();
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
    QColor colour(const char* name) const {
        return item("screen")
            ->property("colours")
            .value<QObject*>()
            ->property(name)
            .value<QColor>();
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
    QRectF sceneRect(const char* name) const {
        QQuickItem* it = item(name);
        return it->mapRectToScene(QRectF(0, 0, it->width(), it->height()));
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

}  // namespace

class InstallerScreenTest : public QObject {
    Q_OBJECT

private slots:
    // As with a screen reader running: the controls then publish their accessible names.
    void initTestCase() { QAccessible::setActive(true); }

    void phases_data() {
        QTest::addColumn<bool>("busy");
        QTest::addColumn<bool>("installed");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("installedURL");
        QTest::addColumn<bool>("exists");
        QTest::addColumn<QString>("heading");
        QTest::addColumn<QString>("lead");
        QTest::addColumn<QStringList>("shown");
        QTest::addColumn<QString>("label");
        QTest::addColumn<bool>("blueAndEnabled");

        const QStringList ready{"icon", "heading", "lead", "location", "note", "mainButton"};
        const QStringList working{"icon", "heading",  "lead",      "location",
                                  "note", "progress", "mainButton"};
        const QStringList failed{"icon", "heading", "lead",      "location",
                                 "note", "message", "mainButton"};
        const QStringList done{"icon", "heading", "lead", "mainButton"};
        const QString install = QStringLiteral("Zainstaluj i uruchom Vantorel");
        const QString again = QStringLiteral("Uruchom Vantorel ponownie");

        QTest::newRow("ready, first install")
            << false << false << ""
            << "" << false << "Zainstaluj Vantorel" << readyLead << ready << install << true;
        QTest::newRow("ready, reinstall") << false << false << ""
                                          << "" << true << "Zainstaluj ponownie Vantorel"
                                          << readyLead << ready << install << true;
        QTest::newRow("working") << true << false << ""
                                 << "" << false << "Zainstaluj Vantorel" << readyLead << working
                                 << install << false;
        QTest::newRow("working on a launch again")
            << true << false << "" << installedPath << true << "Zainstaluj ponownie Vantorel"
            << readyLead << working << again << false;
        QTest::newRow("failed before the copy was made")
            << false << false << failure << "" << false << "Zainstaluj Vantorel" << readyLead
            << failed << install << true;
        QTest::newRow("installed, not launched")
            << false << false << failure << installedPath << true << "Zainstaluj ponownie Vantorel"
            << readyLead << failed << again << true;
        QTest::newRow("done") << false << true << "" << installedPath << true
                              << "Vantorel jest zainstalowany" << doneLead << done
                              << "Zamknij instalator" << true;
    }

    void phases() {
        QFETCH(bool, busy);
        QFETCH(bool, installed);
        QFETCH(QString, message);
        QFETCH(QString, installedURL);
        QFETCH(bool, exists);
        QFETCH(QString, heading);
        QFETCH(QString, lead);
        QFETCH(QStringList, shown);
        QFETCH(QString, label);
        QFETCH(bool, blueAndEnabled);

        Screen screen;
        QVERIFY(screen.show());
        // Start from the initial state and change it the way the install action does.
        screen.state.busy = busy;
        screen.state.installed = installed;
        screen.state.message = message;
        screen.state.installedURL = installedURL;
        screen.state.exists = exists;
        QVERIFY(screen.update());

        QCOMPARE(screen.text("heading"), heading);
        QCOMPARE(screen.text("lead"), lead);
        QCOMPARE(screen.text("mainButton"), label);
        QStringList names;
        for (QQuickItem* child : screen.visibleChildren()) {
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
            QCOMPARE(screen.text("messageText"), message);
        }

        // Layout: 20 points between visible children, none for absent ones, all inside the
        // 36-point inset of the 520 x 480 area.
        const QList<QQuickItem*> children = screen.visibleChildren();
        for (qsizetype i = 1; i < children.size(); ++i) {
            const QQuickItem* above = children[i - 1];
            QCOMPARE(children[i]->y() - (above->y() + above->height()), 20.0);
        }
        const QRectF column = screen.sceneRect("column");
        QVERIFY2(
            column.top() >= 36 && column.bottom() <= 480 - 36,
            qPrintable(QStringLiteral("column %1..%2").arg(column.top()).arg(column.bottom())));
        QCOMPARE(screen.sceneRect("icon").size(), QSizeF(88, 88));
        QCOMPARE(screen.sceneRect("icon").center().x(), 260.0);
        QCOMPARE(screen.sceneRect("mainButton").left(), 36.0);
        QCOMPARE(screen.sceneRect("mainButton").width(), 448.0);

        QCOMPARE(screen.item("mainButton")->property("color").value<QColor>(),
                 screen.colour(blueAndEnabled ? "blue" : "gray"));
        QCOMPARE(screen.item("mainButton")->isEnabled(), blueAndEnabled);
    }

    void defaultAction_data() {
        QTest::addColumn<bool>("busy");
        QTest::addColumn<bool>("installed");
        QTest::addColumn<QString>("installedURL");
        QTest::addColumn<int>("installStarts");
        QTest::addColumn<bool>("quits");

        QTest::newRow("ready") << false << false << "" << 1 << false;
        QTest::newRow("busy") << true << false << "" << 0 << false;
        QTest::newRow("installed, not launched") << false << false << installedPath << 1 << false;
        QTest::newRow("done") << false << true << installedPath << 0 << true;
    }

    // Return and a click do the same: start the install action once, or quit when done; nothing
    // while the button is disabled.
    void defaultAction() {
        QFETCH(bool, busy);
        QFETCH(bool, installed);
        QFETCH(QString, installedURL);
        QFETCH(int, installStarts);
        QFETCH(bool, quits);

        for (const bool byKey : {true, false}) {
            Screen screen;
            screen.state.busy = busy;
            screen.state.installed = installed;
            screen.state.installedURL = installedURL;
            QVERIFY(screen.show());
            QVERIFY(QTest::qWaitForWindowActive(screen.window.get()));
            QSignalSpy quit(&screen.engine, &QQmlEngine::quit);

            if (byKey) {
                QTest::keyClick(screen.window.get(), Qt::Key_Return);
            } else {
                const QPoint centre = screen.sceneRect("mainButton").center().toPoint();
                QTest::mouseClick(screen.window.get(), Qt::LeftButton, {}, centre);
            }
            QCoreApplication::processEvents();
            QCOMPARE(screen.state.installStarts, installStarts);
            QCOMPARE(quit.size(), quits ? 1 : 0);
        }
    }

    // The failure text can be selected and copied; Return keeps retrying even when the text has
    // the keyboard focus.
    void messageIsSelectableAndReturnStillRetries() {
        Screen screen;
        screen.state.message = failure;
        QVERIFY(screen.show());
        QVERIFY(QTest::qWaitForWindowActive(screen.window.get()));

        QQuickItem* text = screen.item("messageText");
        QVERIFY(text->property("readOnly").toBool());
        QVERIFY(QMetaObject::invokeMethod(text, "selectAll"));
        QCOMPARE(text->property("selectedText").toString(), failure);

        text->forceActiveFocus();
        QTest::keyClick(screen.window.get(), Qt::Key_Return);
        QCOMPARE(screen.state.installStarts, 1);
        QCOMPARE(text->property("text").toString(), failure);
    }

    void longTextsStayInsideTheColumn_data() {
        QTest::addColumn<QString>("destination");
        QTest::addColumn<QString>("message");

        const QString folder = QStringLiteral("/Users/") + QString(30, u'k') +
                               QStringLiteral("/Dokumenty/Projekty/") + QString(40, u'a') +
                               QStringLiteral("/Applications");
        const QString oneComponent = QStringLiteral("/") + QString(180, u'x');
        const QString longMessage =
            QStringLiteral("Instalacja nie powiodła się: Nie można skopiować pliku. ").repeated(12);
        QTest::newRow("path with many components") << folder << QString();
        QTest::newRow("path in one long component") << oneComponent << QString();
        QTest::newRow("long path and long message") << folder << longMessage;
    }

    // Long texts wrap within the 448-point column, and however long the message is, the button
    // stays whole inside the window (the message scrolls).
    void longTextsStayInsideTheColumn() {
        QFETCH(QString, destination);
        QFETCH(QString, message);

        Screen screen;
        screen.state.destinationPath = destination;
        screen.state.message = message;
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

    void icon_data() {
        QTest::addColumn<bool>("iconInResources");
        QTest::newRow("installer icon") << true;
        QTest::newRow("no icon: empty area") << false;
    }

    void icon() {
        QFETCH(bool, iconInResources);
        QTemporaryDir resources;
        QVERIFY(resources.isValid());
        if (iconInResources) {
            QImage image(40, 30, QImage::Format_ARGB32);  // not square: it is stretched
            image.fill(Qt::darkBlue);
            QVERIFY(image.save(resources.filePath(ui::applicationIconFileName)));
        }
        const QUrl url = ui::applicationIconURL(resources.path().toStdString());
        QCOMPARE(url.isEmpty(), !iconInResources);

        Screen screen;
        QVERIFY(screen.show(url));
        QQuickItem* icon = screen.item("icon");
        QVERIFY(icon->isVisible());
        QCOMPARE(screen.sceneRect("icon").size(), QSizeF(88, 88));
        // Image.Ready == 1, Image.Null == 0
        QTRY_COMPARE(icon->property("status").toInt(), iconInResources ? 1 : 0);
        QCOMPARE(screen.item("heading")->y() - (icon->y() + icon->height()), 20.0);
    }

    void window() {
        Screen screen;
        screen.create();
        QCOMPARE(screen.window->objectName(), QStringLiteral("installer"));
        QCOMPARE(screen.window->title(), QStringLiteral("Instalator Vantorel"));
        QCOMPARE(screen.window->size(), QSize(520, 480));
        QCOMPARE(screen.window->minimumSize(), QSize(520, 480));
        QCOMPARE(screen.window->maximumSize(), QSize(520, 480));
        QVERIFY(!screen.window->flags().testFlag(Qt::WindowMaximizeButtonHint));

        ui::centreOnScreen(*screen.window);
        QVERIFY(screen.show());
        const QRect available = screen.window->screen()->availableGeometry();
        QCOMPARE(screen.window->geometry().center(), available.center());
        QCOMPARE(screen.item("screen")->size(), QSizeF(520, 480));
    }

    void accessibility_data() {
        QTest::addColumn<QString>("item");
        QTest::addColumn<int>("role");
        QTest::addColumn<QString>("name");

        QTest::newRow("button") << "mainButton" << int(QAccessible::Button)
                                << "Zainstaluj i uruchom Vantorel";
        QTest::newRow("heading") << "heading" << int(QAccessible::Heading) << "Zainstaluj Vantorel";
        QTest::newRow("lead") << "lead" << int(QAccessible::StaticText) << readyLead;
        QTest::newRow("message") << "messageText" << int(QAccessible::StaticText) << failure;
        QTest::newRow("progress") << "progress" << int(QAccessible::ProgressBar)
                                  << "Instalowanie\u2026";
    }

    void accessibility() {
        QFETCH(QString, item);
        QFETCH(int, role);
        QFETCH(QString, name);

        Screen screen;
        screen.state.busy = item == "progress";
        screen.state.message = failure;
        QVERIFY(screen.show());
        QAccessibleInterface* accessible =
            QAccessible::queryAccessibleInterface(screen.item(item.toLatin1().constData()));
        QVERIFY(accessible != nullptr);
        QCOMPARE(int(accessible->role()), role);
        QCOMPARE(accessible->text(QAccessible::Name), name);
        if (role == QAccessible::Button) {
            // Assistive technology presses it like a click.
            QAccessibleActionInterface* actions = accessible->actionInterface();
            QVERIFY(actions != nullptr);
            actions->doAction(QAccessibleActionInterface::pressAction());
            QCOMPARE(screen.state.installStarts, 1);
        }
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
                     QColor(0x1e, 0x1e, 0x1e));
            QCOMPARE(screen.item("heading")->property("color").value<QColor>(),
                     QColor(0xf0, 0xf0, 0xf0));
        }
        QGuiApplication::setPalette(original);
    }

    void translationTableChoice_data() {
        QTest::addColumn<QStringList>("tables");
        QTest::addColumn<QString>("locale");
        QTest::addColumn<QString>("chosen");

        QTest::newRow("language") << QStringList{"en"} << "en_US"
                                  << "en.qm";
        QTest::newRow("country before language") << QStringList{"pt", "pt_BR"} << "pt_BR"
                                                 << "pt_BR.qm";
        QTest::newRow("other language only") << QStringList{"en"} << "de_DE"
                                             << "";
        QTest::newRow("no table") << QStringList{} << "pl_PL"
                                  << "";
        QTest::newRow("damaged table") << QStringList{"damaged:en"} << "en_GB"
                                       << "";
    }

    void translationTableChoice() {
        QFETCH(QStringList, tables);
        QFETCH(QString, locale);
        QFETCH(QString, chosen);

        QTemporaryDir resources;
        QVERIFY(resources.isValid());
        for (const QString& table : tables) {
            if (table.startsWith("damaged:")) {
                QFile file(resources.filePath(table.mid(8) + ".qm"));
                QVERIFY(file.open(QIODevice::WriteOnly));
                file.write("not a translation table");
            } else {
                QVERIFY(makeTranslationTable(resources.filePath(table + ".qm"),
                                             {{"Zainstaluj Vantorel", table}}));
            }
        }
        const auto translator =
            ui::loadTranslation(resources.path().toStdString(), QLocale(locale));
        QCOMPARE(translator ? QFileInfo(translator->filePath()).fileName() : QString(), chosen);
    }

    // A table in the resource folder replaces every text of the window and the screen.
    void translationReplacesTexts() {
        QTemporaryDir resources;
        QVERIFY(resources.isValid());
        const QList<std::pair<QString, QString>> english{
            {"Instalator Vantorel", "Vantorel Installer"},
            {"Zainstaluj Vantorel", "Install Vantorel"},
            {"Zainstaluj ponownie Vantorel", "Reinstall Vantorel"},
            {"Vantorel jest zainstalowany", "Vantorel is installed"},
            {readyLead, "One click copies the app to Applications and opens it."},
            {doneLead, "The app is running. You can close the installer."},
            {"Miejsce instalacji: %1", "Location: %1"},
            {note, "Your settings and licence stay."},
            {"Instalowanie\u2026", "Installing\u2026"},
            {"Zainstaluj i uruchom Vantorel", "Install and open Vantorel"},
            {"Uruchom Vantorel ponownie", "Open Vantorel again"},
            {"Zamknij instalator", "Close the installer"},
        };
        QVERIFY(makeTranslationTable(resources.filePath("en.qm"), english));
        const auto translator =
            ui::loadTranslation(resources.path().toStdString(), QLocale(QLocale::English));
        QVERIFY(translator != nullptr);
        QVERIFY(QCoreApplication::installTranslator(translator.get()));

        Screen screen;
        QVERIFY(screen.show());
        QCOMPARE(screen.window->title(), QStringLiteral("Vantorel Installer"));
        QCOMPARE(screen.text("heading"), QStringLiteral("Install Vantorel"));
        QCOMPARE(screen.text("lead"), english[4].second);
        QCOMPARE(screen.text("location"), QStringLiteral("Location: /home/tester/Applications"));
        QCOMPARE(screen.text("note"), english[7].second);
        QCOMPARE(screen.text("mainButton"), QStringLiteral("Install and open Vantorel"));

        screen.state.busy = true;
        screen.state.exists = true;
        screen.state.installedURL = installedPath;
        QVERIFY(screen.update());
        QCOMPARE(screen.text("heading"), QStringLiteral("Reinstall Vantorel"));
        QCOMPARE(screen.text("progressLabel"), QStringLiteral("Installing\u2026"));
        QCOMPARE(screen.text("mainButton"), QStringLiteral("Open Vantorel again"));

        screen.state.busy = false;
        screen.state.installed = true;
        QVERIFY(screen.update());
        QCOMPARE(screen.text("heading"), QStringLiteral("Vantorel is installed"));
        QCOMPARE(screen.text("lead"), english[5].second);
        QCOMPARE(screen.text("mainButton"), QStringLiteral("Close the installer"));

        QCoreApplication::removeTranslator(translator.get());
    }

private:
    // Writes a Qt Linguist source with the pairs for both QML files and compiles it with lrelease.
    static bool makeTranslationTable(const QString& qmFile,
                                     const QList<std::pair<QString, QString>>& pairs) {
        QString ts = QStringLiteral(
            "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<!DOCTYPE TS>\n"
            "<TS version=\"2.1\" language=\"en\">\n");
        for (const char* context : {"InstallerWindow", "InstallerScreen"}) {
            ts += QStringLiteral("<context><name>%1</name>\n").arg(QLatin1String(context));
            for (const auto& [source, translation] : pairs) {
                ts += QStringLiteral(
                          "<message><source>%1</source><translation>%2</translation>"
                          "</message>\n")
                          .arg(source.toHtmlEscaped(), translation.toHtmlEscaped());
            }
            ts += QStringLiteral("</context>\n");
        }
        ts += QStringLiteral("</TS>\n");
        const QString tsFile = qmFile + QStringLiteral(".ts");
        QFile file(tsFile);
        if (!file.open(QIODevice::WriteOnly) || file.write(ts.toUtf8()) < 0) {
            return false;
        }
        file.close();
        QProcess lrelease;
        lrelease.start(QStringLiteral(LRELEASE_PROGRAM),
                       {QStringLiteral("-silent"), tsFile, QStringLiteral("-qm"), qmFile});
        return lrelease.waitForFinished(30000) && lrelease.exitStatus() == QProcess::NormalExit &&
               lrelease.exitCode() == 0 && QFileInfo(qmFile).size() > 0;
    }
};

QTEST_MAIN(InstallerScreenTest)
#include "tst_installer_screen.moc"
