// Runs every file of the server answer fuzzer's corpus (the seeds and every former finding)
// through the fuzz target's own entry point, so the corpus keeps guarding the readers in the
// ordinary build, without clang; a reader that crashes, breaks a promise or hangs fails its file's
// test. The answers taken from warehouse-server are also checked to be read as the tool needs.
#include <gtest/gtest.h>

#include "app/UploadRun.h"
#include "auxfiles/AuxTransfer.h"
#include "common/RecordingUserNotice.h"
#include "restore/ClaimDownload.h"
#include "restore/ClaimSearch.h"
#include "upload/ProcessClaims.h"

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

const std::filesystem::path kCorpus = std::filesystem::path(WH_SOURCE_DIR) / "tests/warehouse/fuzz/corpus";

std::string ReadWhole(const std::filesystem::path& path)
{
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

std::vector<std::string> CorpusFiles()
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(kCorpus)) {
        if (entry.is_regular_file()) {
            names.push_back(entry.path().filename().string());
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

// The answer of a corpus file, without the byte that picks the reader.
std::string Body(const std::string& name)
{
    const std::string input = ReadWhole(kCorpus / name);
    return input.empty() ? input : input.substr(1);
}

class ServerAnswerCorpus : public testing::TestWithParam<std::string>
{
};

TEST_P(ServerAnswerCorpus, IsReadWithoutFault)
{
    const std::string input = ReadWhole(kCorpus / GetParam());
    ASSERT_FALSE(input.empty()) << GetParam();
    EXPECT_EQ(LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(input.data()), input.size()), 0);
}

INSTANTIATE_TEST_SUITE_P(Files, ServerAnswerCorpus, testing::ValuesIn(CorpusFiles()),
                         [](const testing::TestParamInfo<std::string>& info) {
                             std::string name = info.param;
                             std::replace_if(
                                 name.begin(), name.end(),
                                 [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); }, '_');
                             return name;
                         });

TEST(ServerAnswerCorpus, HoldsTheServersOwnAnswersAndTheyAreRead)
{
    const auto identity = wh::app::ReadSignInIdentity(Body("server-signin"));
    ASSERT_TRUE(identity.has_value());
    EXPECT_EQ(identity->CompanyID, 10);
    EXPECT_EQ(identity->ServerUserID, 7);

    const auto list = wh::json::Parse(Body("server-claimlist"));
    ASSERT_TRUE(list && list->is_array());
    const wh::upload::ServerClaimIndex index(*list);
    EXPECT_EQ(index.Size(), list->size());
    EXPECT_GE(index.Size(), 2U);

    EXPECT_GT(wh::upload::ParseServerClaimId(Body("server-sequence")), 0);

    wh::test::RecordingUserNotice notice;
    const auto rows = wh::restore::ReadSearchAnswer(Body("server-search"), 2026, notice);
    ASSERT_TRUE(rows.has_value());
    ASSERT_FALSE(rows->empty());
    EXPECT_GT(rows->front().claimUid, 0);
    EXPECT_TRUE(rows->front().dateOfLoss.has_value());

    std::string problem;
    const auto dates = wh::auxfiles::ParseAuxList(Body("server-auxlist"), &problem);
    ASSERT_TRUE(dates.has_value()) << problem;
    EXPECT_FALSE(dates->empty());

    EXPECT_TRUE(wh::restore::ServerVersion(Body("server-document")).has_value());

    EXPECT_TRUE(wh::auxfiles::RefusalMessage(Body("server-refusal")).has_value());
}

// The reason a refused sign-in or an unreadable claim list shows: the server's words, never
// nothing, and never more than a balloon's line.
TEST(ServerAnswerReaders, ShowTheServersWordsForARefusal)
{
    const std::string longReason(500, 'x');
    const struct
    {
        std::string answer;
        std::string shown;
    } cases[] = {
        { R"({"msg":"Invalid user name or password"})", "Invalid user name or password" },
        { R"({"msg":""})", R"({"msg":""})" },
        { R"({"msg":"  "})", R"({"msg":"  "})" },
        { R"({"msg":null})", R"({"msg":null})" },
        { "{\"msg\":\"" + longReason + "\"}", std::string(200, 'x') + "..." },
        { "<html>" + longReason + "</html>", ("<html>" + longReason).substr(0, 200) + "..." },
        { " \r\n", "The server sent an empty answer." },
        { "", "The server sent an empty answer." },
    };
    for (const auto& c : cases) {
        EXPECT_EQ(wh::app::AnswerForMessage(c.answer), c.shown) << c.answer;
    }
}

// An answer nested deeper than any document of the warehouse (a broken proxy, a hostile server)
// is no answer the tool can use: every reader takes it as unreadable, and none runs out of stack
// on it. Two million levels, far beyond what one thread's stack could walk.
TEST(ServerAnswerReaders, TakeAnAnswerNestedBeyondAnyDocumentAsUnreadable)
{
    constexpr std::size_t kLevels = 2'000'000;
    const std::string lists = std::string(kLevels, '[') + std::string(kLevels, ']');
    const std::string inMessage = "{\"msg\":" + lists + "}";

    EXPECT_FALSE(wh::json::Parse(lists).has_value());
    EXPECT_FALSE(wh::json::Parse(inMessage).has_value());
    EXPECT_FALSE(wh::app::ReadSignInIdentity(inMessage).has_value());
    EXPECT_EQ(wh::app::AnswerForMessage(inMessage).size(), 203U); // the text cut to one line's worth
    std::string problem;
    EXPECT_FALSE(wh::auxfiles::ParseAuxList("[" + lists + "]", &problem).has_value());
    EXPECT_FALSE(problem.empty());
    EXPECT_FALSE(wh::auxfiles::RefusalMessage(inMessage).has_value());
    EXPECT_FALSE(wh::restore::ServerVersion("{\"claim_version\":1,\"x\":" + lists + "}").has_value());
    wh::test::RecordingUserNotice notice;
    EXPECT_FALSE(wh::restore::ReadSearchAnswer("{\"total\":1,\"results\":[" + lists + "]}", 2026, notice));
}

// Ordinary nesting stays readable: the deepest the warehouse itself accepts (32 levels) and well
// beyond.
TEST(ServerAnswerReaders, ReadAnswersNestedAsDeepAsDocumentsGo)
{
    for (const std::size_t levels : { 32U, 200U }) {
        const std::string lists = std::string(levels, '[') + std::string(levels, ']');
        const auto value = wh::json::Parse("{\"msg\":\"refused\",\"detail\":" + lists + "}");
        ASSERT_TRUE(value.has_value()) << levels;
        EXPECT_EQ(wh::json::MemberText(*value, "detail"), lists);
    }
}

} // namespace
