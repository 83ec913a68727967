// The demo application that the installer ships by default: one window with the application's name
// and version. It quits cleanly on SIGTERM, which is how the installer closes a running copy.

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QSocketNotifier>
#include <QUrl>
#include <cstdio>
#include <tuple>

#include "bundled_qt.h"

namespace {

// The signal handler may only write to a descriptor; the event loop reads the other end.
int terminationSockets[2] = {-1, -1};

void onTerminationSignal(int) {
    const char byte = 1;
    std::ignore = ::write(terminationSockets[1], &byte, 1);
}

bool quitOnTerminationSignal(QCoreApplication& application) {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, terminationSockets) != 0) {
        return false;
    }
    auto* notifier =
        new QSocketNotifier(terminationSockets[0], QSocketNotifier::Read, &application);
    QObject::connect(notifier, &QSocketNotifier::activated, &application, &QCoreApplication::quit);
    struct sigaction action {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    return ::sigaction(SIGTERM, &action, nullptr) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    // Before anything of Qt: a bundle that carries Qt uses its own, whatever the environment says.
    bundledqt::BundledQt qt(argc, argv);
    QGuiApplication application(qt.argc(), qt.argv());
    QGuiApplication::setApplicationName(QStringLiteral("Vantorel"));
    QGuiApplication::setApplicationVersion(QStringLiteral(VANTOREL_VERSION));

    if (!quitOnTerminationSignal(application)) {
        std::perror("Vantorel: cannot handle SIGTERM");
        return 1;
    }
    QQmlApplicationEngine engine;
    qt.confineImports(engine);
    engine.load(QUrl(QStringLiteral("qrc:/Vantorel/Main.qml")));
    if (engine.rootObjects().isEmpty()) {
        return 1;
    }
    return application.exec();
}
