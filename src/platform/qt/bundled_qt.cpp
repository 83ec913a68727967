#include "bundled_qt.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonObject>
#include <QPluginLoader>
#include <QQmlEngine>
#include <QString>
#include <algorithm>
#include <cctype>
#include <cstdlib>

namespace bundledqt {

namespace fs = std::filesystem;

namespace {

// Where a bundle that carries Qt keeps it, as its Contents/Resources/qt.conf says (the layout that
// the disk image's bundles are completed in).
fs::path pluginsFolder(const fs::path& contents) {
    return contents / "PlugIns";
}
bool carriesQt(const fs::path& contents) {
    std::error_code ignored;  // unreadable counts as absent
    return fs::is_regular_file(contents / "Resources" / "qt.conf", ignored);
}

bool isSet(const char* variable) {
    const char* value = std::getenv(variable);
    return value != nullptr && *value != '\0';
}

// The platform name of one QT_QPA_PLATFORM entry ("xcb:arguments" names "xcb"), as Qt compares it.
std::string platformName(std::string_view entry) {
    std::string name(entry.substr(0, entry.find(':')));
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char letter) { return char(std::tolower(letter)); });
    return name;
}

}  // namespace

Session Session::fromEnvironment() {
    const char* requested = std::getenv("QT_QPA_PLATFORM");
    return Session{requested != nullptr ? requested : "", isSet("WAYLAND_DISPLAY"),
                   isSet("DISPLAY")};
}

std::string platformsToTry(const Session& session, const std::set<std::string>& available) {
    std::vector<std::string> entries;
    std::set<std::string> named;
    const auto add = [&](std::string_view entry) {
        const std::string name = platformName(entry);
        if (available.contains(name) && named.insert(name).second) {
            entries.emplace_back(entry);
        }
    };
    std::string_view rest = session.requestedPlatforms;
    while (!rest.empty()) {
        const size_t end = std::min(rest.find(';'), rest.size());
        add(rest.substr(0, end));
        rest.remove_prefix(std::min(end + 1, rest.size()));
    }
    if (session.hasWaylandDisplay) {
        add("wayland");
    }
    if (session.hasXDisplay) {
        add("xcb");
    }
    std::string list;
    for (const std::string& entry : entries) {
        list += (list.empty() ? "" : ";") + entry;
    }
    return list;
}

std::set<std::string> platformPluginNames(const fs::path& folder) {
    std::set<std::string> names;
    std::error_code error;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder, error)) {
        if (entry.path().extension() != ".so") {
            continue;
        }
        const QJsonObject metaData =
            QPluginLoader(QString::fromStdString(entry.path().string())).metaData();
        for (const QJsonValue key :
             metaData.value(u"MetaData").toObject().value(u"Keys").toArray()) {
            names.insert(platformName(key.toString().toStdString()));
        }
    }
    return names;  // an unreadable folder has no plugins
}

QStringList pathsInside(const QStringList& paths, const fs::path& contents) {
    const fs::path folder = contents.lexically_normal();
    QStringList inside;
    for (const QString& path : paths) {
        const fs::path relative =
            fs::path(path.toStdString()).lexically_normal().lexically_relative(folder);
        const bool inFolder = fs::path(path.toStdString()).is_absolute() && !relative.empty() &&
                              *relative.begin() != "..";
        if (inFolder || path.startsWith(u":/") || path.startsWith(u"qrc:/")) {
            inside.append(path);
        }
    }
    return inside;
}

BundledQt::BundledQt(int argc, char** argv)
    : BundledQt(argc, argv, runningBundleContents(), Session::fromEnvironment()) {}

BundledQt::BundledQt(int argc, char** argv, std::optional<fs::path> contents,
                     const Session& session)
    : arguments_(argv, argv + argc) {
    if (contents && carriesQt(*contents)) {
        contents_ = std::move(contents);
        const fs::path plugins = pluginsFolder(*contents_);
        // Replaces every plugin folder Qt would search, QT_PLUGIN_PATH's among them; the
        // application object then adds only its executable's own folder.
        QCoreApplication::setLibraryPaths({QString::fromStdString(plugins.string())});
        // Both override their environment variables (QT_QPA_PLATFORM_PLUGIN_PATH and
        // QT_QPA_PLATFORM). They go before the command line's own arguments: Qt takes the last
        // of each, so a -platform given by hand still decides.
        std::vector<std::string> settings{"-platformpluginpath", (plugins / "platforms").string()};
        const std::string platforms =
            platformsToTry(session, platformPluginNames(plugins / "platforms"));
        if (!platforms.empty()) {
            settings.insert(settings.end(), {"-platform", platforms});
        }
        arguments_.insert(arguments_.begin() + std::min<ptrdiff_t>(1, argc), settings.begin(),
                          settings.end());
    }
    for (std::string& argument : arguments_) {
        pointers_.push_back(argument.data());
    }
    argc_ = int(pointers_.size());
    pointers_.push_back(nullptr);
}

void BundledQt::confineImports(QQmlEngine& engine) const {
    if (contents_) {
        engine.setImportPathList(pathsInside(engine.importPathList(), *contents_));
    }
}

}  // namespace bundledqt
