#include "tamblico_installer.h"

#include <QApplication>
#include <QFontDatabase>
#include <QIcon>
#include <QImage>
#include <QLocale>
#include <QPixmap>
#include <QQmlEngine>
#include <QQuickWindow>
#include <QThreadPool>
#include <QTranslator>
#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>

#include "application_identity.h"
#include "bundle.h"
#include "bundled_qt.h"
#include "installer_claim.h"
#include "installer_window.h"

namespace {

using namespace std::chrono_literals;

// How long a later start waits for the running installer to listen and answer: a first start
// from a freshly opened disk image takes a few seconds before it listens.
constexpr auto handOverBound = 15s;

// The icon for the window system (title bar, task bar), in a few ready-made sizes: an icon read
// lazily from a file has no sizes yet, and the window system would get none.
QIcon windowIconFrom(const QUrl& icon) {
    const QImage image(icon.toLocalFile());
    QIcon sizes;
    for (const int side : {32, 64, 128}) {
        sizes.addPixmap(QPixmap::fromImage(
            image.scaled(side, side, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)));
    }
    return sizes;
}

// Shows the window and runs the application until it ends; returns its exit status.
int showAndRun(QApplication& application, QQmlEngine& engine, InstallerState* state,
               const QUrl& icon, InstallerClaim* claim) {
    // The screen's final button and the Quit command call Qt.quit().
    QObject::connect(&engine, &QQmlEngine::quit, &application, &QCoreApplication::quit,
                     Qt::QueuedConnection);
    std::unique_ptr<QQuickWindow> window;
    try {
        window = ui::createInstallerWindow(engine, state, icon);
    } catch (const std::logic_error& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
    ui::centreOnScreen(*window);
    if (!icon.isEmpty()) {
        // The title bar's and task bar's icon can wait until the screen is on show: handing a
        // large icon to the window system would delay the first frame by several milliseconds.
        QObject::connect(
            window.get(), &QQuickWindow::frameSwapped, window.get(),
            [target = window.get(), icon] { target->setIcon(windowIconFrom(icon)); },
            Qt::SingleShotConnection);
    }
    window->show();
    if (claim != nullptr &&
        !claim->serve(*window, [target = window.get()] { ui::bringToFront(*target); })) {
        std::fputs("Instalator nie może przyjmować kolejnych uruchomień.\n", stderr);
    }
    return QApplication::exec();
}

}  // namespace

int TamblicoInstaller::main(int& argc, char** argv, const StateFactory& makeState) {
    return main(argc, argv, makeState, Bundle::mainResourceURL(), Instances::onePerUser);
}

int TamblicoInstaller::main(int& argc, char** argv, const StateFactory& makeState,
                            const std::optional<std::filesystem::path>& resources,
                            Instances instances) {
    // Before anything of Qt: a bundle that carries Qt uses its own, whatever the environment says.
    bundledqt::BundledQt qt(argc, argv);
    std::optional<InstallerClaim> claim;
    if (instances == Instances::onePerUser) {
        try {
            claim = claimOrHandOver(userRuntimeFolder(),
                                    std::string(applicationBundleIdentifier) + ".installer",
                                    handOverBound);
            if (!claim) {
                return 0;  // the running installer has been asked to come to the front
            }
        } catch (const ClaimError& error) {
            // A second start cannot be recognised then; running is better than not starting.
            std::fprintf(stderr, "%s\n", error.what());
        }
    }
    // One static screen needs no GPU: the software scene graph shows its first frame sooner, uses
    // less than half the memory of an OpenGL context (bench_startup), and works where there is no
    // hardware acceleration (virtual machines, remote sessions).
    QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);
    // QApplication rather than QGuiApplication: the flow's closing question is a widget dialog.
    QApplication application(qt.argc(), qt.argv());
    // Finding the system's fonts is a good part of the start: do it on another core while the
    // screen is loaded. The font database is shared between threads and guards itself.
    std::jthread findFonts([] { std::ignore = QFontDatabase::families(); });

    std::unique_ptr<QTranslator> translator =
        resources ? ui::loadTranslation(*resources, QLocale()) : nullptr;
    if (translator) {
        QCoreApplication::installTranslator(translator.get());
    }
    const std::unique_ptr<InstallerState> state = makeState();
    QQmlEngine engine;
    qt.confineImports(engine);
    const int status = showAndRun(application, engine, state.get(),
                                  resources ? ui::applicationIconURL(*resources) : QUrl(),
                                  claim ? &*claim : nullptr);
    // The program ends through Quit, by closing the window or through the final button, also while
    // an installation runs. Nothing of the install action runs once the event loop has ended, but
    // the engine's work already under way on a pool thread is finished first: it is the staged
    // replacement, which puts either the earlier copy or the whole new one in place. An
    // installation still waiting for another one in the same folder gives up instead.
    state->giveUpWaiting();
    QThreadPool::globalInstance()->waitForDone();
    return status;
}
