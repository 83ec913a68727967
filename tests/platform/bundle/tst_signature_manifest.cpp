#include <QtTest>

#include "signature_manifest.h"

// What the parser must refuse; what it accepts is what signing writes (see the signature tests).
class SignatureManifestTest : public QObject {
    Q_OBJECT

private slots:
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
        QTest::newRow("escaped slash") << head + "dir a%2Fb\nend 1\n";
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

    void linkTargets() {
        struct Row {
            const char* link;
            const char* target;
            bool inside;
        };
        for (const Row& row :
             {Row{"Contents/a", "b", true}, Row{"Contents/a", "../Other", true},
              Row{"Contents/a", "./.././x", true}, Row{"Contents/a", "../../x", false},
              Row{"a", "..", false}, Row{"Contents/a", "/Contents/b", false},
              Row{"Contents/a", "", false}, Row{"Contents/x/a", "b/../c", false}}) {
            QVERIFY2(codesign::isLinkTargetInside(row.link, row.target) == row.inside, row.target);
        }
    }
};

QTEST_GUILESS_MAIN(SignatureManifestTest)
#include "tst_signature_manifest.moc"
