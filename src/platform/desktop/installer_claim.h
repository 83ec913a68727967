#pragma once

// One installer at a time per user. The running installer holds an exclusive lock on
// <folder>/<name>.lock, which the system releases when the process ends, however it ends, and
// listens on the local socket <folder>/<name>.socket. A later start finds the lock taken,
// connects, and the running installer brings its window to the front; the later start then ends
// without having touched anything else. The folder is the user's runtime folder.

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>

#include "file_handles.h"

class QObject;

// The lock file cannot be made or locked; the text is one readable sentence.
class ClaimError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The claim of being the user's running installer, held as long as this object lives.
class InstallerClaim {
public:
    // Tries once: absent when a living process holds the claim. Throws ClaimError when the folder
    // cannot hold the lock file.
    static std::optional<InstallerClaim> take(const std::filesystem::path& folder,
                                              const std::string& name);

    InstallerClaim(InstallerClaim&&) noexcept;
    InstallerClaim& operator=(InstallerClaim&&) noexcept;
    ~InstallerClaim();

    // From now on, as long as `owner` lives, each later start that connects makes `bringToFront`
    // run on the event loop of owner's thread. A socket left by an installer that was killed is
    // replaced. False when nothing can listen there (later starts then wait out their bound).
    bool serve(QObject& owner, std::function<void()> bringToFront);

private:
    InstallerClaim(FileDescriptor lock, std::filesystem::path socket);

    FileDescriptor lock_;
    std::filesystem::path socket_;
};

// The user's runtime folder: XDG_RUNTIME_DIR, or the private folder Qt makes when it is unset.
// Throws ClaimError when there is none to be had.
std::filesystem::path userRuntimeFolder();

// Claims, or hands over to the running installer: the claim when this process is now the running
// installer; absent once the running one was asked to come to the front, or did not answer within
// `bound`. A running installer that ends meanwhile leaves the claim to this process. Throws
// ClaimError as InstallerClaim::take does.
std::optional<InstallerClaim> claimOrHandOver(const std::filesystem::path& folder,
                                              const std::string& name,
                                              std::chrono::milliseconds bound);
