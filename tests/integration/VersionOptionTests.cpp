// --version on every program: one line with the project's version and the commit, exit 0; the
// tray program answers it without a display and without touching a running instance.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "common/ChildProcess.h"
#include "common/TempTree.h"

using namespace wh;

TEST(VersionOption, EveryProgramPrintsItsVersionAndCommit)
{
    std::vector<std::pair<std::string, std::string>> programs {
        { "whupload-cli", WH_BINARY_DIR "/cli/whupload-cli" },
        { "warehouse-server", WH_BINARY_DIR "/server/warehouse-server" },
    };
#ifdef WH_HAS_TRAY
    programs.emplace_back("whupload", WH_BINARY_DIR "/src/whupload");
#endif
    test::TempTree tree;
    const std::string runtime = tree.MakeDir("runtime");
    for (const auto& [name, path] : programs) {
        SCOPED_TRACE(name);
        // No display of any kind: the tray program must not need one to answer.
        std::string output;
        EXPECT_EQ(test::RunCommand({ "env", "-u", "DISPLAY", "-u", "WAYLAND_DISPLAY", "-u", "QT_QPA_PLATFORM",
                                     "XDG_RUNTIME_DIR=" + runtime, path, "--version" },
                                   &output, {}, 60000, test::Collect::OutputAndErrors),
                  0)
            << output;
        const std::regex line(name + " " WH_PROJECT_VERSION_TEXT R"( \(commit ([0-9a-f]{7,}|[A-Za-z0-9._+~-]+)\)\n)");
        EXPECT_TRUE(std::regex_match(output, line)) << output;
    }
    // Neither the instance lock nor its socket was made.
    EXPECT_TRUE(std::filesystem::is_empty(runtime));
}
