#include <memory>

#include "installer_view.h"
#include "tamblico_installer.h"

int main(int argc, char** argv) {
    return TamblicoInstaller::main(argc, argv, [] { return std::make_unique<InstallerView>(); });
}
