#include <QTemporaryDir>
#include <QtTest>
#include <filesystem>
#include <string>
#include <vector>

#include "bundle_factory.h"
#include "power_cut_verdict.h"
#include "temp_home.h"  // pathOf
#include "tree_snapshot.h"

namespace fs = std::filesystem;
using namespace testsupport;
using bench::Counted;
using bench::CutOutcome;

namespace {

// What a cut may leave of a copy: either version whole, or damaged the ways a lost write damages.
enum class Copy { none, earlier, next, nextEmptied, earlierPartial, nextLostExecuteBit };
using Copies = std::vector<Copy>;

void place(Copy copy, const fs::path& at, const fs::path& earlier, const fs::path& next) {
    if (copy == Copy::none) {
        return;
    }
    const bool fromEarlier = copy == Copy::earlier || copy == Copy::earlierPartial;
    fs::copy(fromEarlier ? earlier : next, at, fs::copy_options::recursive);
    const fs::path marker = at / "Contents/Resources/marker.txt";
    if (copy == Copy::nextEmptied) {
        fs::resize_file(marker, 0);  // written, but its data never reached the disk
    } else if (copy == Copy::earlierPartial) {
        fs::remove(marker);  // a copy interrupted before its last file
    } else if (copy == Copy::nextLostExecuteBit) {
        fs::permissions(at / "Contents/MacOS/Vantorel", fs::perms(0644));
    }
}

std::string hiddenName(const char* prefix, int number) {
    return prefix + std::string("5F0C2A9E-1B7D-4C3A-9E21-7A4B8C0D1E2") + std::to_string(number) +
           ".app";
}

}  // namespace

Q_DECLARE_METATYPE(Copy)
Q_DECLARE_METATYPE(Copies)
Q_DECLARE_METATYPE(Counted)
Q_DECLARE_METATYPE(CutOutcome)

class PowerCutVerdictTest : public QObject {
    Q_OBJECT

private slots:
    void judgesWhatTheCutLeft_data() {
        QTest::addColumn<Copy>("target");
        QTest::addColumn<Copies>("backups");
        QTest::addColumn<Copies>("staging");
        QTest::addColumn<Counted>("counted");
        QTest::addColumn<CutOutcome>("outcome");
        QTest::addColumn<bool>("allowed");
        using enum Copy;
        using enum CutOutcome;
        const Counted no = Counted::no, yes = Counted::yes;

        // What a working installation leaves, and when.
        QTest::newRow("earlier copy, half a staging copy")
            << earlier << Copies{} << Copies{nextEmptied} << no << earlierCopy << true;
        QTest::newRow("earlier copy after it counted")
            << earlier << Copies{} << Copies{} << yes << earlierCopy << false;
        QTest::newRow("new copy, backup not yet removed")
            << next << Copies{earlier} << Copies{} << yes << newCopy << true;
        QTest::newRow("between the renames")
            << none << Copies{earlier} << Copies{next} << no << missingWithBackup << true;
        QTest::newRow("between the renames after it counted")
            << none << Copies{earlier} << Copies{next} << yes << missingWithBackup << false;
        QTest::newRow("missing, a damaged and a whole backup")
            << none << Copies{earlierPartial, earlier} << Copies{} << no << missingWithBackup
            << true;
        // Damage: a complete copy still hidden somewhere, or none left at all.
        QTest::newRow("new copy emptied, backup whole")
            << nextEmptied << Copies{earlier} << Copies{} << yes << incomplete << false;
        QTest::newRow("missing, only the new copy staged")
            << none << Copies{} << Copies{next} << no << incomplete << false;
        QTest::newRow("missing, the earlier copy under a staging name")  // never restored
            << none << Copies{} << Copies{earlier} << no << incomplete << false;
        QTest::newRow("missing, the new copy under a backup name")
            << none << Copies{next} << Copies{} << no << incomplete << false;
        QTest::newRow("new copy emptied, backup removed")
            << nextEmptied << Copies{} << Copies{} << yes << lost << false;
        QTest::newRow("new copy lost an execute bit")
            << nextLostExecuteBit << Copies{} << Copies{} << yes << lost << false;
        QTest::newRow("missing, backup partial")
            << none << Copies{earlierPartial} << Copies{nextEmptied} << no << lost << false;
        QTest::newRow("nothing at all") << none << Copies{} << Copies{} << no << lost << false;
    }

    void judgesWhatTheCutLeft() {
        QFETCH(Copy, target);
        QFETCH(Copies, backups);
        QFETCH(Copies, staging);
        QFETCH(Counted, counted);
        QFETCH(CutOutcome, outcome);
        QFETCH(bool, allowed);

        const QTemporaryDir work;
        const fs::path root = pathOf(work);
        const fs::path earlier = makeBundle(root / "a" / "Vantorel.app", {.marker = "a"});
        const fs::path next = makeBundle(root / "b" / "Vantorel.app", {.marker = "b"});
        const fs::path folder = root / "Applications";
        fs::create_directories(folder);
        place(target, folder / "Vantorel.app", earlier, next);
        for (size_t i = 0; i < backups.size(); ++i) {
            place(backups[i], folder / hiddenName(".Vantorel-previous-", int(i)), earlier, next);
        }
        for (size_t i = 0; i < staging.size(); ++i) {
            place(staging[i], folder / hiddenName(".Vantorel-install-", int(i)), earlier, next);
        }

        const CutOutcome found = bench::classifyCut(bench::readFolderAfterCut(folder),
                                                    snapshotOf(earlier), snapshotOf(next));

        QCOMPARE(found, outcome);
        QCOMPARE(bench::outcomeAllowed(found, counted), allowed);
    }
};

QTEST_GUILESS_MAIN(PowerCutVerdictTest)
#include "tst_power_cut_verdict.moc"
