#include <fcntl.h>
#include <unistd.h>

#include <QTemporaryDir>
#include <QtTest>
#include <filesystem>

#include "fake_services.h"
#include "installer_view.h"
#include "temp_home.h"
#include "tool_recorder.h"

namespace fs = std::filesystem;
using namespace testsupport;

namespace {

// Runs `work` with this process's standard output and error sent to `file`, then restores them.
template <typename Work>
void withOutputInto(const fs::path& file, Work work) {
    std::fflush(stdout);
    std::fflush(stderr);
    const int sink = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int savedOut = ::dup(STDOUT_FILENO);
    const int savedErr = ::dup(STDERR_FILENO);
    ::dup2(sink, STDOUT_FILENO);
    ::dup2(sink, STDERR_FILENO);
    work();
    std::fflush(stdout);
    std::fflush(stderr);
    ::dup2(savedOut, STDOUT_FILENO);
    ::dup2(savedErr, STDERR_FILENO);
    ::close(savedOut);
    ::close(savedErr);
    ::close(sink);
}

}  // namespace

class UnregistrationTest : public QObject {
    Q_OBJECT

private slots:
    void passesThePathAsOneArgument_data() {
        QTest::addColumn<QString>("name");
        QTest::newRow("plain") << "Vantorel.app";
        QTest::newRow("spaces") << "Moje programy/Stary Vantorel.app";
        QTest::newRow("non-ASCII") << "Zażółć gęślą jaźń/Vantorel ✓.app";
        QTest::newRow("shell characters") << "$HOME `x` 'a' \"b\" *;&.app";
        QTest::newRow("leading dash") << "-u/.Vantorel-previous-1.app";
    }

    void passesThePathAsOneArgument() {
        QFETCH(QString, name);
        QTemporaryDir dir;
        const auto services = std::make_shared<FakeServices>();
        const RecordingTool recorder(pathOf(dir));
        services->tool = recorder.tool;
        const fs::path bundle = pathOf(dir) / name.toStdString();
        fs::create_directories(bundle);
        InstallerView view(services);

        const fs::path output = pathOf(dir) / "installer-output";
        withOutputInto(output, [&] { view.wyrejestrujZSystemu(bundle); });

        QCOMPARE(recorder.runs(), QStringList{"-u|" + QString::fromStdString(bundle.string())});
        // The tool's complaints never reach the installer's own output.
        QCOMPARE(QString::fromStdString(readFile(output)), QString());
    }

    void startsNothingWithoutAnExecutableTool_data() {
        QTest::addColumn<QString>("tool");
        QTest::newRow("missing") << "missing";
        QTest::newRow("not executable") << "not executable";
        QTest::newRow("a folder") << "folder";
    }

    void startsNothingWithoutAnExecutableTool() {
        QFETCH(QString, tool);
        QTemporaryDir dir;
        const auto services = std::make_shared<FakeServices>();
        const RecordingTool recorder(pathOf(dir));
        if (tool == "missing") {
            services->tool = pathOf(dir) / "nothing-here";
        } else if (tool == "not executable") {
            fs::permissions(recorder.tool, fs::perms(0644));
            services->tool = recorder.tool;
        } else {
            services->tool = recorder.tool.parent_path();
        }
        InstallerView view(services);
        view.wyrejestrujZSystemu(pathOf(dir) / "Vantorel.app");
        QCOMPARE(recorder.runs(), QStringList());
    }
};

QTEST_GUILESS_MAIN(UnregistrationTest)
#include "tst_unregistration.moc"
