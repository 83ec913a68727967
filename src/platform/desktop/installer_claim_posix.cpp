#include "installer_claim.h"

#include <fcntl.h>
#include <sys/file.h>

#include <QLocalServer>
#include <QLocalSocket>
#include <QStandardPaths>
#include <cerrno>
#include <thread>
#include <tuple>

#include "file_error.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

// The running installer's answer to a later start, once its window was brought to the front.
constexpr char broughtToFront = '1';

fs::path socketIn(const fs::path& folder, const std::string& name) {
    return folder / (name + ".socket");
}

int millisecondsUntil(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return int(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
}

[[noreturn]] void throwClaimError(const fs::path& lockFile, int errorNumber) {
    throw ClaimError("Nie można sprawdzić, czy instalator już działa: plik " +
                     files::quoted(lockFile) +
                     " jest niedostępny: " + files::systemReason(errorNumber) + ".");
}

// Connects to the running installer and waits, until `deadline`, for its answer. False when
// nothing listens at the socket (yet).
bool askToComeToFront(const fs::path& socket, Clock::time_point deadline) {
    QLocalSocket connection;
    connection.connectToServer(QString::fromStdString(socket.string()));
    if (!connection.waitForConnected(millisecondsUntil(deadline))) {
        return false;
    }
    // An installer that hangs is not waited for beyond the bound.
    std::ignore = connection.waitForReadyRead(millisecondsUntil(deadline));
    return true;
}

}  // namespace

InstallerClaim::InstallerClaim(FileDescriptor lock, fs::path socket)
    : lock_(std::move(lock)), socket_(std::move(socket)) {}
InstallerClaim::InstallerClaim(InstallerClaim&&) noexcept = default;
InstallerClaim& InstallerClaim::operator=(InstallerClaim&&) noexcept = default;
InstallerClaim::~InstallerClaim() = default;

std::optional<InstallerClaim> InstallerClaim::take(const fs::path& folder,
                                                   const std::string& name) {
    const fs::path lockFile = folder / (name + ".lock");
    // The file stays: removing it could let two starts lock two different files of that name.
    FileDescriptor lock(::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!lock.valid()) {
        throwClaimError(lockFile, errno);
    }
    while (::flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) {
            return std::nullopt;
        }
        if (errno != EINTR) {
            throwClaimError(lockFile, errno);
        }
    }
    return InstallerClaim(std::move(lock), socketIn(folder, name));
}

bool InstallerClaim::serve(QObject& owner, std::function<void()> bringToFront) {
    // Closed, and its socket removed, with its owner.
    auto* server = new QLocalServer(&owner);
    server->setSocketOptions(QLocalServer::UserAccessOption);
    const QString socket = QString::fromStdString(socket_.string());
    // While this process holds the lock nobody else listens there: a socket found is one that a
    // killed installer left.
    std::ignore = QLocalServer::removeServer(socket);
    if (!server->listen(socket)) {
        delete server;
        return false;
    }
    QObject::connect(server, &QLocalServer::newConnection, server,
                     [server, bringToFront = std::move(bringToFront)] {
                         while (QLocalSocket* later = server->nextPendingConnection()) {
                             bringToFront();
                             QObject::connect(later, &QLocalSocket::disconnected, later,
                                              &QObject::deleteLater);
                             later->write(&broughtToFront, 1);
                             later->disconnectFromServer();  // once the answer is written
                         }
                     });
    return true;
}

fs::path userRuntimeFolder() {
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (folder.isEmpty()) {
        throw ClaimError(
            "Nie można sprawdzić, czy instalator już działa: brak folderu roboczego użytkownika "
            "(XDG_RUNTIME_DIR).");
    }
    return fs::path(folder.toStdString());
}

std::optional<InstallerClaim> claimOrHandOver(const fs::path& folder, const std::string& name,
                                              std::chrono::milliseconds bound) {
    const Clock::time_point deadline = Clock::now() + bound;
    for (;;) {
        if (std::optional<InstallerClaim> claim = InstallerClaim::take(folder, name)) {
            return claim;
        }
        if (askToComeToFront(socketIn(folder, name), deadline) || Clock::now() >= deadline) {
            return std::nullopt;
        }
        // The running installer has not begun to listen yet, or has just ended.
        std::this_thread::sleep_for(50ms);
    }
}
