#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

#include "installer_state.h"

// The application type: one fixed-size window titled "Instalator Vantorel", centred when it first
// shows, whose content is the installer screen. The program ends when the window closes, on the
// platform's Quit command, or when the screen quits.
class TamblicoInstaller {
public:
    // Makes the installer state once the application object exists (the state may need its event
    // loop). It lives as long as the window.
    using StateFactory = std::function<std::unique_ptr<InstallerState>()>;

    // Whether a start may run beside another running one of the same user. With `onePerUser` a
    // later start brings the running installer's window to the front and ends with status 0
    // before it makes its state, so it touches nothing else.
    enum class Instances { onePerUser, any };

    // Runs the installer, one per user, with the resource folder of the bundle that holds the
    // executable; returns the program's exit status once the application has ended.
    static int main(int& argc, char** argv, const StateFactory& makeState);

    // The same with a given resource folder (translation tables and the application icon); none
    // means no translation and an empty icon.
    static int main(int& argc, char** argv, const StateFactory& makeState,
                    const std::optional<std::filesystem::path>& resources, Instances instances);
};
