// Bundles: what is read from an Info.plist, and signing a bundle and checking its signature
// (with the manifest that lists what is signed).
#include <sys/stat.h>

#include <QtTest>

#include "application_bundle.h"
#include "bundle.h"
#include "bundle_factory.h"
#include "code_signature.h"
#include "ed25519.h"
#include "signature_manifest.h"
#include "temp_home.h"

namespace fs = std::filesystem;
using namespace testsupport;
using codesign::ManifestEntry;

using OptionalText = std::optional<std::string>;
Q_DECLARE_METATYPE(OptionalText)

// The Info.plist that makeBundle writes for `layout`.
static std::string infoPlist(const BundleSpec& layout) {
    QTemporaryDir dir;
    writeInfoPlist(pathOf(dir), layout);
    return readFile(pathOf(dir) / "Contents" / "Info.plist");
}

// Changes the bundle at the given folder.
using Change = std::function<void(const fs::path&)>;
Q_DECLARE_METATYPE(Change)

static fs::path signatureFile(const fs::path& bundle, const char* name) {
    return bundle / codesign::signatureFolder / name;
}

static std::string manifestOf(const fs::path& bundle) {
    return readFile(signatureFile(bundle, codesign::manifestName));
}

// Replaces the manifest with `text`, properly signed (any key will do), so that only the
// manifest's content can be at fault.
static void resignManifest(const fs::path& bundle, const std::string& text) {
    const auto key = ed25519::PrivateKey::generate();
    writeFile(signatureFile(bundle, codesign::manifestName), text);
    writeFile(signatureFile(bundle, codesign::signatureName), key.sign(text));
    writeFile(signatureFile(bundle, codesign::publicKeyName), key.publicKey());
}

// A bundle with spaces, '%', control characters and non-ASCII in names, names that sort between a
// folder and what it holds ("deep", "deep-x/…", "deep.txt", "deep/…"), a file larger than one read
// buffer, and links inside the bundle, one with the longest target Linux stores.
static fs::path makeRichBundle(const fs::path& location) {
    const fs::path resources = makeBundle(location) / "Contents" / "Resources";
    writeFile(resources / "Zażółć 100%" / "nowa\nlinia\tz odstępami\x7f.txt", "treść");
    writeFile(resources / "deep-x" / "inner", "");
    writeFile(resources / "deep.txt", "");
    writeFile(resources / "deep" / "big.bin", std::string(600 << 10, 'q'));
    fs::create_symlink("../../MacOS/Vantorel", resources / "deep" / "launcher");
    fs::create_symlink(std::string(4095, 'x'), resources / "longest");  // Linux's limit
    return location;
}

// "valid", or the reason the check gives.
static QString verdictOn(const fs::path& bundle) {
    const auto check = codesign::verifyBundleSignature(bundle);
    return check.valid ? "valid" : QString::fromStdString(check.reason);
}

// Moves the item out of the bundle and leaves a symbolic link to it in its place.
static void replaceByLink(const fs::path& bundle, const fs::path& item) {
    const fs::path elsewhere = bundle.parent_path() / ("moved " + item.filename().string());
    fs::rename(item, elsewhere);
    fs::create_symlink(elsewhere, item);
}

static void addRow(const char* name, const char* reason, const Change& change) {
    QTest::newRow(name) << change << QString::fromUtf8(reason);
}

class BundleTest : public QObject {
    Q_OBJECT

    QTemporaryDir keys_;
    fs::path key_ = pathOf(keys_) / "key.pem";
    fs::path otherKey_ = pathOf(keys_) / "other.pem";

private slots:
    // What is read from an Info.plist; the application is the bundle with exactly its identifier.
    void readsInfoPlist_data() {
        QTest::addColumn<OptionalText>("plist");  // nothing: no Info.plist at all
        QTest::addColumn<QString>("identifier");  // empty: none
        QTest::addColumn<bool>("hasExecutable");
        const std::string head = "<?xml version=\"1.0\"?>\n<plist version=\"1.0\">\n";
        std::string huge = infoPlist({});
        huge.insert(huge.find("</dict>"), std::string(2 << 20, ' '));
        const auto row = [](const char* name, const OptionalText& plist, const QString& id,
                            bool exe) { QTest::newRow(name) << plist << id << exe; };
        const QString ours = QString::fromStdString(std::string(applicationBundleIdentifier));
        row("binary", infoPlist({.format = PlistFormat::binary}), ours, true);
        row("executable name escapes", infoPlist({.executableName = "../evil"}), ours, false);
        row("identifier in other case", infoPlist({.identifier = ours.toUpper().toStdString()}),
            ours.toUpper(), true);
        row("identifier with more", infoPlist({.identifier = ours.toStdString() + ".installer"}),
            ours + ".installer", true);
        row("no Info.plist", std::nullopt, "", false);
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
        // A trailing slash would make the system follow the link; it must not here.
        QVERIFY(!Bundle::open(root / "link.app/").has_value() &&
                !isApplicationBundle(root / "link.app/"));
        const fs::path linked = makeBundle(root / "Linked.app");
        fs::remove(linked / "Contents" / "Info.plist");
        fs::create_symlink(bundle / "Contents" / "Info.plist", linked / "Contents" / "Info.plist");
        QVERIFY(!Bundle::open(linked)->bundleIdentifier().has_value());
    }

    void initTestCase() {
        codesign::generateSigningKey(key_);
        codesign::generateSigningKey(otherKey_);
        QCOMPARE(fs::status(key_).permissions(), fs::perms(0600));
    }

    void signingAgainReplacesTheSignature() {
        QTemporaryDir dir;
        const fs::path bundle = makeRichBundle(pathOf(dir) / "Vantorel Ćma.app");
        codesign::signBundle(bundle, key_);
        QCOMPARE(verdictOn(bundle), "valid");
        const std::string manifest = manifestOf(bundle);
        QVERIFY(manifest.find(" " + std::string(4095, 'x') + "\n") != std::string::npos);
        codesign::signBundle(bundle, otherKey_);
        QCOMPARE(manifestOf(bundle), manifest);  // the same tree gives the same manifest
        QCOMPARE(verdictOn(bundle), "valid");

        // After a change; a signature folder that is a link is replaced, never written through;
        // a key behind a link is fine.
        writeFile(bundle / "Contents" / "Resources" / "new.txt", "new");
        replaceByLink(bundle, bundle / codesign::signatureFolder);
        fs::create_symlink(key_, pathOf(dir) / "linked.pem");
        codesign::signBundle(bundle, pathOf(dir) / "linked.pem");
        QCOMPARE(readFile(pathOf(dir) / "moved _CodeSignature" / "Manifest"), manifest);
        QCOMPARE(verdictOn(bundle), "valid");
    }

    void alteredBundleIsRejected_data() {
        QTest::addColumn<Change>("tamper");
        QTest::addColumn<QString>("reason");  // a part of the reason given
        const fs::path key = key_;
        const fs::path resources = "Contents/Resources";

        addRow("last byte of a large file", "big.bin\" changed in content", [=](auto& b) {
            std::string data = readFile(b / resources / "deep" / "big.bin");
            data.back() = 'Q';  // beyond the first read buffer
            writeFile(b / resources / "deep" / "big.bin", data);
        });
        // The folder comes first: a walk that skipped folders would find only the file.
        addRow("folder and file added", "a-empty\" was added", [=](auto& b) {
            fs::create_directory(b / resources / "a-empty");
            writeFile(b / resources / "added.txt", "");
        });
        addRow("file removed", "is missing",
               [=](auto& b) { fs::remove(b / resources / "marker.txt"); });
        addRow("file replaced by a link to the same content", "changed its kind", [=](auto& b) {
            // The copy is signed too: only the swap remains to be found.
            writeFile(b / resources / "same.txt", readFile(b / resources / "marker.txt"));
            codesign::signBundle(b, key);
            fs::remove(b / resources / "marker.txt");
            fs::create_symlink("same.txt", b / resources / "marker.txt");
        });
        addRow("link target changed", "target of the symbolic link", [=](auto& b) {
            fs::remove(b / resources / "deep" / "launcher");
            fs::create_symlink("../marker.txt", b / resources / "deep" / "launcher");
        });
        addRow("executable bit added", "executable bit", [=](auto& b) {
            fs::permissions(b / resources / "marker.txt", fs::perms::others_exec,
                            fs::perm_options::add);
        });
        addRow("FIFO added", "special file",
               [=](auto& b) { QCOMPARE(::mkfifo((b / resources / "pipe").c_str(), 0644), 0); });
        addRow("signed manifest malformed", "malformed manifest", [=](auto& b) {
            const std::string manifest = manifestOf(b);
            resignManifest(b, manifest.substr(0, manifest.size() / 2));
        });
        addRow("signed link out of the bundle", "out of the bundle", [=](auto& b) {
            fs::create_symlink("/etc/passwd", b / "Contents" / "zz");
            auto entries = codesign::parseManifest(manifestOf(b));
            entries.push_back({.path = "Contents/zz",
                               .kind = ManifestEntry::Kind::link,
                               .linkTarget = "/etc/passwd"});
            resignManifest(b, codesign::formatManifest(entries));
        });
        addRow("manifest oversized", "larger than", [](auto& b) {
            writeFile(signatureFile(b, codesign::manifestName),
                      manifestOf(b) + std::string(codesign::maxManifestBytes, ' '));
        });
        addRow("manifest changed, signature kept", "does not match", [](auto& b) {
            std::string edited = manifestOf(b);
            edited.replace(edited.find(" - "), 3, " x ");
            writeFile(signatureFile(b, codesign::manifestName), edited);
        });
        addRow("signature removed", "_CodeSignature/Signature\"",
               [](auto& b) { fs::remove(signatureFile(b, codesign::signatureName)); });
        addRow("extra file beside the signature", "other files",
               [](auto& b) { writeFile(signatureFile(b, "Extra"), "x"); });
        addRow("manifest is a link", "symbolic link",
               [](auto& b) { replaceByLink(b, signatureFile(b, codesign::manifestName)); });
        addRow("signature folder is a link", "not a folder",
               [](auto& b) { replaceByLink(b, b / codesign::signatureFolder); });
        addRow("bundle is a link", "not a folder", [](auto& b) { replaceByLink(b, b); });
    }

    // Each row is checked with and without a trailing slash, which must not follow a link.
    void alteredBundleIsRejected() {
        QFETCH(Change, tamper);
        QFETCH(QString, reason);
        QTemporaryDir dir;
        const fs::path bundle = makeRichBundle(pathOf(dir) / "Vantorel.app");
        codesign::signBundle(bundle, key_);
        tamper(bundle);
        for (const fs::path& shown : {bundle, fs::path(bundle.native() + "/")}) {
            const QString verdict = verdictOn(shown);
            QVERIFY2(verdict != "valid" && verdict.contains(reason) && !verdict.contains('\n'),
                     qPrintable(verdict));
        }
    }

    // Unlike the check, signing refuses a link that leads out (and writes nothing).
    void signingRefusesALinkOutOfTheBundle() {
        QTemporaryDir dir;
        const fs::path bundle = makeBundle(pathOf(dir) / "Vantorel.app");
        fs::create_symlink("/etc", bundle / "Contents" / "Resources" / "out");
        QVERIFY_THROWS_EXCEPTION(codesign::SigningError, codesign::signBundle(bundle, key_));
        QCOMPARE(std::distance(fs::directory_iterator(bundle / "Contents"), {}), 3);
    }

    // What the manifest parser must refuse; what it accepts is what signing writes (above).
    void malformedManifest_data() {
        QTest::addColumn<QByteArray>("text");
        const QByteArray head = "vantorel-bundle-manifest 1\n";
        const QByteArray digest(64, 'a');
        const QByteArray longPath(int(codesign::maxPathBytes) + 1, 'a');
        QTest::newRow("wrong header") << QByteArray("vantorel-bundle-manifest 2\nend 0\n");
        QTest::newRow("no end line") << head + "dir a\n";
        QTest::newRow("end count too high") << head + "dir a\nend 2\n";
        QTest::newRow("unknown kind") << head + "pipe a\nend 1\n";
        QTest::newRow("CR line end") << head + "dir a\r\nend 1\n";
        QTest::newRow(".. in a path") << head + "dir a\ndir a/..\nend 2\n";
        QTest::newRow("duplicate") << head + "dir a\ndir a\nend 2\n";
        QTest::newRow("parent not listed") << head + "dir a/b\nend 1\n";
        QTest::newRow("parent not listed, after a sibling's entries")
            << head + "dir a\ndir a-\ndir a-/x\ndir a/b/c\nend 4\n";
        QTest::newRow("lower-case escape") << head + "dir a%2f\nend 1\n";
        QTest::newRow("escaped slash") << head + "dir a\ndir a%2Fb\nend 2\n";
        QTest::newRow("executable field") << head + "file a y 1 " + digest + "\nend 1\n";
        QTest::newRow("size too large")
            << head + "file a - 99999999999999999999 " + digest + "\nend 1\n";
        QTest::newRow("upper-case digest") << head + "file a - 1 " + digest.toUpper() + "\nend 1\n";
        QTest::newRow("empty link target") << head + "link a \nend 1\n";
        QTest::newRow("overlong path") << head + "dir " + longPath + "\nend 1\n";
    }

    void malformedManifest() {
        QFETCH(QByteArray, text);
        QVERIFY_THROWS_EXCEPTION(codesign::ManifestError,
                                 codesign::parseManifest(text.toStdString()));
    }

    // Plain names inside and absolute targets, the signing and checking tests above show.
    void linkTargets() {
        using Row = std::tuple<const char*, const char*, bool>;  // link, target, inside
        for (const auto& [link, target, inside] :
             {Row{"Contents/a", "../Other", true}, Row{"Contents/a", "./.././x", true},
              Row{"Contents/a", "../../x", false}, Row{"Contents/a", "", false},
              Row{"Contents/x/a", "b/../c", false}}) {
            QVERIFY2(codesign::isLinkTargetInside(link, target) == inside, target);
        }
    }
};

QTEST_GUILESS_MAIN(BundleTest)
#include "tst_bundle.moc"
