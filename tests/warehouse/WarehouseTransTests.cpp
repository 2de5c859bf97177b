// The requests against the scripted HTTPS server. Its answers are chosen by the first segments of
// the path, so a server base of BASE/status/403 makes every request meet a 403.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "common/RecordingUserNotice.h"
#include "common/ScriptedServer.h"
#include "common/TempTree.h"
#include "common/Workstation.h"
#include "env/WarehouseFuncs.h"
#include "warehouse/WarehouseTrans.h"

using namespace wh;
using namespace wh::warehouse;
using test::ReadFile;

namespace {

class RequestTest : public ::testing::Test, protected test::Workstation
{
protected:
    RequestTest()
        : session(env)
    {
        session.SetLastServerMessage("earlier failure");
    }

    // Every request of the session meets what `script` scripts.
    void Script(const std::string& script) { session.SetServerBase(test::SharedScriptedServer().BaseUrl() + script); }

    std::string FailureLog(const std::string& name) const
    {
        const std::string path = tree.Path("claims/Warehouse/" + name);
        return std::filesystem::exists(path) ? ReadFile(path) : std::string();
    }

    WarehouseSession session;
};

const std::string kStamp = " @ 03/04/2026 2:05:09 PM\r\n";

} // namespace

TEST_F(RequestTest, SignInAndClaimListMapOutcomesToTheirResultTexts)
{
    Script("/status/401");
    EXPECT_EQ(Authenticate(session), "body 401"); // a refusal is an answer, not a failure
    EXPECT_EQ(session.LastServerMessage(), "earlier failure");

    Script("/status/403");
    EXPECT_EQ(Authenticate(session), "500");
    EXPECT_EQ(session.LastServerMessage(), "Error Code : 403\r\nForbidden");
    EXPECT_EQ(GetClaimList(session), "500");
    EXPECT_EQ(session.LastServerMessage(), "Internet Error Code : 403\r\nForbidden");

    session.SetServerBase("https://127.0.0.1:" + std::to_string(test::ClosedLoopbackPort()));
    EXPECT_EQ(Authenticate(session), "500");
    EXPECT_EQ(session.LastServerMessage().rfind("Error Code : 7\r\n", 0), 0u);
    EXPECT_EQ(FailureLog("Authenticate.txt"), ""); // transfer failures are not logged here
}

TEST_F(RequestTest, SequencesAndDocumentDownloadsLogEveryFailure)
{
    Script("/status/500");
    EXPECT_EQ(GetClaimSequences(session), "");
    EXPECT_EQ(FailureLog("Seq_Claims.txt"),
              "~~~~~Claim Sequence INFORMATION" + kStamp + "500\r\nInternal Server Error\r\n");
    EXPECT_EQ(GetClaimJSONData(session, "57"), "");
    EXPECT_EQ(FailureLog("GetClaimJSONData.txt"),
              "~~~~~Claim JSON INFORMATION" + kStamp + "500\r\nInternal Server Error\r\n");
    EXPECT_EQ(session.LastServerMessage(), "earlier failure");

    Script("/echo");
    EXPECT_NE(GetClaimSequences(session).find("\"path\": \"/echo/api/sequences/claims\""), std::string::npos);
}

TEST_F(RequestTest, PutClaimFileSendsTheArchiveAndLogsFailuresUnderItsPath)
{
    const std::string archive = tree.Write("up/57.KVZ", std::string(5000, 'z'));
    Script("/echo");
    const std::string answer = PutClaimFile(session, "57", archive);
    EXPECT_NE(answer.find("\"path\": \"/echo/api/claims/57.kvz\""), std::string::npos) << answer;
    EXPECT_NE(answer.find("\"received\": 5000"), std::string::npos);

    Script("/status/404");
    EXPECT_EQ(PutClaimFile(session, "57", archive), "");
    EXPECT_EQ(FailureLog("PutClaimLog.txt"), "~~~~~Claim Upload Dat " + archive + kStamp + "404\r\nNot Found\r\n");
    EXPECT_THROW(PutClaimFile(session, "57", tree.Path("up/missing.KVZ")), FileError);
}

TEST_F(RequestTest, PutClaimJsonKeepsTheLastDocumentAndNeedsStatus200)
{
    Script("/echo");
    EXPECT_NE(PutClaimJSON(session, "57", "{\"a\":1}").find("\"received\": 7"), std::string::npos);
    EXPECT_NE(PutClaimJSON(session, "57", "{\"b\":22}").find("\"received\": 8"), std::string::npos);
    EXPECT_EQ(ReadFile(tree.Path("claims/Warehouse/Uploads/57.json")), "{\"b\":22}");

    Script("/status/201");
    EXPECT_EQ(PutClaimJSON(session, "57", "{}"), "");
    EXPECT_EQ(session.LastServerMessage(), "body 201");
    EXPECT_EQ(FailureLog("PutJSONLog.txt"), "");

    Script("/status/500");
    EXPECT_EQ(PutClaimJSON(session, "58", "{}"), "");
    EXPECT_EQ(session.LastServerMessage(), "500\r\nInternal Server Error");
    EXPECT_EQ(FailureLog("PutJSONLog.txt"), "~~~~~Claim JSON DATA 58" + kStamp + "500\r\nInternal Server Error\r\n");

    std::filesystem::remove_all(tree.Path("claims/Warehouse/Uploads"));
    EXPECT_THROW(PutClaimJSON(session, "59", "{}"), FileError);
}

TEST_F(RequestTest, ClaimDownloadRaisesFailuresAndKeepsWhatArrived)
{
    Script("/big?bytes=200000&x=");
    EXPECT_EQ(GetClaimFile(session, "57"), "57");
    EXPECT_EQ(std::filesystem::file_size(tree.Path("claims/Warehouse/Downloads/57.kvz")), 200000u);

    Script("/cut");
    EXPECT_THROW(GetClaimFile(session, "58"), RequestFailure);
    EXPECT_EQ(ReadFile(tree.Path("claims/Warehouse/Downloads/58.kvz")), "partial!!!");

    Script("/status/404");
    EXPECT_THROW(GetClaimFile(session, "59"), RequestFailure);
    EXPECT_TRUE(std::filesystem::exists(tree.Path("claims/Warehouse/Downloads/59.kvz")));
    EXPECT_EQ(session.LastServerMessage(), "earlier failure");
}

TEST_F(RequestTest, SearchKeepsTheQueryAndReturnsFailureTexts)
{
    Script("/echo");
    const std::string query = "{\"insured_lastname\":\"smith\"}";
    EXPECT_NE(SearchClaims(session, query).find("\"method\": \"POST\""), std::string::npos);
    EXPECT_EQ(ReadFile(tree.Path("claims/Warehouse/Uploads/ClaimSearch.json")), query);

    Script("/status/500");
    EXPECT_EQ(SearchClaims(session, query), "Error Code : 500\r\nInternal Server Error");
    EXPECT_EQ(session.LastServerMessage(), "earlier failure");
    EXPECT_EQ(FailureLog("PostClaimSearchLog.txt"), "");
}

TEST_F(RequestTest, AuxiliaryRequestsStartWithAnEmptyMessage)
{
    Script("/echo");
    EXPECT_NE(AuxGetList(session).find("/echo/api/aux/"), std::string::npos);
    EXPECT_EQ(session.LastServerMessage(), "");

    Script("/status/404");
    const std::string target = tree.Path("PHB.PHB");
    EXPECT_EQ(AuxGetFile(session, target, "PHB"), "");
    EXPECT_EQ(session.LastServerMessage(), "Error Code : 404\r\nNot Found");
    EXPECT_TRUE(std::filesystem::exists(target));
    EXPECT_EQ(AuxGetList(session), "");
    EXPECT_EQ(session.LastServerMessage(), "Error Code : 404\r\nNot Found");

    Script("/big?bytes=1000&x=");
    EXPECT_EQ(AuxGetFile(session, target, "PHB"), "ok");
    EXPECT_EQ(session.LastServerMessage(), "");
    EXPECT_EQ(std::filesystem::file_size(target), 1000u);
}

TEST_F(RequestTest, AuxiliaryPutNeedsTheExactWordSuccessfully)
{
    const std::string archive = tree.Write("PHB.AUX", "zip bytes");
    const std::pair<std::string, std::string> cases[] = {
        { "File%20Uploaded%20Successfully.", "ok" },
        { "file%20uploaded%20successfully.", "file uploaded successfully." },
        { "%7B%22msg%22%3A%22Disk%20full%22%7D", "{\"msg\":\"Disk full\"}" },
    };
    for (const auto& [body, result] : cases) {
        Script("/status/200?body=" + body + "&x=");
        EXPECT_EQ(AuxPutFile(session, archive, "PHB"), result) << body;
        EXPECT_EQ(session.LastServerMessage(), "");
    }
    Script("/status/403");
    EXPECT_EQ(AuxPutFile(session, archive, "PHB"), "");
    EXPECT_EQ(session.LastServerMessage(), "Error Code : 403\r\nForbidden");
    EXPECT_THROW(AuxPutFile(session, tree.Path("none.AUX"), "PHB"), FileError);
}

TEST_F(RequestTest, TransfersRefusedWithUnauthorisedFailLikeAnyRefusal)
{
    // The sign-in reads a 401 as an answer; an archive transfer that was refused moved nothing.
    const std::string archive = tree.Write("up/57.KVZ", "archive");
    for (const std::string status : { "401", "407" }) {
        SCOPED_TRACE(status);
        const std::string reason = status == "401" ? "Unauthorized" : "Proxy Authentication Required";
        Script("/status/" + status);
        EXPECT_EQ(Authenticate(session), "body " + status);

        std::filesystem::remove(tree.Path("claims/Warehouse/PutClaimLog.txt"));
        EXPECT_EQ(PutClaimFile(session, "57", archive), "");
        EXPECT_EQ(FailureLog("PutClaimLog.txt"),
                  "~~~~~Claim Upload Dat " + archive + kStamp + status + "\r\n" + reason + "\r\n");

        EXPECT_THROW(GetClaimFile(session, "57"), RequestFailure);

        EXPECT_EQ(AuxGetFile(session, tree.Path("PHB.PHB"), "PHB"), "");
        EXPECT_EQ(session.LastServerMessage(), "Error Code : " + status + "\r\n" + reason);

        session.SetLastServerMessage("");
        EXPECT_EQ(AuxPutFile(session, archive, "PHB"), "");
        EXPECT_EQ(session.LastServerMessage(), "Error Code : " + status + "\r\n" + reason);
    }
}

TEST_F(RequestTest, OtherFailuresGiveTheirResultsMessagesAndLogsInOrder)
{
    // A released session refuses every request with an other failure, before any file is touched.
    const std::string refusal = "The warehouse session has been closed.";
    const std::string archive = tree.Write("PHB.AUX", "zip bytes");
    struct Case
    {
        std::string name;
        std::function<std::string()> request;
        std::string result;
        std::string message; // LastServerMessage afterwards
        std::string logFile;
        std::string heading;
        std::string messageWhenLogFails; // the log comes first where this stays as before
    };
    const Case cases[] = {
        { "Authenticate", [&] { return Authenticate(session); }, "400", refusal, "Authenticate.txt",
          "~~~~~Authentication INFORMATION", refusal },
        { "GetClaimList", [&] { return GetClaimList(session); }, "400", "Error : " + refusal, "GetClaimList.txt",
          "~~~~~Claim List INFORMATION", "Error : " + refusal },
        { "SearchClaims", [&] { return SearchClaims(session, "{}"); }, "", "before", "PostClaimSearchLog.txt",
          "~~~~~Claim JSON DATA ", "before" },
        { "AuxGetList", [&] { return AuxGetList(session); }, "", refusal, "AuxListFiles.txt",
          "~~~~~AuxListFiles INFORMATION", "" },
        { "AuxPutFile", [&] { return AuxPutFile(session, archive, "PHB"); }, "", refusal, "AuxPutFiles.txt",
          "~~~~~AuxPutFiles INFORMATION", refusal },
    };
    session.Release();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        session.SetLastServerMessage("before");
        EXPECT_EQ(c.request(), c.result);
        EXPECT_EQ(session.LastServerMessage(), c.message);
        EXPECT_EQ(FailureLog(c.logFile), c.heading + kStamp + refusal + "\r\n");
    }
    EXPECT_FALSE(std::filesystem::exists(tree.Path("claims/Warehouse/Uploads/ClaimSearch.json")));

    // A log that cannot be written stops the handling there: what came before it is done.
    std::filesystem::remove_all(tree.Path("claims/Warehouse"));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        session.SetLastServerMessage("before");
        EXPECT_THROW(c.request(), FileError);
        EXPECT_EQ(session.LastServerMessage(), c.messageWhenLogFails);
    }
}

TEST_F(RequestTest, SavedDocumentsAreWrittenOnlyForRequestsThatGoOut)
{
    const std::string json = tree.Path("claims/Warehouse/Uploads/57.json");
    const std::string search = tree.Path("claims/Warehouse/Uploads/ClaimSearch.json");

    // The wire log cannot be opened: nothing goes out, so nothing is kept as sent.
    test::ScopedEnv noTemp("TMPDIR", tree.Path("no/such/folder"));
    Script("/echo");
    EXPECT_THROW(PutClaimJSON(session, "57", "{\"a\":1}"), FileError);
    EXPECT_THROW(SearchClaims(session, "{\"b\":2}"), FileError);
    EXPECT_FALSE(std::filesystem::exists(json));
    EXPECT_FALSE(std::filesystem::exists(search));

    test::ScopedEnv temp("TMPDIR", tree.Path("tmp"));
    EXPECT_NE(PutClaimJSON(session, "57", "{\"a\":1}").find("\"received\": 7"), std::string::npos);
    EXPECT_EQ(ReadFile(json), "{\"a\":1}");

    // The session refuses a request after its release: the last document sent stays as it was.
    session.Release();
    EXPECT_EQ(PutClaimJSON(session, "57", "{\"a\":2}"), "");
    EXPECT_EQ(ReadFile(json), "{\"a\":1}");
    EXPECT_EQ(SearchClaims(session, "{\"b\":3}"), "");
    EXPECT_FALSE(std::filesystem::exists(search));
}

TEST_F(RequestTest, LocalWriteFailuresAreOtherFailuresThatGetLogged)
{
    if (!std::filesystem::exists("/dev/full")) {
        GTEST_SKIP() << "no /dev/full here";
    }
    Script("/big?bytes=100000&x=");
    EXPECT_EQ(AuxGetFile(session, "/dev/full", "PHB"), "");
    EXPECT_NE(session.LastServerMessage().find("No space left on device"), std::string::npos)
        << session.LastServerMessage();
    const std::string log = FailureLog("AuxGetFiles.txt");
    EXPECT_EQ(log.rfind("~~~~~AuxGetFiles INFORMATION" + kStamp, 0), 0u) << log;

    // A failure log that cannot be written stops the handling with a file error.
    std::filesystem::remove_all(tree.Path("claims/Warehouse"));
    EXPECT_THROW(AuxGetFile(session, "/dev/full", "PHB"), FileError);
    Script("/status/500");
    EXPECT_THROW(GetClaimSequences(session), FileError);
}

TEST(GetJSONInteger, ReadsWholeNumbersInRangeOnly)
{
    const auto object
        = nlohmann::ordered_json::parse(R"({"id":7,"neg":-3,"big":3000000000,"frac":1.5,"text":"7","max":2147483647})");
    EXPECT_EQ(GetJSONInteger(object, "id"), 7);
    EXPECT_EQ(GetJSONInteger(object, "neg"), -3);
    EXPECT_EQ(GetJSONInteger(object, "max"), 2147483647);
    EXPECT_FALSE(GetJSONInteger(object, "big"));
    EXPECT_FALSE(GetJSONInteger(object, "frac"));
    EXPECT_FALSE(GetJSONInteger(object, "text"));
    EXPECT_FALSE(GetJSONInteger(object, "missing"));
    EXPECT_FALSE(GetJSONInteger(nlohmann::ordered_json::array(), "id"));
}
