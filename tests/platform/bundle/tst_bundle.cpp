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

// The Info.plist that makeBundle writes for `layout`.
std::string infoPlist(const BundleSpec& layout) {
    QTemporaryDir dir;
    writeInfoPlist(pathOf(dir), layout);
    return readFile(pathOf(dir) / "Contents" / "Info.plist");
}

}  // namespace

class BundleTest : public QObject {
    Q_OBJECT

private slots:
    void readsInfoPlist_data() {
        QTest::addColumn<OptionalText>("plist");  // nothing: no Info.plist at all
        QTest::addColumn<bool>("hasIdentifier");
        QTest::addColumn<bool>("hasExecutable");
        const std::string xml = infoPlist({});
        const std::string binary = infoPlist({.format = PlistFormat::binary});
        const std::string head = "<?xml version=\"1.0\"?>\n<plist version=\"1.0\">\n";
        std::string huge = xml;
        huge.insert(huge.find("</dict>"), std::string(2 << 20, ' '));
        const auto row = [](const char* name, const OptionalText& plist, bool id, bool exe) {
            QTest::newRow(name) << plist << id << exe;
        };
        row("xml", xml, true, true);
        row("binary", binary, true, true);
        row("executable name escapes", infoPlist({.executableName = "../evil"}), true, false);
        row("no Info.plist", std::nullopt, false, false);
        row("empty", "", false, false);
        row("malformed xml", head + "<dict><key>CFBundleIdentifier</key><string>pl.", false, false);
        row("truncated binary", binary.substr(0, binary.size() / 2), false, false);
        row("array at the root", head + "<array><string>x</string></array></plist>\n", false,
            false);
        row("identifier not a string",
            head +
                "<dict><key>CFBundleIdentifier</key><integer>7</integer>"
                "<key>CFBundleExecutable</key><string>Vantorel</string></dict></plist>\n",
            false, true);
        row("huge", huge, false, false);
    }

    void readsInfoPlist() {
        QFETCH(OptionalText, plist);
        QFETCH(bool, hasIdentifier);
        QFETCH(bool, hasExecutable);
        QTemporaryDir dir;
        const fs::path bundle = makeBundle(pathOf(dir) / "Vantorel.app");
        writeFile(bundle / "Contents" / "evil", "#!/bin/sh\n", fs::perms(0755));
        fs::remove(bundle / "Contents" / "Info.plist");
        if (plist) {
            writeFile(bundle / "Contents" / "Info.plist", *plist);
        }
        const auto opened = Bundle::open(bundle);
        QVERIFY(opened.has_value());
        QCOMPARE(opened->bundleIdentifier().has_value(), hasIdentifier);
        QCOMPARE(opened->executableURL().has_value(), hasExecutable);
        QCOMPARE(isApplicationBundle(bundle), hasIdentifier);
    }

    // The application's identifier is compared exactly.
    void applicationBundleNeedsTheExactIdentifier() {
        QTemporaryDir dir;
        const auto identifier = QString::fromStdString(std::string(applicationBundleIdentifier));
        for (const QString& other : {identifier.toUpper(), identifier + ".installer"}) {
            const fs::path bundle = pathOf(dir) / (other.toStdString() + ".app");
            QVERIFY(!isApplicationBundle(makeBundle(bundle, {.identifier = other.toStdString()})));
        }
    }

    // Neither a bundle that is a link nor an Info.plist that is one is followed.
    void linksAreNotFollowed() {
        QTemporaryDir dir;
        const fs::path root = pathOf(dir);
        const fs::path bundle = makeBundle(root / "Vantorel.app");
        fs::create_symlink(bundle, root / "link.app");
        QVERIFY(Bundle::open(bundle).has_value());
        // A trailing slash would make the system follow the link; it must not here.
        for (const char* link : {"link.app", "link.app/"}) {
            QVERIFY(!Bundle::open(root / link).has_value());
            QVERIFY(!isApplicationBundle(root / link));
        }
        const fs::path linked = makeBundle(root / "Linked.app");
        fs::remove(linked / "Contents" / "Info.plist");
        fs::create_symlink(bundle / "Contents" / "Info.plist", linked / "Contents" / "Info.plist");
        QVERIFY(!Bundle::open(linked)->bundleIdentifier().has_value());
    }
};

QTEST_GUILESS_MAIN(BundleTest)
#include "tst_bundle.moc"
