// Which mount shows the From Folder inside a folder a run writes in: judged
// from tables of mounts as the system writes them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fs/mounts.h"

namespace {

// A mount of the table; seen: its point leads to it.
MountRecord mount(uint64_t id, const wchar_t* volume, const wchar_t* root, const wchar_t* point, bool seen = true) {
    return MountRecord{id, volume, root, point, seen};
}

// The system's own mounts under every case: the top, and a volume on /srv.
std::vector<MountRecord> withBase(const std::vector<MountRecord>& added) {
    std::vector<MountRecord> table = {mount(1, L"8:1", L"/", L"/"), mount(2, L"8:2", L"/", L"/srv")};
    table.insert(table.end(), added.begin(), added.end());
    return table;
}

TEST(Mounts, WhichMountBelowToShowsFrom) {
    struct Case {
        const char* what;
        std::vector<MountRecord> added;
        const wchar_t* from;   // From's path
        uint64_t fromMount;    // the mount it lies on, or 0
        const wchar_t* shown;  // the point told below /backup, or empty
    };
    const std::vector<Case> cases = {
        {"nothing mounted below To", {}, L"/home/u", 1, L""},
        {"From itself bound in To", {mount(10, L"8:1", L"/home/u", L"/backup/y")}, L"/home/u", 1, L"/backup/y"},
        {"a folder of From bound in To",
         {mount(10, L"8:1", L"/home/u/docs", L"/backup/old")},
         L"/home/u",
         1,
         L"/backup/old"},
        {"a folder holding From bound in To", {mount(10, L"8:1", L"/home", L"/backup/h")}, L"/home/u", 1, L"/backup/h"},
        {"the whole volume bound on To itself", {mount(10, L"8:1", L"/", L"/backup")}, L"/home/u", 1, L"/backup"},
        {"a sibling of From bound in To", {mount(10, L"8:1", L"/home/v", L"/backup/v")}, L"/home/u", 1, L""},
        {"a name that only begins as From's", {mount(10, L"8:1", L"/home/u2", L"/backup/u2")}, L"/home/u", 1, L""},
        {"the same folder name on another volume", {mount(10, L"8:3", L"/home/u", L"/backup/y")}, L"/home/u", 1, L""},
        {"From's volume mounted beside To only", {mount(10, L"8:1", L"/home/u", L"/backup2/y")}, L"/home/u", 1, L""},
        {"From on a volume of its own, a folder of it in To",
         {mount(10, L"8:2", L"/photos/24", L"/backup/p")},
         L"/srv/photos",
         2,
         L"/backup/p"},
        {"From on a bind mount, by the folder it shows",
         {mount(10, L"8:2", L"/data", L"/mnt/data"), mount(11, L"8:2", L"/data/photos/24", L"/backup/p")},
         L"/mnt/data/photos",
         10,
         L"/backup/p"},
        {"From on a bind mount, another part of its volume in To",
         {mount(10, L"8:2", L"/data", L"/mnt/data"), mount(11, L"8:2", L"/photos", L"/backup/p")},
         L"/mnt/data/photos",
         10,
         L""},
        {"a bind of From under a mount on its point",
         {mount(10, L"8:1", L"/home/u", L"/backup/y", false), mount(11, L"8:3", L"/", L"/backup/y")},
         L"/home/u",
         1,
         L""},
        {"a bind of From moved over a mount listed after it",
         {mount(10, L"8:1", L"/home/u", L"/backup/y"), mount(11, L"8:3", L"/", L"/backup/y", false)},
         L"/home/u",
         1,
         L"/backup/y"},
        {"a bind of From hidden by a mount above it",
         {mount(10, L"8:1", L"/home/u", L"/backup/y", false), mount(11, L"8:3", L"/", L"/backup")},
         L"/home/u",
         1,
         L""},
        {"From on a mount that hides the one below it",
         {mount(10, L"8:4", L"/", L"/p/q", false), mount(11, L"8:5", L"/", L"/p"),
          mount(12, L"8:5", L"/q/from", L"/backup/x")},
         L"/p/q/from",
         11,
         L"/backup/x"},
        {"the same, the system not telling From's mount",
         {mount(10, L"8:4", L"/", L"/p/q", false), mount(11, L"8:5", L"/", L"/p"),
          mount(12, L"8:5", L"/q/from", L"/backup/x")},
         L"/p/q/from",
         0,
         L"/backup/x"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(mountShowingBelow(withBase(c.added), L"/backup", MountedFolder{c.from, c.fromMount}), c.shown);
    }
}

TEST(Mounts, WhichMountHoldsAFolderOfFrom) {
    struct Case {
        const char* what;
        std::vector<MountRecord> added;
        const wchar_t* inside;   // the folder a run writes in
        uint64_t insideMount;    // the mount it lies on
        const wchar_t* holding;  // the point told, or empty
    };
    const std::vector<Case> cases = {
        {"To a bind of a folder of From", {mount(10, L"8:1", L"/home/u/sub", L"/backup")}, L"/backup", 10, L"/backup"},
        {"a versions folder on a bind of From's parent",
         {mount(10, L"8:1", L"/home", L"/mnt/h")},
         L"/mnt/h/u/versions",
         10,
         L"/mnt/h"},
        {"a bind of another folder", {mount(10, L"8:1", L"/home/v", L"/backup")}, L"/backup", 10, L""},
        {"a folder beside From on its mount", {}, L"/backup", 1, L""},
        {"a folder below From by its path: the folder checks tell", {}, L"/home/u/v", 1, L""},
        {"another volume", {mount(10, L"8:3", L"/home/u", L"/backup")}, L"/backup", 10, L""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(mountHolding(withBase(c.added), MountedFolder{c.inside, c.insideMount}, MountedFolder{L"/home/u", 1}),
                  c.holding);
    }
}

}  // namespace
