#pragma once

#include <QFuture>
#include <filesystem>
#include <stdexcept>
#include <string>

// How an application is to be started.
struct OpenConfiguration {
    // Bring the application to the front once it is running.
    bool activates = false;
};

// An application could not be started; the text is one readable sentence.
class LaunchError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Starts the application bundle's executable as a new process of its own: in its own session,
// with the root folder as its working folder and its standard input and output on the null
// device, so that it outlives the caller and holds nothing of it. The future finishes exactly
// once: normally when the process was started, or with a LaunchError that says why not (no
// bundle, a damaged one, a program that this user or its file system may not run, or another
// refusal of the system), written to follow "could not be started:" and naming at most the folder
// that holds the bundle.
QFuture<void> openApplication(std::filesystem::path bundle, OpenConfiguration configuration);

// The error that openApplication reports when the system refused, with `errorNumber`, to start
// `executable`, the program of `bundle`.
LaunchError startFailure(const std::filesystem::path& bundle,
                         const std::filesystem::path& executable, int errorNumber);
