#include <QCoreApplication>
#include <QTemporaryDir>
#include <QtTest>
#include <filesystem>

#include "application_bundle.h"
#include "bundle.h"
#include "bundle_factory.h"
#include "temp_home.h"

namespace fs = std::filesystem;
using namespace testsupport;

using OptionalText = std::optional<std::string>;
Q_DECLARE_METATYPE(OptionalText)

namespace {

// Replaces Info.plist with the given bytes.
void overwriteInfoPlist(const fs::path& bundle, const std::string& bytes) {
    writeFile(bundle / "Contents" / "Info.plist", bytes);
}

}  // namespace

class BundleTest : public QObject {
    Q_OBJECT

private slots:
    void readsInfoPlist_data() {
        QTest::addColumn<QString>("variant");
        QTest::addColumn<OptionalText>("identifier");
        QTest::addColumn<bool>("hasExecutable");

        const OptionalText app{std::string(applicationBundleIdentifier)};
        QTest::newRow("xml") << "xml" << app << true;
        QTest::newRow("binary") << "binary" << app << true;
        QTest::newRow("no identifier") << "no identifier" << OptionalText{} << true;
        QTest::newRow("no executable key") << "no executable key" << app << false;
        QTest::newRow("executable file missing") << "executable file missing" << app << false;
        QTest::newRow("executable name escapes") << "executable name escapes" << app << false;
        QTest::newRow("no Info.plist") << "no plist" << OptionalText{} << false;
        QTest::newRow("empty Info.plist") << "empty" << OptionalText{} << false;
        QTest::newRow("malformed xml") << "malformed xml" << OptionalText{} << false;
        QTest::newRow("truncated binary") << "truncated binary" << OptionalText{} << false;
        QTest::newRow("garbage") << "garbage" << OptionalText{} << false;
        QTest::newRow("array at the root") << "array" << OptionalText{} << false;
        QTest::newRow("identifier not a string") << "identifier number" << OptionalText{} << true;
        QTest::newRow("huge Info.plist") << "huge" << OptionalText{} << false;
        QTest::newRow("Info.plist is a link") << "plist link" << OptionalText{} << false;
    }

    void readsInfoPlist() {
        QFETCH(QString, variant);
        QFETCH(OptionalText, identifier);
        QFETCH(bool, hasExecutable);

        QTemporaryDir dir;
        const fs::path bundle = pathOf(dir) / "Vantorel.app";
        BundleSpec spec;
        if (variant == "binary") {
            spec.format = PlistFormat::binary;
        } else if (variant == "no identifier") {
            spec.identifier.reset();
        } else if (variant == "no executable key") {
            spec.executableName.reset();
        } else if (variant == "executable file missing") {
            spec.writeExecutable = false;
        }
        makeBundle(bundle, spec);

        const std::string xmlHead =
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n";
        if (variant == "executable name escapes") {
            writeFile(bundle / "Contents" / "evil", "#!/bin/sh\n", fs::perms(0755));
            writeInfoPlist(bundle, {.executableName = "../evil"});
        } else if (variant == "no plist") {
            fs::remove(bundle / "Contents" / "Info.plist");
        } else if (variant == "empty") {
            overwriteInfoPlist(bundle, "");
        } else if (variant == "malformed xml") {
            overwriteInfoPlist(bundle, xmlHead + "<dict><key>CFBundleIdentifier</key><string>pl.");
        } else if (variant == "truncated binary") {
            writeInfoPlist(bundle, {.format = PlistFormat::binary});
            const std::string binary = readFile(bundle / "Contents" / "Info.plist");
            overwriteInfoPlist(bundle, binary.substr(0, binary.size() / 2));
        } else if (variant == "garbage") {
            std::string noise(4096, '\0');
            for (size_t i = 0; i < noise.size(); ++i) {
                noise[i] = static_cast<char>((i * 131 + 7) % 256);
            }
            overwriteInfoPlist(bundle, "bplist00" + noise);
        } else if (variant == "array") {
            overwriteInfoPlist(bundle, xmlHead + "<array><string>x</string></array></plist>\n");
        } else if (variant == "identifier number") {
            overwriteInfoPlist(bundle, xmlHead +
                                           "<dict><key>CFBundleIdentifier</key><integer>7</integer>"
                                           "<key>CFBundleExecutable</key><string>Vantorel</string>"
                                           "</dict></plist>\n");
        } else if (variant == "huge") {
            std::string padding(2 << 20, ' ');
            overwriteInfoPlist(bundle, xmlHead + "<dict><key>CFBundleIdentifier</key><string>" +
                                           std::string(applicationBundleIdentifier) + "</string>" +
                                           padding + "</dict></plist>\n");
        } else if (variant == "plist link") {
            writeInfoPlist(pathOf(dir) / "Elsewhere.app", {});
            fs::remove(bundle / "Contents" / "Info.plist");
            fs::create_symlink(pathOf(dir) / "Elsewhere.app" / "Contents" / "Info.plist",
                               bundle / "Contents" / "Info.plist");
        }

        const auto opened = Bundle::open(bundle);
        QVERIFY(opened.has_value());
        QCOMPARE(opened->bundleIdentifier(), identifier);
        QCOMPARE(opened->executableURL().has_value(), hasExecutable);
        if (hasExecutable) {
            QCOMPARE(*opened->executableURL(), bundle / "Contents" / "MacOS" / "Vantorel");
        }
    }

    void opensOnlyFolders() {
        QTemporaryDir dir;
        const fs::path root = pathOf(dir);
        const fs::path bundle = makeBundle(root / "Vantorel.app");
        fs::create_symlink(bundle, root / "link.app");
        writeFile(root / "file.app", "x");
        QVERIFY(Bundle::open(bundle).has_value());
        QVERIFY(!Bundle::open(root / "link.app").has_value());
        QVERIFY(!Bundle::open(root / "file.app").has_value());
        QVERIFY(!Bundle::open(root / "missing.app").has_value());
    }

    void applicationBundleTest_data() {
        QTest::addColumn<QString>("item");
        QTest::addColumn<bool>("passes");
        QTest::newRow("the application") << "app" << true;
        QTest::newRow("another identifier") << "other" << false;
        QTest::newRow("no identifier") << "no identifier" << false;
        QTest::newRow("identifier differs in case") << "case" << false;
        QTest::newRow("link to the application") << "link" << false;
        QTest::newRow("plain file") << "file" << false;
        QTest::newRow("folder without Info.plist") << "folder" << false;
        QTest::newRow("nothing") << "nothing" << false;
    }

    void applicationBundleTest() {
        QFETCH(QString, item);
        QFETCH(bool, passes);
        QTemporaryDir dir;
        const fs::path root = pathOf(dir);
        const fs::path location = root / "Candidate.app";
        if (item == "app") {
            makeBundle(location);
        } else if (item == "other") {
            makeBundle(location, {.identifier = "com.example.other"});
        } else if (item == "no identifier") {
            makeBundle(location, {.identifier = std::nullopt});
        } else if (item == "case") {
            QString upper = QString::fromUtf8(applicationBundleIdentifier.data(),
                                              qsizetype(applicationBundleIdentifier.size()))
                                .toUpper();
            makeBundle(location, {.identifier = upper.toStdString()});
        } else if (item == "link") {
            fs::create_symlink(makeBundle(root / "Real.app"), location);
        } else if (item == "file") {
            writeFile(location, "x");
        } else if (item == "folder") {
            fs::create_directories(location / "Contents");
        }
        QCOMPARE(isApplicationBundle(location), passes);
    }

    void mainResourceFolderOutsideABundle() {
        // Test executables are not inside a bundle: their own folder is the resource folder.
        QCOMPARE(Bundle::mainResourceURL(),
                 std::optional<fs::path>(QCoreApplication::applicationDirPath().toStdString()));
    }
};

QTEST_GUILESS_MAIN(BundleTest)
#include "tst_bundle.moc"
