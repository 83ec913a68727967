#include <QTemporaryDir>
#include <QtTest>
#include <filesystem>

#include "application_bundle.h"
#include "bundle.h"
#include "bundle_factory.h"
#include "file_manager.h"
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

void addRow(const char* name, const OptionalText& plist, const OptionalText& identifier,
            bool hasExecutable) {
    QTest::newRow(name) << plist << identifier << hasExecutable;
}

}  // namespace

class BundleTest : public QObject {
    Q_OBJECT

private slots:
    void readsInfoPlist_data() {
        QTest::addColumn<OptionalText>("plist");  // nothing: no Info.plist at all
        QTest::addColumn<OptionalText>("identifier");
        QTest::addColumn<bool>("hasExecutable");
        const OptionalText app{std::string(applicationBundleIdentifier)};
        const OptionalText none;
        const std::string xml = infoPlist({});
        const std::string binary = infoPlist({.format = PlistFormat::binary});
        const std::string head =
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n";
        std::string huge = xml;
        huge.insert(huge.find("</dict>"), std::string(2 << 20, ' '));

        addRow("xml", xml, app, true);
        addRow("binary", binary, app, true);
        addRow("executable name escapes", infoPlist({.executableName = "../evil"}), app, false);
        addRow("no Info.plist", none, none, false);
        addRow("empty", "", none, false);
        addRow("malformed xml", head + "<dict><key>CFBundleIdentifier</key><string>pl.", none,
               false);
        addRow("truncated binary", binary.substr(0, binary.size() / 2), none, false);
        addRow("array at the root", head + "<array><string>x</string></array></plist>\n", none,
               false);
        addRow("identifier not a string",
               head +
                   "<dict><key>CFBundleIdentifier</key><integer>7</integer>"
                   "<key>CFBundleExecutable</key><string>Vantorel</string></dict></plist>\n",
               none, true);
        addRow("huge", huge, none, false);
    }

    void readsInfoPlist() {
        QFETCH(OptionalText, plist);
        QFETCH(OptionalText, identifier);
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
        QCOMPARE(opened->bundleIdentifier(), identifier);
        QCOMPARE(opened->executableURL(),
                 hasExecutable ? std::optional(bundle / "Contents" / "MacOS" / "Vantorel")
                               : std::nullopt);
    }

    // Neither a bundle that is a link nor an Info.plist that is one is followed.
    void linksAreNotFollowed() {
        QTemporaryDir dir;
        const fs::path root = pathOf(dir);
        const fs::path bundle = makeBundle(root / "Vantorel.app");
        fs::create_symlink(bundle, root / "link.app");
        QVERIFY(Bundle::open(bundle).has_value());
        QVERIFY(!Bundle::open(root / "link.app").has_value());
        // A trailing slash would make the system follow the link; it must not here.
        QVERIFY(!Bundle::open(root / "link.app/").has_value());
        QVERIFY(!isApplicationBundle(root / "link.app/"));
        QCOMPARE(files::resourceValues(root / "link.app/").isSymbolicLink, true);

        const fs::path linked = makeBundle(root / "Linked.app");
        fs::remove(linked / "Contents" / "Info.plist");
        fs::create_symlink(bundle / "Contents" / "Info.plist", linked / "Contents" / "Info.plist");
        QVERIFY(!Bundle::open(linked)->bundleIdentifier().has_value());
    }

    // Only the exact identifier makes the application; links, files and other folders are
    // covered where the engine meets them.
    void applicationBundleNeedsTheExactIdentifier() {
        QTemporaryDir dir;
        const std::string identifier(applicationBundleIdentifier);
        const QString upper = QString::fromStdString(identifier).toUpper();
        QVERIFY(isApplicationBundle(makeBundle(pathOf(dir) / "A.app")));
        QVERIFY(!isApplicationBundle(
            makeBundle(pathOf(dir) / "B.app", {.identifier = upper.toStdString()})));
        QVERIFY(!isApplicationBundle(
            makeBundle(pathOf(dir) / "C.app", {.identifier = identifier + ".installer"})));
        QVERIFY(!isApplicationBundle(makeBundle(pathOf(dir) / "D.app", {.identifier = {}})));
    }
};

QTEST_GUILESS_MAIN(BundleTest)
#include "tst_bundle.moc"
