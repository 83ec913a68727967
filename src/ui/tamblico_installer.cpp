#include "tamblico_installer.h"

#include <QApplication>
#include <QIcon>
#include <QLocale>
#include <QQmlEngine>
#include <QQuickWindow>
#include <QTranslator>
#include <cstdio>
#include <stdexcept>

#include "bundle.h"
#include "installer_window.h"

int TamblicoInstaller::main(int& argc, char** argv, const StateFactory& makeState) {
    return main(argc, argv, makeState, Bundle::mainResourceURL());
}

int TamblicoInstaller::main(int& argc, char** argv, const StateFactory& makeState,
                            const std::optional<std::filesystem::path>& resources) {
    // One static screen needs no GPU: the software scene graph shows its first frame sooner and
    // uses less than half the memory of an OpenGL, Metal or Vulkan context, and works where
    // there is no hardware acceleration (virtual machines, remote sessions).
    QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);
    // QApplication rather than QGuiApplication: the flow's closing question is a widget dialog.
    QApplication application(argc, argv);

    std::unique_ptr<QTranslator> translator =
        resources ? ui::loadTranslation(*resources, QLocale()) : nullptr;
    if (translator) {
        QCoreApplication::installTranslator(translator.get());
    }
    const QUrl icon = resources ? ui::applicationIconURL(*resources) : QUrl();
    if (!icon.isEmpty()) {
        QGuiApplication::setWindowIcon(QIcon(icon.toLocalFile()));
    }

    const std::unique_ptr<QObject> state = makeState();
    QQmlEngine engine;
    // The screen's final button calls Qt.quit().
    QObject::connect(&engine, &QQmlEngine::quit, &application, &QCoreApplication::quit,
                     Qt::QueuedConnection);
    std::unique_ptr<QQuickWindow> window;
    try {
        window = ui::createInstallerWindow(engine, state.get(), icon);
    } catch (const std::logic_error& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
    ui::centreOnScreen(*window);
    window->show();
    return QApplication::exec();
}
