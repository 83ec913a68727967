#include <QDir>
#include <cstdio>
#include <memory>
#include <string_view>

#include "preview_state.h"
#include "tamblico_installer.h"

// installer_preview [PHASE]: the installer window showing one phase of the screen, with the
// installer bundle's icon and translation tables.
int main(int argc, char** argv) {
    const std::string_view name = argc > 1 ? argv[1] : "ready";
    const std::optional<PreviewState::Phase> phase = PreviewState::phaseNamed(name);
    if (!phase) {
        std::fprintf(stderr, "Unknown phase '%.*s'. Phases: %s\n", int(name.size()), name.data(),
                     qPrintable(PreviewState::phaseNames().join(u", ")));
        return 2;
    }
    return TamblicoInstaller::main(
        argc, argv,
        [&] {
            return std::make_unique<PreviewState>(
                *phase, QDir::homePath() + QStringLiteral("/Applications"));
        },
        std::filesystem::path(VANTOREL_INSTALLER_RESOURCES));
}
