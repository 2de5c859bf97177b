// Which servers the session talks to: real warehouse-server processes with their own
// certificates, self-signed or made by a test CA, on the same address one after another.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>

#include "ClaimsFixture.h"
#include "common/ChildProcess.h"
#include "common/TempTree.h"
#include "common/WarehouseServerProcess.h"
#include "common/Workstation.h"
#include "support/Errors.h"
#include "support/http/HttpClient.h"
#include "warehouse/ServerTrust.h"
#include "warehouse/WarehouseTrans.h"

using namespace wh;
using namespace wh::warehouse;
using test::ReadFile;
namespace fs = std::filesystem;

namespace {

const std::string kCli = WH_BINARY_DIR "/cli/whupload-cli";

class ServerTrustTest : public ::testing::Test, protected test::Workstation
{
protected:
    ServerTrustTest()
        : session(env)
    {
        session.SetSessionCredentials("Acme/jdoe", "pw1");
    }

    // A server with a data folder of its own (so a certificate of its own unless `cert` names
    // one), on `port` ("0": a free one), its request log in NAME.log.
    std::unique_ptr<test::WarehouseServerProcess> Start(const std::string& name, const std::string& port = "0",
                                                        const std::string& cert = "")
    {
        test::WarehouseServerProcess::Options options;
        options.listen = "127.0.0.1:" + port;
        options.requestLogPath = tree.Path(name + ".log");
        if (!cert.empty()) {
            options.certPath = tree.Path(cert + ".crt");
            options.keyPath = tree.Path(cert + ".key");
        }
        auto server = std::make_unique<test::WarehouseServerProcess>(tree.Path(name + "-data"), options);
        EXPECT_TRUE(server->AddUser("Acme", "jdoe", "pw1", 11, 22, 33, 44, 55));
        session.SetServerBase(server->BaseUrl() + "/");
        return server;
    }

    // The requests the server NAME logged (its request log lines name the path).
    std::size_t RequestsSeen(const std::string& name, std::size_t expected) const
    {
        return test::LoggedRequests(tree.Path(name + ".log"), expected);
    }

    void SetSecurity(const std::string& lines)
    {
        tree.Write("claims/Warehouse/warehouse.ini", "WServer=" + session.ServerBase() + "\r\n[Security]\r\n" + lines);
    }

    // A test CA and a server certificate it signed for 127.0.0.1 and localhost: ca.crt, signed.crt/.key.
    void MakeCertificateAuthority()
    {
        const std::string dir = tree.MakeDir("pki");
        tree.Write("pki/ext.cnf", "subjectAltName=IP:127.0.0.1,DNS:localhost\n");
        const auto run = [&](const std::string& command) {
            ASSERT_EQ(test::RunCommand({ "/bin/sh", "-c", "cd '" + dir + "' && " + command + " 2>/dev/null" }), 0)
                << command;
        };
        run("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout ca.key -out ca.crt "
            "-subj '/CN=Test Warehouse CA' -days 2");
        run("openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout signed.key -out signed.csr "
            "-subj '/CN=127.0.0.1'");
        run("openssl x509 -req -in signed.csr -CA ca.crt -CAkey ca.key -CAcreateserial -out signed.crt -days 2 "
            "-extfile ext.cnf");
    }

    std::string PinFile() const { return tree.Path("data/Korvan/Warehouse/trusted-servers"); }
    std::string Address(const test::WarehouseServerProcess& server) const
    {
        return "https://127.0.0.1:" + server.Port();
    }

    int Cli(const std::vector<std::string>& args, std::string& output)
    {
        std::vector<std::string> argv { kCli };
        argv.insert(argv.end(), args.begin(), args.end());
        return test::RunCommand(argv, &output, { "HOME=" + tree.Root() }, 60000);
    }

    WarehouseSession session;
};

bool SignedIn(const std::string& answer)
{
    return warehouse::GetJSONInteger(nlohmann::ordered_json::parse(answer, nullptr, false), "id") == 55;
}

} // namespace

TEST_F(ServerTrustTest, FirstContactPinsTheKeyAndTheSameServerPasses)
{
    auto server = Start("first");
    EXPECT_FALSE(fs::exists(PinFile()));
    EXPECT_TRUE(SignedIn(Authenticate(session))) << session.LastServerMessage();
    // The pin is the SHA-256 of the key as the server itself prints it, and as openssl shows it.
    const std::string line = Address(*server) + " " + server->KeyFingerprint() + "\n";
    EXPECT_NE(ReadFile(PinFile()).find(line), std::string::npos) << ReadFile(PinFile());
    std::string openssl;
    ASSERT_EQ(test::RunCommand({ "/bin/sh", "-c",
                                 "openssl x509 -pubkey -noout -in '" + tree.Path("first-data/server.crt")
                                     + "' | openssl pkey -pubin -outform der | sha256sum" },
                               &openssl),
              0);
    EXPECT_EQ(openssl.substr(0, 64), server->KeyFingerprint());
    EXPECT_EQ(http::KeyFingerprintOfPem(ReadFile(tree.Path("first-data/server.crt"))), server->KeyFingerprint());
    std::string printed;
    ASSERT_EQ(
        test::RunCommand({ WH_BINARY_DIR "/server/warehouse-server", "--data", tree.Path("first-data"), "fingerprint" },
                         &printed),
        0);
    EXPECT_EQ(printed, server->KeyFingerprint() + "\n");

    EXPECT_TRUE(SignedIn(Authenticate(session)));
    EXPECT_EQ(RequestsSeen("first", 2u), 2u);
    // The wire log says why a certificate that does not verify was taken.
    EXPECT_EQ(test::CountOf(ReadFile(session.WireLogPath()), "accepted by its key " + server->KeyFingerprint()), 2u);
    EXPECT_EQ(test::CountOf(ReadFile(PinFile()), "https://"), 1u);
}

TEST_F(ServerTrustTest, AnotherKeyOnAPinnedAddressIsRefusedWithNothingSentUntilAccepted)
{
    // Another address's pin stays through everything below.
    const std::string otherLine = "https://warehouse.example:8443 " + std::string(64, 'a') + "\n";
    tree.Write("data/Korvan/Warehouse/trusted-servers", otherLine);
    auto first = Start("first");
    const std::string port = first->Port();
    const std::string firstKey = first->KeyFingerprint();
    ASSERT_TRUE(SignedIn(Authenticate(session)));
    first.reset();

    auto second = Start("second", port);
    const std::string secondKey = second->KeyFingerprint();
    ASSERT_NE(secondKey, firstKey);
    EXPECT_EQ(Authenticate(session), "400");
    EXPECT_EQ(RequestsSeen("second", 0u), 0u); // not even the request line: no password went out
    const std::string address = "https://127.0.0.1:" + port;
    for (const std::string& text : { session.LastServerMessage(), ReadFile(ClaimsPath("Warehouse/Authenticate.txt")),
                                     ReadFile(ClaimsPath("Warehouse/log.txt")) }) {
        EXPECT_NE(text.find(address), std::string::npos) << text;
        EXPECT_NE(text.find(firstKey), std::string::npos) << text;
        EXPECT_NE(text.find(secondKey), std::string::npos) << text;
    }
    ASSERT_TRUE(session.LastChangedServer().has_value());
    EXPECT_EQ(session.LastChangedServer()->address, address);
    EXPECT_EQ(session.LastChangedServer()->pinned, firstKey);
    EXPECT_EQ(session.LastChangedServer()->presented, secondKey);
    // A claim upload and a search are refused the same way.
    EXPECT_EQ(PutClaimJSON(session, "7", "{}"), "");
    EXPECT_EQ(SearchClaims(session, "{}"), "");
    EXPECT_EQ(AuxGetList(session), "");
    EXPECT_EQ(RequestsSeen("second", 0u), 0u);

    // whupload-cli trust shows both keys and changes nothing; --accept without a terminal is No.
    tree.Write("claims/Warehouse/warehouse.ini", "WServer=" + second->BaseUrl() + "\r\n");
    std::string output;
    EXPECT_EQ(Cli({ "trust" }, output), 0) << output;
    EXPECT_NE(output.find("Server:        " + address), std::string::npos) << output;
    EXPECT_NE(output.find("Trusted key:   " + firstKey), std::string::npos) << output;
    EXPECT_NE(output.find("Key shown now: " + secondKey), std::string::npos) << output;
    EXPECT_EQ(Cli({ "trust", "--accept" }, output), 1) << output;
    EXPECT_NE(ReadFile(PinFile()).find(firstKey), std::string::npos);
    EXPECT_EQ(RequestsSeen("second", 0u), 0u);

    EXPECT_EQ(Cli({ "trust", "--accept", "--yes" }, output), 0) << output;
    const std::string pins = ReadFile(PinFile());
    EXPECT_NE(pins.find(address + " " + secondKey + "\n"), std::string::npos) << pins;
    EXPECT_EQ(pins.find(firstKey), std::string::npos) << pins;
    EXPECT_NE(pins.find(otherLine), std::string::npos) << pins;
    EXPECT_EQ(RequestsSeen("second", 0u), 0u);
    EXPECT_TRUE(SignedIn(Authenticate(session))) << session.LastServerMessage();
    EXPECT_EQ(RequestsSeen("second", 1u), 1u);
}

// Policy, CA file and certificate against what passes, what is pinned and what the server sees.
TEST_F(ServerTrustTest, PoliciesAgainstCertificates)
{
    MakeCertificateAuthority();
    struct Case
    {
        const char* name;
        const char* security; // the [Security] lines; CAFILE stands for the test CA's path
        bool caSigned; // the server shows the certificate the test CA signed, else a self-signed one
        bool passes;
        bool pins; // a pin is written for the address
        bool warns; // the wire log warns that nothing is checked
    };
    const Case cases[] = {
        { "pin by default, self-signed", "", false, true, true, false },
        { "pin, CA-signed and CAFile", "Verify=pin\r\nCAFile=CAFILE\r\n", true, true, false, false },
        { "pin, CA-signed, system store", "Verify=Pin\r\n", true, true, true, false },
        { "ca, CA-signed and CAFile", "Verify=ca\r\nCAFile=CAFILE\r\n", true, true, false, false },
        { "ca, self-signed", "Verify=ca\r\nCAFile=CAFILE\r\n", false, false, false, false },
        { "ca, CA-signed, system store", "Verify=CA\r\n", true, false, false, false },
        { "none, self-signed", "Verify=none\r\n", false, true, false, true },
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string name = "server" + std::to_string(++n);
        fs::remove(PinFile());
        const std::string wireLog = session.WireLogPath();
        fs::remove(wireLog);
        auto server = Start(name, "0", c.caSigned ? "pki/signed" : "");
        std::string security = c.security;
        const auto at = security.find("CAFILE");
        if (at != std::string::npos) {
            security.replace(at, 6, tree.Path("pki/ca.crt"));
        }
        SetSecurity(security);
        const std::string answer = Authenticate(session);
        EXPECT_EQ(SignedIn(answer), c.passes) << session.LastServerMessage();
        EXPECT_EQ(RequestsSeen(name, c.passes ? 1u : 0u), c.passes ? 1u : 0u);
        EXPECT_EQ(fs::exists(PinFile()) && ReadFile(PinFile()).find(Address(*server)) != std::string::npos, c.pins);
        const std::string wire = fs::exists(wireLog) ? ReadFile(wireLog) : "";
        EXPECT_EQ(wire.find("certificate checks are off") != std::string::npos, c.warns) << wire;
        if (!c.passes) {
            EXPECT_NE(session.LastServerMessage().find(Address(*server)), std::string::npos);
            EXPECT_NE(session.LastServerMessage().find(server->KeyFingerprint()), std::string::npos);
            EXPECT_FALSE(session.LastChangedServer().has_value());
        }
    }
}

TEST_F(ServerTrustTest, UnderNoneAChangedServerIsTakenAndUnderCaTheCertificateDecidesNotThePin)
{
    MakeCertificateAuthority();
    auto server = Start("signed", "0", "pki/signed");
    // A pin that does not match: under ca and pin a verified certificate needs none.
    tree.Write("data/Korvan/Warehouse/trusted-servers", Address(*server) + " " + std::string(64, 'b') + "\n");
    SetSecurity("Verify=pin\r\nCAFile=" + tree.Path("pki/ca.crt") + "\r\n");
    EXPECT_TRUE(SignedIn(Authenticate(session))) << session.LastServerMessage();
    SetSecurity("Verify=pin\r\n");
    EXPECT_EQ(Authenticate(session), "400");
    EXPECT_TRUE(session.LastChangedServer().has_value());
    SetSecurity("Verify=none\r\n");
    EXPECT_TRUE(SignedIn(Authenticate(session)));
    EXPECT_EQ(RequestsSeen("signed", 2u), 2u);
    EXPECT_EQ(ReadFile(PinFile()), Address(*server) + " " + std::string(64, 'b') + "\n");
}

TEST_F(ServerTrustTest, ADamagedOrUnreadablePinFileIsAnErrorWithItsPathAndSendsNothing)
{
    auto server = Start("server");
    const std::string damaged[] = {
        "https://127.0.0.1:" + server->Port() + " not-a-fingerprint\n",
        "# a comment\n\nhttps://127.0.0.1:1 " + std::string(64, 'c') + " extra\n",
        "127.0.0.1 " + std::string(64, 'c') + "\n",
        std::string("\0\1\2binary", 9),
    };
    for (const std::string& content : damaged) {
        tree.Write("data/Korvan/Warehouse/trusted-servers", content);
        try {
            Authenticate(session);
            ADD_FAILURE() << "a damaged pin file was taken: " << content;
        } catch (const FileError& e) {
            EXPECT_NE(std::string(e.what()).find(PinFile()), std::string::npos) << e.what();
            EXPECT_NE(std::string(e.what()).find("damaged"), std::string::npos) << e.what();
        }
        EXPECT_EQ(ReadFile(PinFile()), content); // left for the user to see
    }
    // A pin file that cannot be read at all (a folder stands in its place; root reads any file).
    fs::remove(PinFile());
    fs::create_directories(PinFile());
    try {
        Authenticate(session);
        ADD_FAILURE() << "an unreadable pin file was taken";
    } catch (const FileError& e) {
        EXPECT_NE(std::string(e.what()).find(PinFile()), std::string::npos) << e.what();
    }
    EXPECT_EQ(RequestsSeen("server", 0u), 0u);

    // A first key that cannot be pinned is not taken either (a folder stands where the new file goes).
    fs::remove(PinFile());
    fs::create_directories(PinFile() + ".new");
    EXPECT_EQ(Authenticate(session), "400");
    EXPECT_NE(session.LastServerMessage().find(PinFile() + ".new"), std::string::npos) << session.LastServerMessage();
    EXPECT_FALSE(fs::exists(PinFile()));
    fs::remove(PinFile() + ".new");

    // A company CA file that cannot be read is named, and nothing goes out.
    for (const char* policy : { "pin", "ca" }) {
        SetSecurity(std::string("Verify=") + policy + "\r\nCAFile=" + tree.Path("missing-ca.crt") + "\r\n");
        EXPECT_EQ(Authenticate(session), "400");
        EXPECT_NE(session.LastServerMessage().find(tree.Path("missing-ca.crt")), std::string::npos)
            << session.LastServerMessage();
    }
    EXPECT_EQ(RequestsSeen("server", 0u), 0u);

    // An unknown policy is an error that names warehouse.ini, never a silent default.
    fs::remove(PinFile());
    SetSecurity("Verify=off\r\n");
    try {
        Authenticate(session);
        ADD_FAILURE() << "an unknown Verify= was taken";
    } catch (const FileError& e) {
        EXPECT_NE(std::string(e.what()).find("warehouse.ini"), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find("off"), std::string::npos) << e.what();
    }
    EXPECT_EQ(RequestsSeen("server", 0u), 0u);
    EXPECT_FALSE(fs::exists(PinFile()));
}

TEST(ServerAddress, IsSchemeHostAndPortOfHttpsAddressesOnly)
{
    EXPECT_EQ(ServerAddressOf("https://Warehouse.Example/api/status"), "https://warehouse.example:443");
    EXPECT_EQ(ServerAddressOf("HTTPS://10.0.0.1:8443/x/api/status"), "https://10.0.0.1:8443");
    EXPECT_EQ(ServerAddressOf("https://[::1]:9000/api/"), "https://[::1]:9000");
    EXPECT_EQ(ServerAddressOf("http://warehouse.example/api/status"), "");
    EXPECT_EQ(ServerAddressOf("/api/status"), "");
}

// The upload run, a restore, the auxiliary files and a search, each from whupload-cli against a
// server whose key is not the pinned one: each is refused before the server sees a request.
TEST(ServerTrustCli, EveryJobGoesThroughTheSameCheck)
{
    test::TempTree tree;
    test::WarehouseServerProcess::Options logged;
    logged.requestLogPath = tree.Path("server.log");
    test::WarehouseServerProcess server(tree.Path("server-data"), logged);
    ASSERT_TRUE(server.AddUser("Acme", "jdoe", "pw1", 11, 22, 33, 44, 55));
    fixtures::ClaimsDirOptions options;
    options.root = tree.Path("ws");
    options.claims = 2;
    options.openClaims = 0;
    options.serverAddress = server.BaseUrl();
    options.warehouseUser = "jdoe";
    options.warehousePassword = "pw1";
    options.warehouseCompany = "Acme";
    const fixtures::ClaimsDirLayout layout = fixtures::BuildClaimsDirectory(options);
    const std::string address = "https://127.0.0.1:" + server.Port();
    const std::string pins = address + " " + std::string(64, 'd') + "\n";
    tree.Write("data/Korvan/Warehouse/trusted-servers", pins);
    const std::vector<std::string> env { "WHUPLOAD_PROGRAM_DIR=" + layout.programDir,
                                         "XDG_DATA_HOME=" + tree.Path("data"), "TMPDIR=" + tree.MakeDir("tmp"),
                                         "HOME=" + tree.Root() };
    const std::vector<std::vector<std::string>> jobs {
        { "run" },
        { "restore", "1", "--yes" },
        { "aux", "list" },
        { "aux", "get", "PHB" },
        { "search", "--insured", "Adams" },
    };
    for (const auto& job : jobs) {
        std::vector<std::string> argv { kCli };
        argv.insert(argv.end(), job.begin(), job.end());
        SCOPED_TRACE(argv[1]);
        std::string output;
        EXPECT_NE(test::RunCommand(argv, &output, env, 60000), 0) << output;
        EXPECT_EQ(test::LoggedRequests(tree.Path("server.log"), 0), 0u);
    }
    EXPECT_EQ(ReadFile(tree.Path("data/Korvan/Warehouse/trusted-servers")), pins);
    const std::string log = ReadFile(layout.claimsDir + "/Warehouse/log.txt");
    EXPECT_EQ(test::CountOf(log, "WHT Server refused: The server at " + address), jobs.size()) << log;

    // The same jobs reach the server once its key is trusted.
    std::string output;
    ASSERT_EQ(test::RunCommand({ kCli, "trust", "--accept", "--yes" }, &output, env, 60000), 0) << output;
    EXPECT_EQ(test::RunCommand({ kCli, "aux", "list" }, &output, env, 60000), 0) << output;
    EXPECT_GT(test::LoggedRequests(tree.Path("server.log"), 1), 0u);
}
