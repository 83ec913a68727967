#include "power_cut_verdict.h"

#include <algorithm>
#include <string>

#include "abandoned_copies.h"
#include "application_bundle.h"
#include "tree_snapshot.h"

namespace fs = std::filesystem;

namespace bench {

namespace {

bool holds(const std::vector<QStringList>& copies, const QStringList& version) {
    return std::find(copies.begin(), copies.end(), version) != copies.end();
}

}  // namespace

CutOutcome classifyCut(const FolderAfterCut& folder, const QStringList& earlier,
                       const QStringList& next) {
    if (folder.target == earlier) {
        return CutOutcome::earlierCopy;
    }
    if (folder.target == next) {
        return CutOutcome::newCopy;
    }
    if (folder.target == QStringList{"<absent>"} && holds(folder.backups, earlier)) {
        return CutOutcome::missingWithBackup;
    }
    const bool completeCopyHidden = holds(folder.backups, earlier) || holds(folder.backups, next) ||
                                    holds(folder.stagingCopies, earlier) ||
                                    holds(folder.stagingCopies, next);
    return completeCopyHidden ? CutOutcome::incomplete : CutOutcome::lost;
}

bool outcomeAllowed(CutOutcome outcome, Counted counted) {
    switch (outcome) {
        case CutOutcome::newCopy:
            return true;
        case CutOutcome::earlierCopy:
        case CutOutcome::missingWithBackup:
            return counted == Counted::no;
        case CutOutcome::incomplete:
        case CutOutcome::lost:
            return false;
    }
    return false;
}

std::string_view outcomeName(CutOutcome outcome) {
    switch (outcome) {
        case CutOutcome::earlierCopy:
            return "old";
        case CutOutcome::newCopy:
            return "new";
        case CutOutcome::missingWithBackup:
            return "missing-with-backup";
        case CutOutcome::incomplete:
            return "incomplete";
        case CutOutcome::lost:
            return "lost";
    }
    return "?";
}

FolderAfterCut readFolderAfterCut(const fs::path& directory) {
    FolderAfterCut folder{testsupport::snapshotOf(directory / applicationBundleName), {}, {}};
    for (const auto& entry : fs::directory_iterator(directory)) {
        const std::string name = entry.path().filename().string();
        if (!isHiddenCopyName(name)) {
            continue;
        }
        auto& copies = name.starts_with(stagingNamePrefix) ? folder.stagingCopies : folder.backups;
        copies.push_back(testsupport::snapshotOf(entry.path()));
    }
    return folder;
}

}  // namespace bench
