#include <QtTest>

#include "bundle_factory.h"
#include "power_cut_verdict.h"
#include "temp_home.h"  // pathOf
#include "tree_snapshot.h"

namespace fs = std::filesystem;
using namespace testsupport;
using bench::Counted;
using bench::CutOutcome;

// What a cut may leave of a copy: either version whole, or damaged the ways a lost write damages.
enum class Copy { none, earlier, next, nextEmptied, earlierPartial, nextLostExecuteBit };
using Copies = std::vector<Copy>;

// What a cut left at the application's name and under hidden names, and the verdict on it.
struct Case {
    Copy target;
    Copies backups;
    Copies staging;
    Counted counted;  // whether the installation had returned before the cut
    CutOutcome outcome;
    bool allowed;
};
Q_DECLARE_METATYPE(Case)

static void place(Copy copy, const fs::path& at, const fs::path& earlier, const fs::path& next) {
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

class PowerCutVerdictTest : public QObject {
    Q_OBJECT

private slots:
    void judgesWhatTheCutLeft_data() {
        QTest::addColumn<Case>("c");
        using enum Copy;
        using enum CutOutcome;
        const Counted no = Counted::no, yes = Counted::yes;
        const auto row = [](const char* name, const Case& c) { QTest::newRow(name) << c; };
        // What a working installation leaves, and when.
        row("earlier copy, half a staging copy",
            {earlier, {}, {nextEmptied}, no, earlierCopy, true});
        row("earlier copy after it counted", {earlier, {}, {}, yes, earlierCopy, false});
        row("new copy, backup not yet removed", {next, {earlier}, {}, yes, newCopy, true});
        row("between the renames", {none, {earlier}, {next}, no, missingWithBackup, true});
        row("between the renames after it counted",
            {none, {earlier}, {next}, yes, missingWithBackup, false});
        row("missing, a damaged and a whole backup",
            {none, {earlierPartial, earlier}, {}, no, missingWithBackup, true});
        // Damage: a complete copy still hidden somewhere, or none left at all.
        row("new copy emptied, backup whole", {nextEmptied, {earlier}, {}, yes, incomplete, false});
        row("missing, only the new copy staged", {none, {}, {next}, no, incomplete, false});
        // Never restored:
        row("missing, the earlier copy under a staging name",
            {none, {}, {earlier}, no, incomplete, false});
        row("missing, the new copy under a backup name", {none, {next}, {}, no, incomplete, false});
        row("new copy emptied, backup removed", {nextEmptied, {}, {}, yes, lost, false});
        row("new copy lost an execute bit", {nextLostExecuteBit, {}, {}, yes, lost, false});
        row("missing, backup partial", {none, {earlierPartial}, {nextEmptied}, no, lost, false});
    }

    void judgesWhatTheCutLeft() {
        QFETCH(Case, c);
        const QTemporaryDir work;
        const fs::path root = pathOf(work);
        const fs::path earlier = makeBundle(root / "a" / "Vantorel.app", {.marker = "a"});
        const fs::path next = makeBundle(root / "b" / "Vantorel.app", {.marker = "b"});
        const fs::path folder = root / "Applications";
        fs::create_directories(folder);
        place(c.target, folder / "Vantorel.app", earlier, next);
        for (const auto& [prefix, copies] : {std::pair{".Vantorel-previous-", c.backups},
                                             std::pair{".Vantorel-install-", c.staging}}) {
            for (size_t i = 0; i < copies.size(); ++i) {
                const std::string uuid = "5F0C2A9E-1B7D-4C3A-9E21-7A4B8C0D1E2" + std::to_string(i);
                place(copies[i], folder / (prefix + uuid + ".app"), earlier, next);
            }
        }
        const CutOutcome found = bench::classifyCut(bench::readFolderAfterCut(folder),
                                                    snapshotOf(earlier), snapshotOf(next));
        QCOMPARE(found, c.outcome);
        QCOMPARE(bench::outcomeAllowed(found, c.counted), c.allowed);
    }
};

QTEST_GUILESS_MAIN(PowerCutVerdictTest)
#include "tst_power_cut_verdict.moc"
