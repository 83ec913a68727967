#include <QtTest>

#include "bundled_qt.h"

using bundledqt::Session;

Q_DECLARE_METATYPE(Session)

class BundledQtTest : public QObject {
    Q_OBJECT

private slots:
    // The platform list that a bundle hands Qt: the user's platforms that the bundle has come
    // first, in the user's order; the session's displays follow, Wayland before X11, so that a
    // platform that cannot connect falls through. (That the bundle's Qt then keeps out the plugin
    // and QML folders the environment names, the runs from the disk image show.)
    void platformsToTry_data() {
        QTest::addColumn<Session>("session");
        QTest::addColumn<QString>("expected");
        const auto row = [](const char* name, Session session, const char* expected) {
            QTest::newRow(name) << session << QString(expected);
        };
        row("a Wayland session with XWayland", {"", true, true}, "wayland;xcb");
        row("X11 only", {"", false, true}, "xcb");
        row("no display: Qt's own choice", {"", false, false}, "");
        row("Wayland named, only an X display", {"wayland", false, true}, "wayland;xcb");
        row("xcb named, only a Wayland display", {"xcb", true, false}, "xcb;wayland");
        row("a platform the bundle lacks", {"wayland-egl", true, false}, "wayland");
        row("nothing the bundle has, no display", {"offscreen", false, false}, "");
        row("arguments and case kept, no name twice", {"XCB:nomitshm;wayland", true, true},
            "XCB:nomitshm;wayland");
        row("empty entries", {";;wayland;", true, false}, "wayland");
    }
    void platformsToTry() {
        QFETCH(Session, session);
        QTEST(QString::fromStdString(bundledqt::platformsToTry(session, {"xcb", "wayland"})),
              "expected");
    }

    void importPathsInsideTheBundle_data() {
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("kept");
        QTest::newRow("the bundle's QML folder") << "/b/X.app/Contents/Resources/qml" << true;
        QTest::newRow("the executable's folder") << "/b/X.app/Contents/MacOS" << true;
        QTest::newRow("Qt's resources") << "qrc:/qt-project.org/imports" << true;
        QTest::newRow("Qt's resources, short form") << ":/qt/qml" << true;
        QTest::newRow("the system's QML folder") << "/usr/lib/x86_64-linux-gnu/qt6/qml" << false;
        QTest::newRow("climbing out") << "/b/X.app/Contents/../../qml" << false;
        QTest::newRow("a sibling with the same start") << "/b/X.app/Contents2/qml" << false;
        QTest::newRow("a relative path") << "Contents/Resources/qml" << false;
    }
    void importPathsInsideTheBundle() {
        QFETCH(QString, path);
        QFETCH(bool, kept);
        QCOMPARE(bundledqt::pathsInside({path}, "/b/X.app/Contents").size(), kept ? 1 : 0);
    }
};

QTEST_GUILESS_MAIN(BundledQtTest)
#include "tst_bundled_qt.moc"
