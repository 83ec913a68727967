#include <sys/stat.h>

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <filesystem>

#include "bundle_factory.h"
#include "temp_home.h"

namespace fs = std::filesystem;
using namespace testsupport;

namespace {

struct Run {
    int exitCode = -1;
    QString out;
    QString err;
};

Run bundleSign(const QStringList& arguments, const fs::path& workingFolder) {
    QProcess process;
    process.setWorkingDirectory(QString::fromStdString(workingFolder.native()));
    process.start(BUNDLE_SIGN, arguments);
    process.waitForFinished(60000);
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            QString::fromUtf8(process.readAllStandardOutput()),
            QString::fromUtf8(process.readAllStandardError())};
}

}  // namespace

// The command line of bundle-sign: exit codes, "valid", and one line for every failure.
class BundleSignTest : public QObject {
    Q_OBJECT

private slots:
    void commandLine_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("output");  // stdout for 0, a part of the stderr line otherwise

        QTest::newRow("help") << QStringList{"--help"} << 0 << "Usage:";
        QTest::newRow("no command") << QStringList{} << 2 << "no command";
        QTest::newRow("unknown command") << QStringList{"frobnicate"} << 2 << "unknown command";
        QTest::newRow("verify without a bundle") << QStringList{"verify"} << 2 << "verify takes";
        QTest::newRow("sign without a key") << QStringList{"sign", "Signed.app"} << 2 << "--key";
        QTest::newRow("verify signed") << QStringList{"verify", "Signed.app"} << 0 << "valid\n";
        QTest::newRow("verify tampered") << QStringList{"verify", "Tampered.app"} << 1
                                         << "\"Contents/Resources/marker.txt\" changed in content";
        QTest::newRow("sign a file")
            << QStringList{"sign", "--key", "key.pem", "key.pem"} << 1 << "not a folder";
        QTest::newRow("sign with a malformed key")
            << QStringList{"sign", "--key", "Signed.app/Contents/Info.plist", "Unsigned.app"} << 1
            << "not a private key";
        QTest::newRow("sign a special file")
            << QStringList{"sign", "--key", "key.pem", "Fifo.app"} << 1 << "special file";
        QTest::newRow("keygen over a file")
            << QStringList{"keygen", "key.pem"} << 1 << "File exists";
        QTest::newRow("sign") << QStringList{"sign", "--key", "key.pem", "Unsigned.app"} << 0 << "";
    }

    void commandLine() {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QString, output);
        QTemporaryDir dir;
        const fs::path root = pathOf(dir);
        QCOMPARE(bundleSign({"keygen", "key.pem"}, root).exitCode, 0);
        makeBundle(root / "Signed.app");
        makeBundle(root / "Tampered.app");
        makeBundle(root / "Unsigned.app");
        makeBundle(root / "Fifo.app");
        QCOMPARE(::mkfifo((root / "Fifo.app" / "Contents" / "pipe").c_str(), 0644), 0);
        QCOMPARE(bundleSign({"sign", "--key", "key.pem", "Signed.app"}, root).exitCode, 0);
        QCOMPARE(bundleSign({"sign", "--key", "key.pem", "Tampered.app"}, root).exitCode, 0);
        writeFile(root / "Tampered.app" / "Contents" / "Resources" / "marker.txt", "PAYLOAD");

        const Run run = bundleSign(arguments, root);
        QCOMPARE(run.exitCode, exitCode);
        if (exitCode == 0) {
            QCOMPARE(run.out.left(output.size()), output);
            QVERIFY(run.err.isEmpty());
            if (arguments.first() == "sign") {
                QCOMPARE(bundleSign({"verify", arguments.last()}, root).out, "valid\n");
            }
        } else {
            QVERIFY(run.out.isEmpty());
            QVERIFY2(run.err.contains(output), qPrintable(run.err));
            QVERIFY2(run.err.startsWith("bundle-sign: ") && run.err.count('\n') == 1,
                     qPrintable(run.err));
        }
    }
};

QTEST_GUILESS_MAIN(BundleSignTest)
#include "tst_bundle_sign.moc"
