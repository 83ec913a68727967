#include "installer_window.h"

#include <QFileInfo>
#include <QLocale>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QQuickWindow>
#include <QScreen>
#include <QTranslator>
#include <stdexcept>
#include <tuple>

#include "installer_state.h"

// Registers the types of the screen's QML module (generated with it). Naming it here keeps the
// linker from dropping the registration from the static library.
void qml_register_types_Vantorel_Ui();

namespace fs = std::filesystem;

namespace ui {

namespace {

const QUrl windowSource(QStringLiteral("qrc:/Vantorel/Ui/InstallerWindow.qml"));

// Candidate table names for a locale, most specific first: every language with its country
// ("pt_BR"), then the bare languages ("pt").
QStringList translationNames(const QLocale& locale) {
    QStringList specific;
    QStringList bare;
    for (QString language : locale.uiLanguages()) {
        language.replace(u'-', u'_');
        const QString base = language.section(u'_', 0, 0);
        QStringList& names = language == base ? bare : specific;
        if (!language.isEmpty() && !names.contains(language)) {
            names.append(language);
        }
        if (!base.isEmpty() && !bare.contains(base)) {
            bare.append(base);
        }
    }
    return specific + bare;
}

}  // namespace

std::unique_ptr<QTranslator> loadTranslation(const fs::path& resources, const QLocale& locale) {
    const QString folder = QString::fromStdString(resources.string());
    for (const QString& name : translationNames(locale)) {
        const QString file = folder + u'/' + name + QStringLiteral(".qm");
        if (!QFileInfo(file).isFile()) {
            continue;
        }
        auto translator = std::make_unique<QTranslator>();
        if (translator->load(file)) {
            return translator;
        }
        // An unreadable or damaged table is skipped like a missing one.
    }
    return nullptr;
}

QUrl applicationIconURL(const fs::path& resources) {
    const QFileInfo icon(QString::fromStdString((resources / applicationIconFileName).string()));
    return icon.isFile() ? QUrl::fromLocalFile(icon.absoluteFilePath()) : QUrl();
}

std::unique_ptr<QQuickWindow> createInstallerWindow(QQmlEngine& engine, InstallerState* state,
                                                    const QUrl& icon) {
    [[maybe_unused]] volatile auto registration = &qml_register_types_Vantorel_Ui;
    // The screen's module lies in the program's resources, where Qt 6.4 does not look by itself.
    engine.addImportPath(QStringLiteral("qrc:/"));
    QQmlComponent component(&engine, windowSource);
    // Qt 6.4 crashes when asked to create an object of a component that failed to load.
    std::unique_ptr<QObject> object(component.isReady()
                                        ? component.createWithInitialProperties(
                                              {{QStringLiteral("view"), QVariant::fromValue(state)},
                                               {QStringLiteral("iconSource"), icon}})
                                        : nullptr);
    auto* window = qobject_cast<QQuickWindow*>(object.get());
    if (window == nullptr) {
        throw std::logic_error("The installer screen could not be loaded: " +
                               component.errorString().toStdString());
    }
    std::ignore = object.release();
    return std::unique_ptr<QQuickWindow>(window);
}

void centreOnScreen(QWindow& window) {
    const QScreen* screen = window.screen();
    if (screen == nullptr) {
        return;  // no screen to centre on: the platform places the window
    }
    QRect frame(QPoint(), window.size());
    frame.moveCenter(screen->availableGeometry().center());
    window.setPosition(frame.topLeft());
}

void bringToFront(QWindow& window) {
    window.setWindowStates(window.windowStates() & ~Qt::WindowMinimized);
    window.show();
    window.raise();
    window.requestActivate();
}

}  // namespace ui
