#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <filesystem>
#include <tuple>

#include "bundle_factory.h"
#include "temp_home.h"

namespace fs = std::filesystem;
using namespace testsupport;

namespace {

// The exit code (-1 for a crash), standard output and standard error of a run in `folder`.
std::tuple<int, QString, QString> bundleSign(const QStringList& arguments, const fs::path& folder) {
    QProcess process;
    process.setWorkingDirectory(QString::fromStdString(folder.native()));
    process.start(BUNDLE_SIGN, arguments);
    process.waitForFinished(60000);
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            QString::fromUtf8(process.readAllStandardOutput()),
            QString::fromUtf8(process.readAllStandardError())};
}

void addRow(const char* name, const QStringList& arguments, int exitCode, const char* output) {
    QTest::newRow(name) << arguments << exitCode << QString::fromUtf8(output);
}

}  // namespace

// The command line of bundle-sign: exit codes, "valid", and one line for every failure. What
// signing and checking find is the signature tests' business.
class BundleSignTest : public QObject {
    Q_OBJECT

private slots:
    void commandLine_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("output");  // stdout for 0, a part of the stderr line otherwise
        addRow("unknown command", {"frobnicate"}, 2, "unknown command");
        addRow("sign without a key", {"sign", "Signed.app"}, 2, "--key");
        addRow("verify signed", {"verify", "Signed.app"}, 0, "valid\n");
        addRow("verify tampered", {"verify", "Tampered.app"}, 1,
               "\"Contents/Resources/marker.txt\" changed in content");
        addRow("sign with a malformed key",
               {"sign", "--key", "Signed.app/Contents/Info.plist", "Unsigned.app"}, 1,
               "not a private key");
        addRow("keygen over a file", {"keygen", "key.pem"}, 1, "File exists");
        addRow("sign", {"sign", "--key", "key.pem", "Unsigned.app"}, 0, "");
    }

    void commandLine() {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QString, output);
        QTemporaryDir dir;
        const fs::path root = pathOf(dir);
        QCOMPARE(std::get<0>(bundleSign({"keygen", "key.pem"}, root)), 0);
        for (const char* name : {"Signed.app", "Tampered.app", "Unsigned.app"}) {
            makeBundle(root / name);
        }
        for (const char* name : {"Signed.app", "Tampered.app"}) {
            QCOMPARE(std::get<0>(bundleSign({"sign", "--key", "key.pem", name}, root)), 0);
        }
        writeFile(root / "Tampered.app" / "Contents" / "Resources" / "marker.txt", "PAYLOAD");

        const auto [code, out, err] = bundleSign(arguments, root);
        QCOMPARE(code, exitCode);
        if (exitCode == 0) {
            QCOMPARE(out.left(output.size()), output);
            QVERIFY(err.isEmpty());
            if (arguments.first() == "sign") {
                QCOMPARE(std::get<1>(bundleSign({"verify", arguments.last()}, root)), "valid\n");
            }
        } else {
            QVERIFY(out.isEmpty());
            QVERIFY2(
                err.startsWith("bundle-sign: ") && err.contains(output) && err.count('\n') == 1,
                qPrintable(err));
        }
    }
};

QTEST_GUILESS_MAIN(BundleSignTest)
#include "tst_bundle_sign.moc"
