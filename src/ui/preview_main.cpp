#include <QDir>
#include <cstdio>
#include <memory>
#include <string_view>

#include "preview_state.h"
#include "tamblico_installer.h"

// installer_preview [PHASE [DESTINATION]]: the installer window showing one phase of the screen,
// with the installer bundle's icon and translation tables. DESTINATION is the applications folder
// shown on the screen (default: the home folder + "/Applications").
int main(int argc, char** argv) {
    const std::string_view name = argc > 1 ? argv[1] : "ready";
    const std::optional<PreviewState::Phase> phase = PreviewState::phaseNamed(name);
    if (!phase) {
        std::fprintf(stderr, "Unknown phase '%.*s'. Phases: %s\n", int(name.size()), name.data(),
                     qPrintable(PreviewState::phaseNames().join(u", ")));
        return 2;
    }
    const QString destination = argc > 2 ? QString::fromLocal8Bit(argv[2])
                                         : QDir::homePath() + QStringLiteral("/Applications");
    return TamblicoInstaller::main(
        argc, argv, [&] { return std::make_unique<PreviewState>(*phase, destination); },
        std::filesystem::path(VANTOREL_INSTALLER_RESOURCES), TamblicoInstaller::Instances::any);
}
