// Which mount below the To Folder shows the From Folder: judged from tables
// of mounts as the system writes them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fs/mounts.h"

namespace {

// The system's own mounts under every case: the top, and a volume on /srv.
const std::vector<MountRecord> kBase = {
    {L"8:1", L"/", L"/"},
    {L"8:2", L"/", L"/srv"},
};

TEST(Mounts, WhichMountShowsFromInsideTo) {
    struct Case {
        const char* what;
        std::vector<MountRecord> added;  // mounted after the base, in this order
        std::wstring from;
        std::wstring to;
        std::wstring shown;  // the point told, or empty
    };
    const std::vector<Case> cases = {
        {"nothing mounted below To", {}, L"/home/u", L"/backup", L""},
        {"From itself bound in To", {{L"8:1", L"/home/u", L"/backup/y"}}, L"/home/u", L"/backup", L"/backup/y"},
        {"a folder of From bound in To",
         {{L"8:1", L"/home/u/docs/2024", L"/backup/old"}},
         L"/home/u",
         L"/backup",
         L"/backup/old"},
        {"a folder holding From bound in To",
         {{L"8:1", L"/home", L"/backup/homes"}},
         L"/home/u",
         L"/backup",
         L"/backup/homes"},
        {"the whole volume bound on To itself", {{L"8:1", L"/", L"/backup"}}, L"/home/u", L"/backup", L"/backup"},
        {"a sibling of From bound in To", {{L"8:1", L"/home/v", L"/backup/v"}}, L"/home/u", L"/backup", L""},
        {"a name that only begins as From's", {{L"8:1", L"/home/u2", L"/backup/u2"}}, L"/home/u", L"/backup", L""},
        {"the same folder name on another volume", {{L"8:3", L"/home/u", L"/backup/y"}}, L"/home/u", L"/backup", L""},
        {"From's volume mounted beside To only", {{L"8:1", L"/home/u", L"/backup2/y"}}, L"/home/u", L"/backup", L""},
        {"From on a volume of its own, a folder of it in To",
         {{L"8:2", L"/photos/2024", L"/backup/p"}},
         L"/srv/photos",
         L"/backup",
         L"/backup/p"},
        {"From on a bind mount, found by the folder it shows",
         {{L"8:2", L"/data", L"/mnt/data"}, {L"8:2", L"/data/photos/2024", L"/backup/p"}},
         L"/mnt/data/photos",
         L"/backup",
         L"/backup/p"},
        {"From on a bind mount, another part of the volume in To",
         {{L"8:2", L"/data", L"/mnt/data"}, {L"8:2", L"/photos", L"/backup/p"}},
         L"/mnt/data/photos",
         L"/backup",
         L""},
        {"a bind of From covered by a later mount on its point",
         {{L"8:1", L"/home/u", L"/backup/y"}, {L"8:3", L"/", L"/backup/y"}},
         L"/home/u",
         L"/backup",
         L""},
        {"From below a mount that covers its first volume",
         {{L"8:4", L"/", L"/home"}, {L"8:1", L"/home", L"/backup/h"}},
         L"/home/u",
         L"/backup",
         L""},
        {"To on another volume, From's shown below it",
         {{L"8:3", L"/", L"/backup"}, {L"8:1", L"/home", L"/backup/h"}},
         L"/home/u",
         L"/backup",
         L"/backup/h"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<MountRecord> table = kBase;
        table.insert(table.end(), c.added.begin(), c.added.end());
        EXPECT_EQ(mountShowing(table, c.to, c.from), c.shown);
    }
}

}  // namespace
