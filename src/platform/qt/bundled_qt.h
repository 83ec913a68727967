#pragma once

// How a program starts Qt when its bundle carries Qt itself (Contents/Resources/qt.conf, with
// Contents/PlugIns and Contents/Resources/qml beside it): Qt's plugins and QML modules come from
// the bundle only, whatever QT_PLUGIN_PATH, QT_QPA_PLATFORM_PLUGIN_PATH, QML2_IMPORT_PATH or
// QML_IMPORT_PATH say, and the display platform is one the bundle has and the session offers.
// None of it touches the process environment, which the programs it starts inherit as the user
// gave it. (Libraries are the loader's concern: each file of such a bundle carries a DT_RPATH,
// which the loader searches before LD_LIBRARY_PATH.) A program that runs from the build tree uses
// the system's Qt as it finds it.

#include <QStringList>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

class QQmlEngine;

namespace bundledqt {

// What the environment says about the displays and the platform the user asked for.
struct Session {
    std::string requestedPlatforms;  // QT_QPA_PLATFORM: names separated by ';', each maybe ":args"
    bool hasWaylandDisplay = false;  // WAYLAND_DISPLAY
    bool hasXDisplay = false;        // DISPLAY

    static Session fromEnvironment();
};

// The platforms for Qt to try in turn (its ';'-separated form): the requested ones that the bundle
// has, in the user's order, then Wayland where a Wayland display is named and X11 (xcb) where an X
// display is: a requested platform that cannot connect then falls through to one that can. Empty
// when nothing fits, which leaves the choice to Qt.
std::string platformsToTry(const Session& session, const std::set<std::string>& available);

// The platform names that the plugins in `folder` provide, read from their metadata without
// loading them.
std::set<std::string> platformPluginNames(const std::filesystem::path& folder);

// The entries of `paths` that lie inside `contents` (by their lexical form) or in Qt's resources
// (":/..." or "qrc:/..."); the order stays.
QStringList pathsInside(const QStringList& paths, const std::filesystem::path& contents);

// The Contents folder of the bundle whose executable runs this process, when it is one
// (X.app/Contents/MacOS/executable).
std::optional<std::filesystem::path> runningBundleContents();

// The start-up settings of one program. Create it first thing in main, before the application
// object, and build the application object from argc() and argv().
class BundledQt {
public:
    // Reads the running bundle and the environment. In a bundle that carries Qt, sets Qt's plugin
    // folders to the bundle's own (QCoreApplication::setLibraryPaths) and adds -platformpluginpath
    // and, where the session calls for one, -platform to the arguments. Elsewhere it changes
    // nothing.
    BundledQt(int argc, char** argv);
    // The same for the bundle at `contents` (absent: not a bundle) and the given session.
    BundledQt(int argc, char** argv, std::optional<std::filesystem::path> contents,
              const Session& session);
    BundledQt(const BundledQt&) = delete;
    BundledQt& operator=(const BundledQt&) = delete;

    // The Contents folder of a bundle that carries Qt; absent elsewhere.
    const std::optional<std::filesystem::path>& contents() const noexcept { return contents_; }
    // The arguments for the application object, which keeps referring to them.
    int& argc() noexcept { return argc_; }
    char** argv() noexcept { return pointers_.data(); }

    // Drops the engine's QML import folders that lie outside the bundle. Call it once the engine
    // exists and before it loads anything.
    void confineImports(QQmlEngine& engine) const;

private:
    std::optional<std::filesystem::path> contents_;
    std::vector<std::string> arguments_;
    std::vector<char*> pointers_;
    int argc_ = 0;
};

}  // namespace bundledqt
