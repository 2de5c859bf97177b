// Every request against a real warehouse-server process: what the tool sends, the server keeps
// and gives back.
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "common/ChildProcess.h"
#include "common/RecordingUserNotice.h"
#include "common/TempTree.h"
#include "common/WarehouseServerProcess.h"
#include "common/Workstation.h"
#include "env/WarehouseFuncs.h"
#include "warehouse/WarehouseTrans.h"

using namespace wh;
using namespace wh::warehouse;
using nlohmann::ordered_json;
using test::ReadFile;

namespace {

class ServerRequestTest : public ::testing::Test, protected test::Workstation
{
protected:
    ServerRequestTest()
        : server(tree.Path("server-data"))
        , session(env)
    {
        EXPECT_TRUE(server.AddUser("Acme", "jdoe", "pw1", 11, 22, 33, 44, 55));
        EXPECT_TRUE(server.AddUser("Other", "eve", "pw2", 99, 1, 1, 1, 66));
        session.SetServerBase(server.BaseUrl() + "/");
        session.SetSessionCredentials("Acme/jdoe", "pw1");
    }

    test::WarehouseServerProcess server;
    WarehouseSession session;
};

// A real ZIP archive (the server refuses anything else) holding one member of `size` bytes.
std::string MakeArchive(const test::TempTree& tree, const std::string& name, std::size_t size)
{
    std::string content(size, '\0');
    for (std::size_t i = 0; i < content.size(); ++i) {
        content[i] = static_cast<char>((i * 31) >> 3);
    }
    const std::string member = tree.Write("members/data.bin", content);
    const std::string archive = tree.Path(name);
    std::filesystem::create_directories(std::filesystem::path(archive).parent_path());
    EXPECT_EQ(test::RunCommand({ "zip", "-q", "-j", archive, member }), 0);
    return archive;
}

std::string Document(int version, const std::string& insured)
{
    return ordered_json {
        { "claimnumber", "CN-1" },        { "policynumber", "POL-9" },    { "adj_lastname", "Adams" },
        { "prim_ins_lastname", insured }, { "loss_city", "Springfield" }, { "loss_state", "IL" },
        { "loss_zipcode", "62701" },      { "dateofloss", "2026-01-15" }, { "claim_version", version }
    }.dump();
}

} // namespace

TEST_F(ServerRequestTest, SignInNamesTheOrganisationAndRefusalsAreAnswers)
{
    const auto status = ordered_json::parse(Authenticate(session));
    EXPECT_EQ(GetJSONInteger(status, "companyid"), 11);
    EXPECT_EQ(GetJSONInteger(status, "regionid"), 22);
    EXPECT_EQ(GetJSONInteger(status, "officeid"), 33);
    EXPECT_EQ(GetJSONInteger(status, "departmentid"), 44);
    EXPECT_EQ(GetJSONInteger(status, "id"), 55);

    session.SetSessionCredentials("Acme/jdoe", "wrong");
    const std::string refusal = Authenticate(session);
    EXPECT_NE(refusal, "400");
    EXPECT_NE(refusal, "500");
    EXPECT_FALSE(GetJSONInteger(ordered_json::parse(refusal, nullptr, false), "id")); // the caller's failed sign-in
}

TEST_F(ServerRequestTest, ClaimsTravelUpAndDownWithTheirVersions)
{
    EXPECT_EQ(ordered_json::parse(GetClaimList(session)), ordered_json::array());
    const std::string first = GetClaimSequences(session);
    const std::string second = GetClaimSequences(session);
    ASSERT_FALSE(first.empty());
    EXPECT_NE(first, second);

    const std::string archivePath = MakeArchive(tree, "upload/" + first + ".KVZ", 1 << 20);
    const std::string archive = ReadFile(archivePath);
    EXPECT_FALSE(PutClaimFile(session, first, archivePath).empty());
    EXPECT_FALSE(PutClaimJSON(session, first, Document(3, "Smith")).empty()) << session.LastServerMessage();

    const auto list = ordered_json::parse(GetClaimList(session));
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0]["id"].dump(), first);
    EXPECT_EQ(list[0]["version"], 3);

    EXPECT_EQ(ordered_json::parse(GetClaimJSONData(session, first))["claim_version"], 3);
    EXPECT_EQ(GetClaimFile(session, first), first);
    EXPECT_EQ(ReadFile(tree.Path("claims/Warehouse/Downloads/" + first + ".kvz")), archive);

    // Another company sees none of it.
    session.SetSessionCredentials("Other/eve", "pw2");
    EXPECT_EQ(ordered_json::parse(GetClaimList(session)), ordered_json::array());
    EXPECT_EQ(GetClaimJSONData(session, first), "");
    EXPECT_THROW(GetClaimFile(session, first), RequestFailure);
}

TEST_F(ServerRequestTest, SearchFindsUploadedClaims)
{
    const std::string id = GetClaimSequences(session);
    ASSERT_TRUE(PutClaimJSON(session, id, Document(1, "Smithers")).size() > 0) << session.LastServerMessage();
    const std::string query = R"({"insured_lastname":"smith","adjuster_lastname":"","policy_num":"","claim_num":"",)"
                              R"("date_range":{"start_date":"","end_date":""},"option":{"search_scope":"company"}})";
    const auto answer = ordered_json::parse(SearchClaims(session, query));
    EXPECT_EQ(answer["total"], 1);
    ASSERT_EQ(answer["results"].size(), 1u);
    EXPECT_EQ(answer["results"][0]["insured_lastname"], "Smithers");
    EXPECT_EQ(answer["results"][0]["date_of_loss"], "2026-01-15");
}

TEST_F(ServerRequestTest, AuxiliaryArchivesRoundTrip)
{
    EXPECT_EQ(ordered_json::parse(AuxGetList(session)), ordered_json::array());
    const std::string archivePath = MakeArchive(tree, "PHB.AUX", 5000);
    EXPECT_EQ(AuxPutFile(session, archivePath, "PHB"), "ok");
    EXPECT_EQ(session.LastServerMessage(), "");

    const auto list = ordered_json::parse(AuxGetList(session));
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0]["type"], "PHB");
    EXPECT_EQ(list[0]["date_modified"].get<std::string>().size() >= 10, true);

    const std::string target = tree.Path("PHB.PHB");
    EXPECT_EQ(AuxGetFile(session, target, "PHB"), "ok");
    EXPECT_EQ(ReadFile(target), ReadFile(archivePath));

    // An unknown code is refused with a status of its own: no result, the status in the message.
    EXPECT_EQ(AuxPutFile(session, archivePath, "XYZ"), "");
    EXPECT_EQ(session.LastServerMessage(), "Error Code : 404\r\nNot Found");
}
