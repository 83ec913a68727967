#pragma once

#include <QUrl>
#include <filesystem>
#include <memory>

class InstallerState;
class QLocale;
class QQmlEngine;
class QQuickWindow;
class QTranslator;
class QWindow;

namespace ui {

// The installer's application icon inside its resource folder.
inline constexpr char applicationIconFileName[] = "AppIcon.png";

// The translation table for the first of the locale's languages that has one in the resource
// folder, named <language>.qm ("en.qm", or "pt_BR.qm" before "pt.qm"). Null when there is none,
// so the screen keeps its Polish texts.
std::unique_ptr<QTranslator> loadTranslation(const std::filesystem::path& resources,
                                             const QLocale& locale);

// The installer's application icon in its resource folder; an empty URL when there is none.
QUrl applicationIconURL(const std::filesystem::path& resources);

// Creates the installer window, not yet shown, whose content is the installer screen reading
// `state`. The window does not own the state, which must outlive it. Throws std::logic_error when
// the screen fails to load.
std::unique_ptr<QQuickWindow> createInstallerWindow(QQmlEngine& engine, InstallerState* state,
                                                    const QUrl& icon);

// Places the window, whose size is known, in the middle of its screen's available area.
void centreOnScreen(QWindow& window);

// Shows the window again if it was minimised, raises it and asks for the input focus, as far as
// the desktop lets a program do that.
void bringToFront(QWindow& window);

}  // namespace ui
