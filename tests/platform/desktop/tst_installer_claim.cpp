#include <sys/socket.h>
#include <sys/un.h>

#include <QtConcurrent/QtConcurrentRun>
#include <QtTest>

#include "installer_claim.h"
#include "temp_home.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace testsupport;

namespace {

const std::string name = "pl.vantorel.test.installer";

// What the installer that holds the claim does while a later start asks it to come to the front.
enum class Running { serves, holdsWithoutServing, endsMeanwhile };

// A socket file at `path` that nothing listens on any more, as a killed installer leaves it.
void leaveDeadSocket(const fs::path& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{.sun_family = AF_UNIX, .sun_path = {}};
    path.native().copy(address.sun_path, sizeof(address.sun_path) - 1);
    QCOMPARE(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ::close(fd);
}

}  // namespace

Q_DECLARE_METATYPE(Running)

class InstallerClaimTest : public QObject {
    Q_OBJECT

private slots:
    // The lock is per open file, so a second claim in this process stands for a second start. A
    // folder that cannot hold the lock file is a failure that names the file and why, not a
    // claim held elsewhere.
    void oneClaimAtATime() {
        QTemporaryDir dir;
        std::optional<InstallerClaim> first = InstallerClaim::take(pathOf(dir), name);
        QVERIFY(first);
        QVERIFY(!InstallerClaim::take(pathOf(dir), name));
        first.reset();
        QVERIFY(InstallerClaim::take(pathOf(dir), name));
        try {
            std::ignore = InstallerClaim::take(pathOf(dir) / "missing", name);
            QFAIL("claimed in a folder that does not exist");
        } catch (const ClaimError& error) {
            const QString text = QString::fromUtf8(error.what());
            QVERIFY2(text.contains(QString::fromStdString(name) + ".lock”") &&
                         text.endsWith(QString::fromLocal8Bit(std::strerror(ENOENT)) + "."),
                     error.what());
        }
    }

    // A later start hands over to a running installer that serves (past a socket that a killed one
    // left), waits no longer than its bound for one that does not answer, and takes the claim
    // itself when the running one ends while it waits.
    void laterStart_data() {
        QTest::addColumn<Running>("running");
        QTest::addColumn<bool>("claims");
        QTest::addColumn<int>("broughtToFront");
        QTest::newRow("serves") << Running::serves << false << 1;
        QTest::newRow("holds without serving") << Running::holdsWithoutServing << false << 0;
        QTest::newRow("ends meanwhile") << Running::endsMeanwhile << true << 0;
    }
    void laterStart() {
        QFETCH(Running, running);
        QTemporaryDir dir;
        const fs::path folder = pathOf(dir);
        leaveDeadSocket(folder / (name + ".socket"));
        std::optional<InstallerClaim> first = InstallerClaim::take(folder, name);
        QVERIFY(first);
        QObject owner;
        int broughtToFront = 0;
        if (running == Running::serves) {
            QVERIFY(first->serve(owner, [&] { ++broughtToFront; }));
        }
        const auto bound = running == Running::holdsWithoutServing ? 300ms : 20s;
        QFuture<bool> later = QtConcurrent::run(
            [folder, bound] { return claimOrHandOver(folder, name, bound).has_value(); });
        if (running == Running::endsMeanwhile) {
            first.reset();
        }
        QTRY_VERIFY_WITH_TIMEOUT(later.isFinished(), 20000);
        QTEST(later.result(), "claims");
        QTEST(broughtToFront, "broughtToFront");
    }
};

QTEST_GUILESS_MAIN(InstallerClaimTest)
#include "tst_installer_claim.moc"
