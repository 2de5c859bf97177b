// warehouse-server with its default limits under every attack of the hostile client at once,
// while a real workstation uploads its claims with whupload-cli and searches for them.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/ChildProcess.h"
#include "common/TempTree.h"
#include "common/WarehouseServerProcess.h"
#include "fixtures/ClaimsFixture.h"
#include "support/paradox/Table.h"

using namespace wh;
using nlohmann::json;

namespace {

const std::string kCli = WH_BINARY_DIR "/cli/whupload-cli";
const std::string kAttacker = "OTHER/eve:pw2";
// Every attack set of the hostile client.
const std::string kEveryAttack
    = "default,crowd,slow_body,budget,searchers,wide_json,nul_document,long_names,parallel_guesses";
// How long the attacks go on: long enough for the crowd to stand before the workstation starts
// and for the workstation's upload and search to run under them to the end.
constexpr int kAttackSeconds = 50;
// A whupload-cli step that takes longer than this is taken as a server that let the attacks
// through: the workstation's work takes a few seconds; the margin is for a loaded machine.
constexpr int kStepSeconds = 20;
// The crowd's start, the upload and the search all fall within the attacks.
constexpr int kCrowdSeconds = 6;
static_assert(kCrowdSeconds + 2 * kStepSeconds < kAttackSeconds);

std::vector<int> Statuses(const json& seen, const std::string& attack)
{
    std::vector<int> statuses;
    if (seen.contains(attack)) {
        for (const json& status : seen[attack]) {
            statuses.push_back(status.get<int>());
        }
    }
    return statuses;
}

std::string Summary(const std::vector<int>& statuses)
{
    std::map<int, int> counts;
    for (const int status : statuses) {
        ++counts[status];
    }
    std::string text;
    for (const auto& [status, count] : counts) {
        text += std::to_string(status) + " x" + std::to_string(count) + " ";
    }
    return text;
}

} // namespace

// While one hostile client runs every attack it knows at once (idle, half-open and slowloris
// connections crowding the connection cap from eight addresses, dripped heads and bodies, header
// floods, huge announced bodies, deep, wide and trailing JSON, a signed-in user holding bodies and
// flooding searches, long unknown account names, parallel and steady password guesses), a
// workstation from another address uploads its closed claims and searches for them within a
// few seconds each, every attack gets its refusal or its connection ended, and the server's
// memory stays within a stated bound.
TEST(AllAttacksAtOnce, AWorkstationUploadsAndSearchesWhileEveryAttackRuns)
{
    test::TempTree tree;
    test::WarehouseServerProcess::Options serverOptions; // the default limits
    serverOptions.requestLogPath = tree.Path("server.log"); // tens of thousands of lines
    test::WarehouseServerProcess server(tree.Path("server"), serverOptions);
    ASSERT_TRUE(server.AddUser("ACME", "jdoe", "pw1", 10, 20, 30, 40, 7));
    ASSERT_TRUE(server.AddUser("ACME", "bob", "bob-pw", 10, 20, 30, 40, 8)); // whose password is guessed
    ASSERT_TRUE(server.AddUser("OTHER", "eve", "pw2", 11, 20, 30, 40, 9)); // the signed-in attacker

    fixtures::ClaimsDirOptions options;
    options.root = tree.Path("ws");
    options.claims = 6;
    options.openClaims = 1; // stays on the workstation
    options.filesPerClaim = 3;
    options.fileBytes = 64 * 1024;
    options.serverAddress = server.BaseUrl();
    options.warehouseUser = "jdoe";
    options.warehousePassword = "pw1";
    options.warehouseCompany = "ACME";
    const fixtures::ClaimsDirLayout layout = fixtures::BuildClaimsDirectory(options);
    const std::vector<std::string> env { "WHUPLOAD_PROGRAM_DIR=" + layout.programDir,
                                         "XDG_DATA_HOME=" + tree.Path("data"), "TMPDIR=" + tree.MakeDir("tmp"),
                                         "HOME=" + tree.Root() };
    // One step of the workstation, both output streams in `output`; 124 when it ran out of time.
    const auto step = [&](std::vector<std::string> args, std::string& output) {
        args.insert(
            args.begin(),
            { "timeout", "-k", "5", std::to_string(kStepSeconds), "sh", "-c", "exec \"$0\" \"$@\" 2>&1", kCli });
        return test::RunCommand(args, &output, env, (kStepSeconds + 30) * 1000);
    };

    test::ChildProcess hostile({ "python3", WH_SOURCE_DIR "/tests/server/hostile_client.py", "127.0.0.1", server.Port(),
                                 std::to_string(kAttackSeconds), kAttacker, kEveryAttack });
    // Time for the crowd to reach the connection cap and for every attack to be under way.
    std::this_thread::sleep_for(std::chrono::seconds(kCrowdSeconds));

    std::string output;
    const auto runStart = std::chrono::steady_clock::now();
    EXPECT_EQ(step({ "run" }, output), 0) << output;
    const auto runSeconds
        = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - runStart).count();
    std::set<std::int64_t> uploaded;
    {
        paradox::Table claims(layout.claimsDir, "Claims.DB");
        claims.Open();
        for (const fixtures::ClaimInfo& claim : layout.claims) {
            ASSERT_TRUE(claims.FindKey(claim.claimId)) << claim.claimId;
            const std::int64_t id = claims.FieldByName("SrvClaimID").AsInteger();
            if (claim.closed) {
                EXPECT_GT(id, 0) << "closed claim " << claim.claimId << " was not uploaded";
                if (id > 0) {
                    uploaded.insert(id);
                }
            } else {
                EXPECT_EQ(id, 0) << "open claim " << claim.claimId;
            }
        }
    }

    // The search finds every claim the run stored, by the insured's name in its document.
    const auto searchStart = std::chrono::steady_clock::now();
    EXPECT_EQ(step({ "search", "--insured", "insured", "--date-kind", "date_of_loss", "--from", "2000-01-01", "--to",
                     "2099-12-31", "--company" },
                   output),
              0)
        << output;
    const auto searchSeconds
        = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - searchStart).count();
    std::set<std::int64_t> found;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && std::isdigit(static_cast<unsigned char>(line[0]))) {
            found.insert(std::stoll(line.substr(0, line.find(' '))));
        }
    }
    EXPECT_EQ(found, uploaded) << output;
    const std::string report = hostile.WaitForLine("{", (kAttackSeconds + 60) * 1000);
    ASSERT_FALSE(report.empty()) << "the hostile client gave no report";
    const json seen = json::parse(report);

    // Connections that never finish a head, refused requests whose bodies drip in and accepted
    // bodies far below the least rate are ended by the server, not by the attacker.
    for (const char* attack :
         { "idle_tcp_closed", "idle_tls_closed", "slow_head_cut", "refused_drip_closed", "slow_body_closed" }) {
        ASSERT_TRUE(seen.contains(attack) && !seen[attack].empty()) << attack << " never ran";
        for (const json& when : seen[attack]) {
            EXPECT_FALSE(when.is_null()) << attack << ": a connection outlived the attack";
        }
    }
    // Every refused attack got its refusal, every time.
    const std::map<std::string, int> refusals {
        { "header_flood_status", 431 }, { "huge_archive", 413 }, { "huge_get_body", 400 }, { "chunked_unsigned", 401 },
        { "deep_json", 400 },           { "long_search", 400 },  { "guess", 401 },         { "nul_document", 400 },
        { "long_name", 401 },
    };
    for (const auto& [attack, status] : refusals) {
        const std::vector<int> statuses = Statuses(seen, attack);
        ASSERT_FALSE(statuses.empty()) << attack << " never ran";
        EXPECT_EQ(std::count(statuses.begin(), statuses.end(), status), static_cast<long>(statuses.size()))
            << attack << ": " << Summary(statuses);
    }
    // A body over the JSON limit is refused from its head; its bytes are then drained for a few
    // seconds at most, and a client that cannot send them in that time (as on a loaded machine)
    // has its connection ended without the answer (0).
    const std::vector<int> overLimit = Statuses(seen, "json_over_limit");
    ASSERT_FALSE(overLimit.empty()) << "json_over_limit never ran";
    EXPECT_EQ(std::count(overLimit.begin(), overLimit.end(), 413) + std::count(overLimit.begin(), overLimit.end(), 0),
              static_cast<long>(overLimit.size()))
        << Summary(overLimit);
    // A mebibyte of empty objects holds far more values than a body may: each is refused before
    // its parse, one after the other for the whole attack; a body may find the user's share of
    // body memory taken by the same user's held bodies (503).
    for (const char* attack : { "wide_search", "wide_document" }) {
        const std::vector<int> statuses = Statuses(seen, attack);
        const long refused = std::count(statuses.begin(), statuses.end(), 400);
        EXPECT_EQ(refused + std::count(statuses.begin(), statuses.end(), 503), static_cast<long>(statuses.size()))
            << attack << ": " << Summary(statuses);
        EXPECT_GE(refused, 5) << attack << ": " << Summary(statuses);
    }
    // The user holding sixteen bodies of 1 MiB got no more than an eighth of the body memory.
    const std::vector<int> held = Statuses(seen, "budget_status");
    ASSERT_EQ(held.size(), 16u) << Summary(held);
    EXPECT_LE(std::count(held.begin(), held.end(), 200), 8) << Summary(held);
    EXPECT_EQ(std::count(held.begin(), held.end(), 200) + std::count(held.begin(), held.end(), 503), 16)
        << Summary(held);
    // The searchers' searches ran (a searcher that waited its turn for 10 seconds gave up: 0).
    const std::vector<int> searches = Statuses(seen, "search_status");
    EXPECT_EQ(std::count(searches.begin(), searches.end(), 200) + std::count(searches.begin(), searches.end(), 503)
                  + std::count(searches.begin(), searches.end(), 0),
              static_cast<long>(searches.size()))
        << Summary(searches);
    EXPECT_GT(std::count(searches.begin(), searches.end(), 200), 0) << Summary(searches);
    // The crowd stood: its 1024 connections were opened, again as the server ended them.
    int opened = 0;
    for (const json& count : seen.value("crowd_opened", json::array())) {
        opened += count.get<int>();
    }
    EXPECT_GE(opened, 1024) << "the crowd never stood";
    // Fifty wrong passwords at once were checked no more often than fifty one after the other:
    // five free tries, then waits that double, so within E seconds at most 6 + log2(1 + E). Near
    // the connection cap the server may end some of the burst's connections before their
    // guess is sent, as it ends any connection that has not sent a request (0).
    ASSERT_TRUE(seen.contains("parallel_guesses") && seen["parallel_guesses"].size() == 1) << report;
    const json& burst = seen["parallel_guesses"][0];
    const std::vector<int> guessed = burst["statuses"].get<std::vector<int>>();
    EXPECT_EQ(std::count(guessed.begin(), guessed.end(), 401) + std::count(guessed.begin(), guessed.end(), 0),
              static_cast<long>(guessed.size()))
        << burst.dump();
    EXPECT_GE(std::count(guessed.begin(), guessed.end(), 401), 25) << "the burst never came: " << burst.dump();
    EXPECT_LE(burst["checked"].get<int>(),
              6 + static_cast<int>(std::floor(std::log2(1 + burst["seconds"].get<double>()))))
        << burst.dump();

    // The memory bound, 128 MiB with the default limits: about 15 MiB at rest, at most 64 MiB of
    // request bodies held at once, and bodies whose values are too many to parse refused before
    // the parse (a mebibyte of empty objects once became about 42 MiB on each worker thread).
    // Measured: about 40 MiB.
    const long peak = test::PeakMemoryKiB(server.Pid());
    EXPECT_GT(peak, 0);
    EXPECT_LT(peak, 128 * 1024) << "the server's peak memory in KiB";
    std::cout << "upload run " << runSeconds << " s, search " << searchSeconds << " s, server peak " << peak
              << " KiB\n";
}
