// --version on every program: one line with the project's version and the commit, exit 0; the
// tray program answers it without a display and without touching a running instance.
#include <gtest/gtest.h>

#include <filesystem>
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
        // "NAME VERSION (commit COMMIT)\n"; read by hand, std::regex draws false warnings from the
        // sanitizer build's compiler.
        const std::string head = name + " " WH_PROJECT_VERSION_TEXT " (commit ";
        const std::string tail = ")\n";
        ASSERT_GT(output.size(), head.size() + tail.size()) << output;
        EXPECT_EQ(output.substr(0, head.size()), head) << output;
        EXPECT_EQ(output.substr(output.size() - tail.size()), tail) << output;
        const std::string commit = output.substr(head.size(), output.size() - head.size() - tail.size());
        EXPECT_EQ(commit.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789._+~-"),
                  std::string::npos)
            << output;
    }
#ifdef WH_HAS_TRAY
    // Its help too is answered without a display.
    std::string help;
    EXPECT_EQ(test::RunCommand({ "env", "-u", "DISPLAY", "-u", "WAYLAND_DISPLAY", "-u", "QT_QPA_PLATFORM",
                                 "XDG_RUNTIME_DIR=" + runtime, WH_BINARY_DIR "/src/whupload", "--help" },
                               &help, {}, 60000, test::Collect::OutputAndErrors),
              0)
        << help;
    EXPECT_EQ(help.rfind("Usage: whupload [DEBUG]\n", 0), 0u) << help;
#endif
    // Neither the instance lock nor its socket was made.
    EXPECT_TRUE(std::filesystem::is_empty(runtime));
}
