#pragma once

// What a power cut left in an applications folder, judged against the two complete versions that
// the installation moved between (scripts/power-cut-campaign).

#include <QStringList>
#include <filesystem>
#include <string_view>
#include <vector>

namespace bench {

// The folder as the disk held it after the cut: a snapshot (testsupport::snapshotOf) of
// "Vantorel.app" and of each copy under a hidden name.
struct FolderAfterCut {
    QStringList target;                      // {"<absent>"} when nothing is there
    std::vector<QStringList> backups;        // ".Vantorel-previous-*.app"
    std::vector<QStringList> stagingCopies;  // ".Vantorel-install-*.app"
};

// Outcomes, from best to worst. `incomplete`: "Vantorel.app" is neither complete version, nor
// missing with the earlier copy under a backup name, yet a complete copy lies hidden somewhere;
// `lost`: no complete copy of either version is left anywhere in the folder.
enum class CutOutcome { earlierCopy, newCopy, missingWithBackup, incomplete, lost };

// Whether the cut came after the guest reported that `install` had returned.
enum class Counted { no, yes };

CutOutcome classifyCut(const FolderAfterCut& folder, const QStringList& earlier,
                       const QStringList& next);

// An installation that works leaves the earlier copy, the new copy, or (between its two renames)
// nothing at "Vantorel.app" with the earlier copy under a backup name; once it counted, only the
// new copy.
bool outcomeAllowed(CutOutcome outcome, Counted counted);

// The names printed for the outcomes, as the campaign's summary line uses them.
std::string_view outcomeName(CutOutcome outcome);

// Snapshots of "Vantorel.app" and of every hidden copy in `directory`.
FolderAfterCut readFolderAfterCut(const std::filesystem::path& directory);

}  // namespace bench
