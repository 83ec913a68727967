// A plain Qt Quick program, as a vendor writes one: nothing of the project's own start-up code.
#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QString>
#include <QUrl>

const char* probeGreeting();

int main(int argc, char** argv) {
    QGuiApplication application(argc, argv);
    QQmlApplicationEngine engine;
    engine.rootContext()->setContextProperty(QStringLiteral("greeting"),
                                             QString::fromUtf8(probeGreeting()));
    engine.load(QUrl(QStringLiteral("qrc:/probe/Main.qml")));
    if (engine.rootObjects().isEmpty()) {
        return 1;
    }
    return application.exec();
}
