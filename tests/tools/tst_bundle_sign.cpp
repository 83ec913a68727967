#include <QtTest>

#include "bundle_factory.h"
#include "temp_home.h"

namespace fs = std::filesystem;
using namespace testsupport;

// The exit code (-1 for a crash) and what a run in `folder` wrote: standard output, then error.
static std::tuple<int, QString, QString> bundleSign(const QStringList& arguments,
                                                    const fs::path& folder) {
    QProcess process;
    process.setWorkingDirectory(QString::fromStdString(folder.native()));
    process.start(BUNDLE_SIGN, arguments);
    process.waitForFinished(60000);
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            QString::fromUtf8(process.readAllStandardOutput()),
            QString::fromUtf8(process.readAllStandardError())};
}

// The command line of bundle-sign: exit codes, "valid", and one line for every failure. What
// signing and checking find is the signature tests' business.
class BundleSignTest : public QObject {
    Q_OBJECT

private slots:
    void commandLine() {
        QTemporaryDir dir;
        const fs::path root = pathOf(dir);
        makeBundle(root / "Signed.app");
        makeBundle(root / "Unsigned.app");
        using Run = std::tuple<int, QString, QString>;
        QVERIFY(bundleSign({"keygen", "key.pem"}, root) == Run(0, "", ""));
        QVERIFY(bundleSign({"sign", "--key", "key.pem", "Signed.app"}, root) == Run(0, "", ""));
        QVERIFY(bundleSign({"verify", "Signed.app"}, root) == Run(0, "valid\n", ""));
        writeFile(root / "Signed.app/Contents/Resources/marker.txt", "PAYLOAD");
        const std::tuple<QStringList, int, const char*> failures[] = {
            {{"frobnicate"}, 2, "unknown command"},
            {{"sign", "Unsigned.app"}, 2, "--key"},
            {{"verify", "Signed.app"}, 1, "\"Contents/Resources/marker.txt\" changed in content"},
            {{"sign", "--key", "Signed.app/Contents/Info.plist", "Unsigned.app"},
             1,
             "not a private key"},
            {{"keygen", "key.pem"}, 1, "File exists"}};
        for (const auto& [arguments, exitCode, reason] : failures) {
            const auto [code, out, err] = bundleSign(arguments, root);
            QVERIFY2(code == exitCode && out.isEmpty() && err.startsWith("bundle-sign: ") &&
                         err.contains(reason) && err.count('\n') == 1,
                     qPrintable(arguments.join(' ') + ": " + err));
        }
    }
};

QTEST_GUILESS_MAIN(BundleSignTest)
#include "tst_bundle_sign.moc"
