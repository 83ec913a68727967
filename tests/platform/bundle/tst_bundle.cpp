#include <QtTest>

#include "application_bundle.h"
#include "bundle.h"
#include "bundle_factory.h"
#include "temp_home.h"

namespace fs = std::filesystem;
using namespace testsupport;

using OptionalText = std::optional<std::string>;
Q_DECLARE_METATYPE(OptionalText)

// The Info.plist that makeBundle writes for `layout`.
static std::string infoPlist(const BundleSpec& layout) {
    QTemporaryDir dir;
    writeInfoPlist(pathOf(dir), layout);
    return readFile(pathOf(dir) / "Contents" / "Info.plist");
}

class BundleTest : public QObject {
    Q_OBJECT

private slots:
    // What is read from an Info.plist; the application is the bundle with exactly its identifier.
    void readsInfoPlist_data() {
        QTest::addColumn<OptionalText>("plist");  // nothing: no Info.plist at all
        QTest::addColumn<QString>("identifier");  // empty: none
        QTest::addColumn<bool>("hasExecutable");
        const std::string xml = infoPlist({});
        const std::string head = "<?xml version=\"1.0\"?>\n<plist version=\"1.0\">\n";
        std::string huge = xml;
        huge.insert(huge.find("</dict>"), std::string(2 << 20, ' '));
        const auto row = [](const char* name, const OptionalText& plist, const QString& id,
                            bool exe) { QTest::newRow(name) << plist << id << exe; };
        const QString ours = QString::fromStdString(std::string(applicationBundleIdentifier));
        row("xml", xml, ours, true);
        row("binary", infoPlist({.format = PlistFormat::binary}), ours, true);
        row("executable name escapes", infoPlist({.executableName = "../evil"}), ours, false);
        row("identifier in other case", infoPlist({.identifier = ours.toUpper().toStdString()}),
            ours.toUpper(), true);
        row("identifier with more", infoPlist({.identifier = ours.toStdString() + ".installer"}),
            ours + ".installer", true);
        row("no Info.plist", std::nullopt, "", false);
        row("malformed xml", head + "<dict><key>CFBundleIdentifier</key><string>pl.", "", false);
        row("array at the root", head + "<array><string>x</string></array></plist>\n", "", false);
        row("identifier not a string",
            head +
                "<dict><key>CFBundleIdentifier</key><integer>7</integer>"
                "<key>CFBundleExecutable</key><string>Vantorel</string></dict></plist>\n",
            "", true);
        row("huge", huge, "", false);
    }

    void readsInfoPlist() {
        QFETCH(OptionalText, plist);
        QFETCH(QString, identifier);
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
        QCOMPARE(QString::fromStdString(opened->bundleIdentifier().value_or("")), identifier);
        QCOMPARE(opened->executableURL().has_value(), hasExecutable);
        QCOMPARE(isApplicationBundle(bundle),
                 identifier.toStdString() == applicationBundleIdentifier);
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
