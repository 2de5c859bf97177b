#pragma once

#include <string>

#include "common/RecordingUserNotice.h"
#include "common/TempTree.h"
#include "env/WarehouseFuncs.h"
#include "support/text/Clock.h"

namespace wh::test {

// A workstation in a temporary tree: the program folder with DBAlias.ini naming the claims
// directory (with its Warehouse, Downloads and Uploads folders), the local data folder and the
// temporary folder, a recording UserNotice, a fixed clock and the environment built on them.
struct Workstation
{
    Workstation()
        : programEnv("WHUPLOAD_PROGRAM_DIR", tree.MakeDir("prog"))
        , dataEnv("XDG_DATA_HOME", tree.Path("data"))
        , tmpEnv("TMPDIR", tree.MakeDir("tmp"))
        , env(notice, clock, [] {})
    {
        tree.Write("prog/DBAlias.ini", "KVXClaimsDB=" + tree.Path("claims") + "\r\n");
        tree.MakeDir("claims/Warehouse/Downloads");
        tree.MakeDir("claims/Warehouse/Uploads");
    }

    std::string ClaimsPath(const std::string& relative) const { return tree.Path("claims/" + relative); }

    TempTree tree;
    ScopedEnv programEnv;
    ScopedEnv dataEnv;
    ScopedEnv tmpEnv;
    RecordingUserNotice notice;
    text::FixedClock clock { text::EncodeDateTime({ 2026, 3, 4, 14, 5, 9 }) };
    env::WarehouseEnv env;
};

} // namespace wh::test
