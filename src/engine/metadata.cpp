// The comparison of an entry's metadata with its source's, and the tables of names of one file.
#include "engine/metadata.h"

#include <mutex>

#include "fs/changes.h"
#include "platform/platform.h"

KeptMetadata keptMetadata(const RunOptions& options) {
    KeptMetadata keep{options.keepOwners, options.keepXattrs, options.keepAcls};
    keep.verify = options.verify;
    keep.record = options.verify || options.checksum;
    return keep;
}

// The statuses decide first: attributes are read only when they do not
// make the entry anew already.
MendKind metadataMend(const RunState& run, const WideString& source, const WideString& target,
                      const EntryState& sourceState, const EntryState& existing, int* reason) {
    *reason = 0;
    KeptMetadata keep = keptMetadata(run.options);
    bool ownMode = platformOwnModeDiffer(sourceState.status, existing.status, keep);
    // A volume that holds no owners moves none: where that is not known yet,
    // it is learned once (never in a dry run) before the entry is made anew.
    if (ownMode && platformMendGrants(target.buffer, sourceState.status, existing.status, keep) &&
        (!changeProbeOwners(*run.changes, target.Left(target.FindLastSeparator()).buffer) ||
         platformMendGrants(target.buffer, sourceState.status, existing.status, keep))) {
        return MEND_ANEW;
    }
    if (!keep.xattrs && !keep.acls) return ownMode ? MEND_IN_PLACE : MEND_NONE;
    bool differ = false;
    bool grants = false;
    SystemResult compared = platformExtrasDiffer(source.buffer, target.buffer, keep, &differ, &grants);
    if (!compared) *reason = compared.reason;
    if (grants) return MEND_ANEW;
    return ownMode || differ ? MEND_IN_PLACE : MEND_NONE;
}

// A To file of one name is no one else's copy; one of several names is
// claimed by the first From file found facing it, and any other From file
// facing it later has it made afresh, so that a name that left its file in
// From leaves it in To too, whichever name the walk meets first. A From file
// of one name whose copy is to be replaced anyway claims nothing: the copy
// takes the name away from the others.
LinkFinding findLinks(LinkGroups* groups, const EntryState& source, const EntryState& existing, bool replaced) {
    LinkFinding finding{LINK_NONE, false, nullptr};
    std::lock_guard<std::mutex> held(groups->lock);
    LinkGroups& links = *groups;
    const EntryStatus& from = source.status;
    bool several = from.linkCount > 1;
    if (several) {
        auto first = links.firsts.find(from.identity);
        if (first != links.firsts.end()) {
            finding.first = &first->second;
            bool same = first->second.known && existing.queried && !existing.status.isLink &&
                        sameIdentity(existing.status.identity, first->second.identity);
            finding.step = same ? LINK_UP_TO_DATE : LINK_DUE;
            return finding;
        }
        finding.step = LINK_FIRST;
    }
    if (existing.queried && existing.status.isRegular && !existing.status.isLink && existing.status.linkCount > 1 &&
        (several || !replaced)) {
        auto claim = links.claims.emplace(existing.status.identity, from.identity).first;
        finding.shared = !sameIdentity(claim->second, from.identity);
    }
    return finding;
}

void noteFirstCopy(LinkGroups* links, const EntryState& source, const WideString& target,
                   const DirectoryIdentity* identity) {
    FirstCopy copy{target, identity ? *identity : DirectoryIdentity{0, 0}, identity != nullptr};
    std::lock_guard<std::mutex> held(links->lock);
    links->firsts.emplace(source.status.identity, copy);
}
