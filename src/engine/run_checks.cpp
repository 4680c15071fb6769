// The folder checks, the hold of From, the checks of the stores, the To Folder's lock, and refusals.
#include "engine/run_checks.h"

#include "base/separator.h"
#include "engine/run_context.h"
#include "engine/run_log.h"
#include "fs/changes.h"
#include "fs/mounts.h"
#include "fs/paths.h"
#include "platform/platform.h"

namespace {

// Directory identity decides where the texts cannot: a drive root, the same
// folder or one folder inside the other under any spelling. Each check runs
// after its text test, with the same line and code.
int validateByIdentity(const WideString& from, const WideString& to) {
    if (platformIsTopOfVolume(to.buffer)) {
        return refuse(RUN_DEST_IS_DRIVE,
                      WideString(L"! Error => Destination dir must be the subdir of  [") + to + L"].");
    }
    DirectoryIdentity fromIdentity;
    DirectoryIdentity toIdentity;
    if (!platformDirectoryIdentity(from.buffer, &fromIdentity) || !platformDirectoryIdentity(to.buffer, &toIdentity)) {
        return RUN_OK;  // both were just found to exist; a race, and the walks will fail
    }
    if (sameIdentity(fromIdentity, toIdentity)) {
        return refuse(RUN_SAME_FOLDERS,
                      WideString(L"! Error => Source dir and destination dir is same [") + from + L"].");
    }
    if (directoryBelow(to, from)) {
        return refuse(RUN_DEST_INSIDE_SOURCE,
                      WideString(L"! Error => Destination dir can be the subdir of [") + from + L"].");
    }
    // Another user who may move what root writes could lead it anywhere.
    if (platformRunsAsRoot() && platformOthersMayChange(to.buffer)) {
        return refuse(RUN_DEST_UNSAFE,
                      WideString(L"! Error => Destination dir can be changed by another user [") + to + L"].");
    }
    return RUN_OK;
}

}  // namespace

int refuse(int code, const WideString& message) {
    runContext.messageText = message;
    reportError();
    return code;
}

// A From Folder inside the To Folder would be emptied by the clean-up. By
// text, either separator ends a component, as the system reads it; on disk,
// any spelling and any link in it.
bool sourceInsideDestination(const WideString& fromFolder, const WideString& toFolder) {
    WideString prefix = dropTrailingSeparator(toFolder).ToLower();
    WideString lowerFrom = fromFolder.ToLower();
    bool byText = prefix.length > 0 && lowerFrom.length > prefix.length && StartsWith(lowerFrom, prefix) &&
                  (isComponentSeparator(lowerFrom.buffer[prefix.length]) ||
                   isComponentSeparator(prefix.buffer[prefix.length - 1]));
    return byText || directoryBelow(fromFolder, toFolder);
}

void reportError() {
    writeMessageLine();
    showStatus(STATUS_ERROR, runContext.messageText);
}

// The lines of the checks keep the program's own wording, "is not exist" and
// the double blank of "subdir of  [" included, on purpose: users, the window's
// logs and the scripts that read them know the lines by it.
int validateFolders(const WideString& from, const WideString& to) {
    if (!directoryExists(from)) {
        return refuse(RUN_NO_SOURCE, WideString(L"! Error => Source dir [") + from + L"] is not exist.");
    }
    if (isDriveRoot(to)) {
        return refuse(RUN_DEST_IS_DRIVE,
                      WideString(L"! Error => Destination dir must be the subdir of  [") + to + L"].");
    }
    if (!directoryExists(to)) {
        return refuse(RUN_NO_DEST, WideString(L"! Error => Destination dir [") + to + L"] is not exist.");
    }
    WideString lowerFrom = from.ToLower();
    if (to.ToLower() == lowerFrom) {
        return refuse(RUN_SAME_FOLDERS,
                      WideString(L"! Error => Source dir and destination dir is same [") + from + L"].");
    }
    if (to.Left(from.length).ToLower() == lowerFrom && !hasDotLevel(from) && !hasDotLevel(to)) {
        return refuse(RUN_DEST_INSIDE_SOURCE,
                      WideString(L"! Error => Destination dir can be the subdir of [") + from + L"].");
    }
    return validateByIdentity(from, to);
}

// The checks of validateFolders for a To Folder that --mkpath is yet to
// make: its text, and on disk the nearest folder above it that stands.
int validateFoldersForNewTo(const WideString& from, const WideString& to) {
    if (!directoryExists(from)) {
        return refuse(RUN_NO_SOURCE, WideString(L"! Error => Source dir [") + from + L"] is not exist.");
    }
    if (isDriveRoot(to)) {
        return refuse(RUN_DEST_IS_DRIVE,
                      WideString(L"! Error => Destination dir must be the subdir of  [") + to + L"].");
    }
    WideString lowerFrom = from.ToLower();
    if (to.ToLower() == lowerFrom) {
        return refuse(RUN_SAME_FOLDERS,
                      WideString(L"! Error => Source dir and destination dir is same [") + from + L"].");
    }
    WideString standing = nearestStandingFolder(to);
    bool inside = to.Left(from.length).ToLower() == lowerFrom && !hasDotLevel(from) && !hasDotLevel(to);
    DirectoryIdentity fromIdentity;
    DirectoryIdentity standingIdentity;
    if (!inside && standing.length > 0 && platformDirectoryIdentity(from.buffer, &fromIdentity) &&
        platformDirectoryIdentity(standing.buffer, &standingIdentity)) {
        inside = sameIdentity(fromIdentity, standingIdentity) || directoryBelow(standing, from);
    }
    if (inside) {
        return refuse(RUN_DEST_INSIDE_SOURCE,
                      WideString(L"! Error => Destination dir can be the subdir of [") + from + L"].");
    }
    return RUN_OK;
}

bool storeOthersMayChange(const WideString& folder) {
    if (!platformRunsAsRoot()) return false;
    WideString standing = nearestStandingFolder(folder);
    if (standing.length == 0) return false;  // nothing stands: the run finds it so
    if (platformOthersMayChange(standing.buffer)) return true;
    return !(dropTrailingSeparator(standing) == dropTrailingSeparator(folder)) &&
           platformOthersMayAddTo(standing.buffer);
}

int checkStores(const RunOptions& options) {
    const WideString& versions = options.versionsFolder;
    if (versions.length == 0 || !storeOthersMayChange(versions)) return RUN_OK;
    return refuse(RUN_STORE_UNSAFE, WideString(L"! Error => Versions dir [") + versions +
                                        L"] can be changed by another user, or is reached through another "
                                        L"user's link.");
}

namespace {

// The refusal of a folder the run could not open for why: the checks' own
// line where it is not there (missingCode), otherwise the reason as it is.
int refuseUnopened(int missingCode, int unopenedCode, const wchar_t* side, const WideString& folder, int why) {
    if (why == 0 || platformErrorIsMissing(why)) {
        return refuse(missingCode, WideString(L"! Error => ") + side + L" dir [" + folder + L"] is not exist.");
    }
    return refuse(unopenedCode, WideString(L"! Error => ") + side + L" dir can not be opened [" + folder + L"]: " +
                                    WideString(platformReasonText(why).c_str()) + L".");
}

}  // namespace

int holdSource(const WideString& from) {
    SystemResult held = platformReadTree(from.buffer);
    if (held) return RUN_OK;
    if (held.reason != FAILURE_LINK_REFUSED) {
        // A root run reads From through the held folder alone, never by its path.
        if (!platformRunsAsRoot()) return RUN_OK;
        return refuseUnopened(RUN_NO_SOURCE, RUN_SOURCE_UNOPENED, L"Source", from, held.reason);
    }
    return refuse(
        RUN_SOURCE_UNSAFE,
        WideString(L"! Error => Source dir is reached through a link whose owner may not read what it names [") + from +
            L"].");
}

namespace {

// Folder as the table of mounts places it; false where it cannot be resolved.
bool placeMounted(const WideString& folder, MountedFolder* placed) {
    placed->mount = 0;
    if (!platformResolvedPath(folder.buffer, &placed->path)) return false;
    if (!platformMountNumber(placed->path.c_str(), &placed->mount)) placed->mount = 0;
    return true;
}

}  // namespace

std::wstring mountOverlappingSource(const WideString& from, const WideString& folder, bool below) {
    MountedFolder source;
    MountedFolder written;
    if (!placeMounted(from, &source) || !placeMounted(folder, &written)) return std::wstring();
    std::vector<MountRecord> table = platformMountTable();
    std::wstring point = below ? mountShowingBelow(table, written.path, source) : std::wstring();
    return point.empty() ? mountHolding(table, written, source) : point;
}

int checkMountsInDestination(const WideString& from, const WideString& to) {
    std::wstring point = mountOverlappingSource(from, to, true);
    if (point.empty()) return RUN_OK;
    return refuse(RUN_SOURCE_INSIDE_DEST, WideString(L"! Error => Source dir [") + from + L"] and destination dir [" +
                                              to + L"] overlap through the mount on [" + WideString(point.c_str()) +
                                              L"].");
}

int guardDestination(const WideString& to) {
    SystemResult held = platformGuardTree(to.buffer);
    if (held) return RUN_OK;
    return refuseUnopened(RUN_NO_DEST, RUN_DEST_UNOPENED, L"Destination", to, held.reason);
}

// A waiting run looks again five times a second, the front end kept alive meanwhile.
int lockDestination(const WideString& to, const RunOptions& options, DestinationLock* held) {
    if (options.dryRun) return RUN_OK;
    int64_t lookedAt = 0;
    for (;;) {
        long holder = 0;
        int reason = 0;
        LockOutcome outcome = platformLockGuardedTree(&held->lock, &holder, &reason);
        if (outcome == LOCK_TAKEN) return RUN_OK;
        if (outcome == LOCK_FAILED && platformErrorIsMissing(reason)) {
            return refuse(RUN_NO_DEST, WideString(L"! Error => Destination dir [") + to + L"] is not exist.");
        }
        if (outcome == LOCK_FAILED) {
            // The runs' own folder could not be had: two runs could then mix in To.
            return refuse(RUN_DEST_LOCKED, WideString(L"! Error => Destination dir can not be locked [") + to + L"]: " +
                                               WideString(platformReasonText(reason).c_str()) + L".");
        }
        WideString by = holder > 0 ? WideString(L" (process ") + decimalText(holder) + L")" : WideString();
        if (!options.waitForLock) {
            return refuse(RUN_DEST_LOCKED,
                          WideString(L"! Error => Destination dir is in use by another run [") + to + L"]" + by + L".");
        }
        if (lookedAt == 0) {
            showStatus(STATUS_NOTICE, WideString(L"Waiting for another run on [") + to + L"]" + by + L" to end...");
        }
        lookedAt = platformMilliseconds();
        while (platformMilliseconds() - lookedAt < 200) {
            if (runStopRequested()) {
                reportWalkResult(WALK_BROKEN);
                return WALK_BROKEN;
            }
            pumpMessages();
            platformSleep(20);
        }
    }
}

int lockDestinationForWatch(const WideString& to, const RunOptions& options, DestinationLock* held) {
    int guarded = guardDestination(to);
    if (guarded != RUN_OK) return guarded;
    int locked = lockDestination(to, options, held);
    platformReleaseTree();  // the lock is of the tree's identity, and stays
    return locked;
}
