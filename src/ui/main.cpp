#include <QDir>
#include <memory>

#include "preview_state.h"
#include "tamblico_installer.h"

int main(int argc, char** argv) {
    // Placeholder state until the install action is wired in: it shows the ready screen and
    // pretends to install.
    return TamblicoInstaller::main(argc, argv, [] {
        return std::make_unique<PreviewState>(PreviewState::Phase::ready,
                                              QDir::homePath() + QStringLiteral("/Applications"));
    });
}
