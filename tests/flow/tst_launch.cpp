#include <QTemporaryDir>
#include <QtTest>
#include <filesystem>

#include "fake_services.h"
#include "file_error.h"
#include "installer_view.h"
#include "runnable_bundle.h"
#include "temp_home.h"

namespace fs = std::filesystem;
using namespace testsupport;

class LaunchTest : public QObject {
    Q_OBJECT

private slots:
    void aMissingBundleThrowsAReadableSentence() {
        QTemporaryDir dir;
        InstallerView view;
        const fs::path bundle = pathOf(dir) / "Vantorel.app";
        try {
            runToEnd(view.launch(bundle));
            QFAIL("the launch did not fail");
        } catch (const LaunchError& error) {
            QCOMPARE(QString::fromUtf8(error.what()),
                     "Nie można otworzyć aplikacji " +
                         QString::fromStdString(files::quoted(bundle)) +
                         ": w tym miejscu nie ma pakietu aplikacji.");
        }
    }

    void startsATestBundle() {
        QTemporaryDir dir;
        const auto services = std::make_shared<FakeServices>();
        services->realOpen = true;
        services->runningIdentifier = uniqueBundleIdentifier("launch");
        const fs::path bundle =
            makeRunnableBundle(pathOf(dir) / "Vantorel.app", services->runningIdentifier);
        InstallerView view(services);

        // Each call asks for activation with a configuration of its own.
        runToEnd(view.launch(bundle));
        runToEnd(view.launch(bundle));
        QCOMPARE(services->opened.size(), size_t(2));
        for (const auto& [path, configuration] : services->opened) {
            QCOMPARE(path, bundle);
            QVERIFY(configuration.activates);
        }

        std::vector<RunningApplication> running;
        QTRY_COMPARE((running = services->runningApplications(applicationBundleIdentifier)).size(),
                     size_t(2));
        for (const auto& instance : running) {
            QVERIFY(instance.forceTerminate());
        }
        QTRY_VERIFY(services->runningApplications(applicationBundleIdentifier).empty());
    }
};

QTEST_GUILESS_MAIN(LaunchTest)
#include "tst_launch.moc"
