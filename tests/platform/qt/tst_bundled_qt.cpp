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
        row("no display: Qt's own choice", {"", false, false}, "");
        row("Wayland named, only an X display", {"wayland", false, true}, "wayland;xcb");
        row("xcb named, only a Wayland display", {"xcb", true, false}, "xcb;wayland");
        row("a platform the bundle lacks", {"wayland-egl", true, false}, "wayland");
        row("arguments and case kept, no name twice", {"XCB:nomitshm;wayland", true, true},
            "XCB:nomitshm;wayland");
        row("empty entries", {";;wayland;", true, false}, "wayland");
    }
    void platformsToTry() {
        QFETCH(Session, session);
        QTEST(QString::fromStdString(bundledqt::platformsToTry(session, {"xcb", "wayland"})),
              "expected");
    }

    // Only the bundle's own folders and Qt's resources stay on the QML import path.
    void importPathsInsideTheBundle() {
        const QStringList inside{"/b/X.app/Contents/Resources/qml", "qrc:/qt-project.org/imports",
                                 ":/qt/qml"};
        const QStringList outside{"/usr/lib/x86_64-linux-gnu/qt6/qml",
                                  "/b/X.app/Contents/../../qml", "/b/X.app/Contents2/qml",
                                  "Contents/Resources/qml"};
        QCOMPARE(bundledqt::pathsInside(inside + outside, "/b/X.app/Contents"), inside);
    }
};

QTEST_GUILESS_MAIN(BundledQtTest)
#include "tst_bundled_qt.moc"
