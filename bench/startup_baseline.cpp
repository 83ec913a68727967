#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QQuickWindow>
#include <cstring>

// The baseline of bench_startup: an empty Qt Quick window with the installer window's size.
// `startup_baseline software` uses the software scene graph like the installer; without an
// argument Qt Quick chooses its default graphics.
int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "software") == 0) {
        QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);
    }
    QGuiApplication application(argc, argv);
    QQmlApplicationEngine engine;
    engine.loadData(
        "import QtQuick\nWindow { width: 520; height: 480; visible: true; title: \"baseline\" }\n");
    if (engine.rootObjects().isEmpty()) {
        return 1;
    }
    return QGuiApplication::exec();
}
