#include "application_launcher.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QPromise>
#include <QtConcurrent/QtConcurrentRun>
#include <cerrno>
#include <exception>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "bundle.h"
#include "file_error.h"
#include "file_manager.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

// RAII for the two spawn descriptions, so that every path releases them.
struct SpawnSettings {
    posix_spawn_file_actions_t actions{};
    posix_spawnattr_t attributes{};

    SpawnSettings() {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attributes);
    }
    ~SpawnSettings() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
    }
    SpawnSettings(const SpawnSettings&) = delete;
    SpawnSettings& operator=(const SpawnSettings&) = delete;
};

// Why the application did not start.
enum class Refusal { missing, damaged, notPermitted, noPrograms, foreignProgram, other };

// The sentence that follows "the application is installed but could not be started": the reason
// first; the place is the folder that holds the bundle, never a path inside it.
std::string sentence(Refusal refusal, const fs::path& bundle, int errorNumber) {
    switch (refusal) {
        case Refusal::missing:
            return "Nie ma jej już w folderze " + files::quoted(bundle.parent_path()) + ".";
        case Refusal::damaged:
            return "Jej pakiet jest uszkodzony: zainstaluj ją ponownie.";
        case Refusal::notPermitted:
            return "Brak uprawnień do uruchomienia jej programu.";
        case Refusal::noPrograms:
            return "System plików miejsca instalacji nie pozwala uruchamiać programów.";
        case Refusal::foreignProgram:
            return "Jej program nie jest przeznaczony dla tego systemu.";
        case Refusal::other:
            break;
    }
    return "Błąd systemu: " + files::systemReason(errorNumber) + ".";
}

[[noreturn]] void refuse(Refusal refusal, const fs::path& bundle, int errorNumber = 0) {
    throw LaunchError(sentence(refusal, bundle, errorNumber));
}

// A program that may not run: its file system lets none run (noexec), or this user may not.
Refusal notRunnable(const fs::path& executable) {
    return files::folderAccess(executable).programsMayRun ? Refusal::notPermitted
                                                          : Refusal::noPrograms;
}

fs::path executableOf(const fs::path& bundlePath) {
    if (!files::fileExists(bundlePath)) {
        refuse(Refusal::missing, bundlePath);
    }
    const auto bundle = Bundle::open(bundlePath);
    const auto executable = bundle ? bundle->executableURL() : std::nullopt;
    if (!executable || !files::fileExists(*executable)) {
        refuse(Refusal::damaged, bundlePath);
    }
    if (!files::isExecutableFile(*executable)) {
        refuse(notRunnable(*executable), bundlePath);
    }
    return *executable;
}

// The caller's environment, with the working folder that a shell records (PWD, OLDPWD) made to
// agree with the root folder the application starts in: it must not name the folder the installer
// was started from, such as its disk image.
std::vector<std::string> environmentForApplication() {
    std::vector<std::string> entries{"PWD=/"};
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string_view text = *entry;
        if (!text.starts_with("PWD=") && !text.starts_with("OLDPWD=")) {
            entries.emplace_back(text);
        }
    }
    return entries;
}

// What a failed exec of the bundle's program means for the user.
Refusal refusalFor(int errorNumber, const fs::path& executable) {
    switch (errorNumber) {
        case EACCES:
        case EPERM:
            return notRunnable(executable);
        case ENOEXEC:
            return Refusal::foreignProgram;
        case ENOENT:  // the program, or the interpreter it names, is gone
            return Refusal::damaged;
        default:
            return Refusal::other;
    }
}

// Starts the bundle's executable in a new session; returns its process identifier or throws.
pid_t spawnDetached(const fs::path& bundle, const fs::path& executable) {
    SpawnSettings settings;
    for (const int descriptor : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        posix_spawn_file_actions_addopen(&settings.actions, descriptor, "/dev/null",
                                         descriptor == STDIN_FILENO ? O_RDONLY : O_WRONLY, 0);
    }
    posix_spawn_file_actions_addclosefrom_np(&settings.actions, STDERR_FILENO + 1);
    // A working folder on the installer's disk image would keep that image from being ejected.
    posix_spawn_file_actions_addchdir_np(&settings.actions, "/");

    sigset_t noSignals;
    sigemptyset(&noSignals);
    sigset_t allSignals;
    sigfillset(&allSignals);
    posix_spawnattr_setsigmask(&settings.attributes, &noSignals);
    posix_spawnattr_setsigdefault(&settings.attributes, &allSignals);
    posix_spawnattr_setflags(&settings.attributes,
                             POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    const std::string program = executable.string();
    char* const arguments[] = {const_cast<char*>(program.c_str()), nullptr};
    std::vector<std::string> environment = environmentForApplication();
    std::vector<char*> environmentPointers;
    for (std::string& entry : environment) {
        environmentPointers.push_back(entry.data());
    }
    environmentPointers.push_back(nullptr);
    pid_t pid = 0;
    // The C library reports a failed exec here, with its errno.
    const int error = ::posix_spawn(&pid, program.c_str(), &settings.actions, &settings.attributes,
                                    arguments, environmentPointers.data());
    if (error != 0) {
        throw startFailure(bundle, executable, error);
    }
    return pid;
}

// The started application stays our child until it ends; collecting its exit status keeps it from
// lingering as a zombie. The waiting thread ends with it, or with the installer.
void reapWhenItEnds(pid_t pid) {
    std::thread([pid] { std::ignore = ::waitpid(pid, nullptr, 0); }).detach();
}

}  // namespace

LaunchError startFailure(const fs::path& bundle, const fs::path& executable, int errorNumber) {
    return LaunchError(sentence(refusalFor(errorNumber, executable), bundle, errorNumber));
}

QFuture<void> openApplication(fs::path bundle, OpenConfiguration configuration) {
    // Window managers raise a newly mapped window themselves, so `activates` needs no request of
    // its own here.
    std::ignore = configuration;
    return QtConcurrent::run(
        [](QPromise<void>& promise, const fs::path& bundlePath) {
            try {
                reapWhenItEnds(spawnDetached(bundlePath, executableOf(bundlePath)));
            } catch (...) {
                promise.setException(std::current_exception());
            }
        },
        std::move(bundle));
}
