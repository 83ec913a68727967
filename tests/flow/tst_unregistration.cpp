#include <fcntl.h>
#include <unistd.h>

#include <QTemporaryDir>
#include <QtTest>

#include "fake_services.h"
#include "installer_view.h"
#include "temp_home.h"
#include "tool_recorder.h"

namespace fs = std::filesystem;
using namespace testsupport;

namespace {

// Runs `work` with this process's standard output and error sent to `file`.
template <typename Work>
void withOutputInto(const fs::path& file, Work work) {
    const int sink = ::open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    const int savedOut = ::dup(STDOUT_FILENO);
    const int savedErr = ::dup(STDERR_FILENO);
    ::dup2(sink, STDOUT_FILENO);
    ::dup2(sink, STDERR_FILENO);
    work();
    ::dup2(savedOut, STDOUT_FILENO);
    ::dup2(savedErr, STDERR_FILENO);
    for (const int descriptor : {savedOut, savedErr, sink}) {
        ::close(descriptor);
    }
}

QStringList listing(const fs::path& folder) {
    QStringList names;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        names << QString::fromStdString(entry.path().string());
    }
    names.sort();
    return names;
}

}  // namespace

class UnregistrationTest : public QObject {
    Q_OBJECT

private slots:
    void passesThePathAsOneArgument_data() {
        QTest::addColumn<QString>("name");
        QTest::newRow("spaces") << "Moje programy/Stary Vantorel.app";
        QTest::newRow("non-ASCII") << "Zażółć gęślą jaźń/Vantorel ✓.app";
        QTest::newRow("shell characters") << "$HOME `x` 'a' \"b\" *;&.app";
    }

    void passesThePathAsOneArgument() {
        QFETCH(QString, name);
        QTemporaryDir dir;
        const auto services = std::make_shared<FakeServices>();
        const RecordingTool recorder(pathOf(dir));
        services->tool = recorder.tool;
        const fs::path bundle = pathOf(dir) / name.toStdString();
        const fs::path output = pathOf(dir) / "installer-output";

        withOutputInto(output, [&] { InstallerView(services).wyrejestrujZSystemu(bundle); });
        QCOMPARE(recorder.runs(), QStringList{"-u|" + QString::fromStdString(bundle.string())});
        QCOMPARE(readFile(output), std::string());  // the tool's output went nowhere
    }

    void startsNothingWithoutAnExecutableTool() {
        QTemporaryDir dir;
        const auto services = std::make_shared<FakeServices>();
        const RecordingTool recorder(pathOf(dir));
        for (const fs::path& tool : {pathOf(dir) / "missing", recorder.tool}) {
            fs::permissions(recorder.tool, fs::perms(0644));
            services->tool = tool;
            InstallerView(services).wyrejestrujZSystemu(pathOf(dir) / "Vantorel.app");
        }
        QCOMPARE(recorder.runs(), QStringList());
    }

    void repairUnregistersOnlyCopiesInTheTrash_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("unregistered");
        QTest::newRow("own name") << "Vantorel.app"
                                  << "copy" << true;
        QTest::newRow("backup name") << ".Vantorel-previous-1F2E.app"
                                     << "copy" << true;
        QTest::newRow("former name") << "Tamblico.app"
                                     << "copy" << true;
        QTest::newRow("former name, numbered") << "Tamblico 2.app"
                                               << "copy" << true;
        QTest::newRow("own name, other case") << "vantorel.app"
                                              << "copy" << false;
        QTest::newRow("staging name") << ".Vantorel-install-1F2E.app"
                                      << "copy" << false;
        QTest::newRow("no .app ending") << "Tamblico"
                                        << "copy" << false;
        QTest::newRow(".app not at the end") << "Vantorel.app 2"
                                             << "copy" << false;
        QTest::newRow("link to a copy") << "Vantorel.app"
                                        << "link" << false;
        QTest::newRow("plain file") << "Vantorel.app"
                                    << "file" << false;
        QTest::newRow("folder, no bundle") << "Tamblico.app"
                                           << "folder" << false;
        QTest::newRow("other identifier") << "Vantorel.app"
                                          << "other" << false;
        QTest::newRow("copy in a subfolder") << "Old/Vantorel.app"
                                             << "copy" << false;
    }

    void repairUnregistersOnlyCopiesInTheTrash() {
        QFETCH(QString, name);
        QFETCH(QString, kind);
        QFETCH(bool, unregistered);
        TempHome home;
        QTemporaryDir scratch;
        const auto services = std::make_shared<FakeServices>();
        const RecordingTool recorder(pathOf(scratch));
        services->tool = recorder.tool;
        const fs::path entry = home.trashFiles() / name.toStdString();
        if (kind == "copy") {
            makeBundle(entry);
        } else if (kind == "link") {
            fs::create_symlink(makeBundle(pathOf(scratch) / "Vantorel.app"), entry);
        } else if (kind == "file") {
            writeFile(entry, "x");
        } else if (kind == "folder") {
            fs::create_directories(entry);
        } else if (kind == "other") {
            makeBundle(entry, {.identifier = "com.example.other"});
        }
        const QStringList before = listing(home.trashFiles());

        InstallerView(services).naprawKopiePoStarychAktualizacjach();
        const QString run = "-u|" + QString::fromStdString(entry.string());
        QCOMPARE(recorder.runs(), unregistered ? QStringList{run} : QStringList());
        QCOMPARE(listing(home.trashFiles()), before);  // nothing moved or deleted
    }
};

QTEST_GUILESS_MAIN(UnregistrationTest)
#include "tst_unregistration.moc"
