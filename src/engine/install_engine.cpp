#include "install_engine.h"

#include "application_bundle.h"

namespace fs = std::filesystem;

const char* InstallEngine::Failure::what() const noexcept {
    switch (case_) {
        case invalidPayload:
            return "Pliki instalatora są niekompletne lub uszkodzone. Pobierz instalator ponownie.";
        case unsafeDestination:
            return "W miejscu instalacji jest inny plik lub dowiązanie. Wybierz prawidłowy folder "
                   "aplikacji.";
    }
    return "";
}

namespace {

// True when an item named "Vantorel.app" claims the folder: it exists (links followed), or it is
// a symbolic link whose destination is missing.
bool holdsApplication(const fs::path& folder) noexcept {
    const fs::path probe = folder / applicationBundleName;
    if (files::fileExists(probe)) {
        return true;
    }
    try {
        return files::resourceValues(probe).isSymbolicLink == true;
    } catch (const files::FileError&) {
        return false;  // nothing that can be queried is there
    }
}

}  // namespace

fs::path InstallEngine::preferredDirectory(const fs::path& system, const fs::path& user,
                                           std::function<bool(const std::string&)> isWritable) {
    for (const fs::path* candidate : {&system, &user}) {
        if (holdsApplication(*candidate)) {
            return *candidate;
        }
    }
    return isWritable(system.string()) ? system : user;
}
