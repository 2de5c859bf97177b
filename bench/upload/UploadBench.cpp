// upload_bench [WALK_CLAIMS] [UPLOAD_CLAIMS] [--work DIR]: the upload run against a real
// warehouse-server on a loopback port.
//  1. Runs over claims tables of WALK_CLAIMS claims (10,000 by default) and of a fifth of that, in
//     which every claim is current on the server: the run's time end to end, the sign-in and claim
//     list requests and the walk apart, the walk's parts each alone, and resident memory.
//  2. A run that uploads UPLOAD_CLAIMS (200) new claims of about 1 MB each: claims per minute, with
//     the 100 ms pause before each request counted apart, and peak memory.
// Each run is this program started again in a child process, so that its peak resident memory is
// its own; the walk runs twice and the faster run counts. With --work DIR the server and the
// claims trees stay in DIR and the filled-in walk set-ups are used again on the next start (the
// upload claims are always built anew).
#include "BenchProcess.h"
#include "ClaimsFixture.h"

#include "app/UploadRun.h"
#include "env/ActivityLog.h"
#include "env/EnginePaths.h"
#include "env/UserNotice.h"
#include "env/UserPrefs.h"
#include "env/WarehouseFuncs.h"
#include "support/http/HttpClient.h"
#include "support/json/Json.h"
#include "support/paradox/Table.h"
#include "support/platform/Paths.h"
#include "support/text/Clock.h"
#include "support/text/DateTime.h"
#include "support/text/StringUtil.h"
#include "upload/ClaimLockOut.h"
#include "upload/ProcessClaims.h"
#include "upload/UploadClaim.h"
#include "warehouse/WarehouseSession.h"
#include "warehouse/WarehouseTrans.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <malloc.h>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace wh;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr const char* kCompany = "Bench Adjusting";
constexpr const char* kPassword = "bench-secret";
// WarehouseSession::Send waits this long before every request.
constexpr double kPauseSeconds = 0.1;
// Connections that fill the server in parallel: each answer takes the server tens of ms, mostly
// waiting, so many connections keep it busy.
constexpr int kFillConnections = 16;

double Seconds(Clock::time_point start, Clock::time_point end = Clock::now())
{
    return std::chrono::duration<double>(end - start).count();
}

double Mb(double kib)
{
    return kib / 1024.0;
}

// Resident memory of this process now and at its peak (this address space only), in KiB.
struct Memory
{
    long rssKiB = 0;
    long peakKiB = 0;
};

Memory ReadMemory()
{
    std::ifstream status("/proc/self/status");
    Memory memory;
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            memory.rssKiB = std::atol(line.c_str() + 6);
        } else if (line.rfind("VmHWM:", 0) == 0) {
            memory.peakKiB = std::atol(line.c_str() + 6);
        }
    }
    return memory;
}

double CpuSeconds(const timeval& time)
{
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
}

// Named figures a child run hands back to the parent through a small file.
class Figures
{
public:
    void Set(const std::string& key, double value) { m_values[key] = value; }
    double Get(const std::string& key) const
    {
        const auto found = m_values.find(key);
        return found == m_values.end() ? std::nan("") : found->second;
    }

    void Save(const std::string& path) const
    {
        std::ofstream out(path, std::ios::trunc);
        out.precision(9);
        for (const auto& [key, value] : m_values) {
            out << key << ' ' << value << '\n';
        }
    }
    static Figures Load(const std::string& path)
    {
        Figures figures;
        std::ifstream in(path);
        std::string key;
        double value = 0;
        while (in >> key >> value) {
            figures.Set(key, value);
        }
        return figures;
    }

private:
    std::map<std::string, double> m_values;
};

// ---------------------------------------------------------------------------------------------
// The child side: the tool's run in the environment the parent set up.

// Nobody is there to read or answer: the run's texts are kept for the failure report.
class QuietNotice : public UserNotice
{
public:
    void ShowMessage(MessageKind, const std::string& text) override { LastText = text; }
    bool AskYesNo(const std::string& text) override
    {
        LastText = text;
        return false;
    }
    void ShowBalloon(const std::string& text) override { LastText = text; }
    void SetTrayState(TrayState, const std::string&) override { }
    void SetTrayHint(const std::string&) override { }
    void SetBusyCursor(bool) override { }

    std::string LastText;
};

// The same preparation as `whupload-cli run`.
struct Tool
{
    QuietNotice notice;
    text::SystemClock clock;
    env::WarehouseEnv environment;
    std::unique_ptr<warehouse::WarehouseSession> session;
    std::unique_ptr<env::UserPrefs> prefs;

    Tool()
        : environment(notice, clock, [] {})
    {
        if (environment.GetClaimsDir().empty()) {
            throw std::runtime_error("DBAlias.ini names no claims directory");
        }
        env::SetEnginePaths(environment);
        session = warehouse::CreateWarehouseSession(environment);
        environment.PrepareLocalFolders();
        text::SetProcessDateConventions(text::StartupDateConventions());
        session->SetServerBase(text::Trim(environment.ReadWarehouseIniValue("WServer")));
        prefs = std::make_unique<env::UserPrefs>(environment);
    }
    ~Tool() { warehouse::FreeWarehouseSession(session); }
    Tool(const Tool&) = delete;
    Tool& operator=(const Tool&) = delete;
};

// One run exactly as a timer starts it. The walk begins at the first claim examined.
int ChildWholeRun(const std::string& resultPath)
{
    Tool tool;
    app::UploadRunner runner(tool.environment, *tool.prefs, *tool.session, tool.notice);
    Clock::time_point walkStart;
    long examined = 0;
    long uploaded = 0;
    runner.Progress = [&](const upload::ClaimProgress& progress) {
        if (progress.step == upload::ClaimProgress::Step::Uploading) {
            ++uploaded;
        } else if (examined++ == 0) {
            walkStart = Clock::now();
        }
    };
    const Memory before = ReadMemory();
    const auto start = Clock::now();
    const app::RunResult result = runner.RunScheduledUpload();
    const auto end = Clock::now();
    const Memory after = ReadMemory();

    Figures figures;
    figures.Set("run", Seconds(start, end));
    figures.Set("before_walk", examined > 0 ? Seconds(start, walkStart) : 0);
    figures.Set("walk", examined > 0 ? Seconds(walkStart, end) : 0);
    figures.Set("examined", static_cast<double>(examined));
    figures.Set("uploaded", static_cast<double>(uploaded));
    figures.Set("rss_before", static_cast<double>(before.rssKiB));
    figures.Set("rss_after", static_cast<double>(after.rssKiB));
    figures.Set("peak", static_cast<double>(after.peakKiB));
    figures.Save(resultPath);
    if (result != app::RunResult::Completed) {
        std::fprintf(stderr, "upload_bench: the run did not complete: %s\n", tool.notice.LastText.c_str());
        return 1;
    }
    return 0;
}

// The walk's parts each alone over the same claims table: the table walk reading the fields a
// current claim needs, the claim folder paths, the lock-out files, the claim list look-ups.
void TimeWalkParts(env::WarehouseEnv& environment, const upload::ServerClaimIndex& index, Figures& figures)
{
    std::vector<std::string> folders;
    std::vector<std::int64_t> ids;
    std::size_t bytes = 0;
    {
        paradox::Table claims(environment.GetClaimsDir(), "Claims.DB");
        claims.Open(paradox::OpenMode::Shared);
        auto start = Clock::now();
        for (claims.First(); !claims.Eof(); claims.Next()) {
            bytes += claims.FieldByName("ClaimNumber").AsText().size();
            bytes += claims.FieldByName("Claimdir").AsText().size();
            bytes += static_cast<std::size_t>(claims.FieldByName("ClaimType").AsInteger());
            bytes += claims.FieldByName("ClaimisClosed").AsText().size();
            bytes += claims.FieldByName("DClosed").IsNull() ? 0 : 1;
            bytes += static_cast<std::size_t>(claims.FieldByName("CLVersion").AsInteger());
            ids.push_back(claims.FieldByName("SrvClaimID").AsInteger());
        }
        figures.Set("part_table", Seconds(start));
        start = Clock::now();
        for (claims.First(); !claims.Eof(); claims.Next()) {
            folders.push_back(upload::ClaimFolderOf(environment, claims));
        }
        figures.Set("part_folders", Seconds(start));
    }
    upload::ClaimLockOut lockOut;
    long held = 0;
    auto start = Clock::now();
    for (const std::string& folder : folders) {
        held += lockOut.AcquireClaimLockOut(folder) ? 1 : 0;
        lockOut.ReleaseClaimLockOut();
    }
    figures.Set("part_lockout", Seconds(start));
    figures.Set("part_lockout_held", static_cast<double>(held));
    // The lock-out file is missing before it is taken, so finding its name without regard to
    // case reads the claim folder every time.
    std::size_t resolved = 0;
    start = Clock::now();
    for (const std::string& folder : folders) {
        resolved += platform::ResolveNoCase(folder, "LockOut.txt").size();
    }
    figures.Set("part_resolve", Seconds(start));
    figures.Set("part_resolve_bytes", static_cast<double>(resolved));
    long found = 0;
    start = Clock::now();
    for (const std::int64_t id : ids) {
        found += index.VersionOf(id).has_value() ? 1 : 0;
    }
    figures.Set("part_lookup", Seconds(start));
    figures.Set("part_lookup_found", static_cast<double>(found));
    figures.Set("part_bytes", static_cast<double>(bytes));
}

// The steps of a run one by one, as RunUpload takes them, each timed, with memory between them.
int ChildPhases(const std::string& resultPath)
{
    Tool tool;
    app::UploadRunner runner(tool.environment, *tool.prefs, *tool.session, tool.notice);
    if (!runner.LoadWarehouseSettings()) {
        throw std::runtime_error("the warehouse settings are incomplete");
    }
    Figures figures;
    figures.Set("rss_start", static_cast<double>(ReadMemory().rssKiB));

    auto start = Clock::now();
    {
        env::ActivityLog log(tool.environment);
        runner.SignIn(log);
    }
    figures.Set("signin", Seconds(start));
    if (runner.Identity.ServerUserID == -1) {
        throw std::runtime_error("the sign-in was refused: " + tool.session->LastServerMessage());
    }
    start = Clock::now();
    const std::string response = warehouse::GetClaimList(*tool.session);
    figures.Set("list", Seconds(start));
    figures.Set("list_bytes", static_cast<double>(response.size()));
    start = Clock::now();
    const std::optional<json::Value> list = json::Parse(response);
    figures.Set("parse", Seconds(start));
    if (!list || !list->is_array()) {
        throw std::runtime_error("the claim list is not a list: " + response.substr(0, 200));
    }
    figures.Set("list_entries", static_cast<double>(list->size()));
    start = Clock::now();
    const upload::ServerClaimIndex index(*list);
    figures.Set("index", Seconds(start));

    const Memory beforeWalk = ReadMemory();
    long examined = 0;
    long uploaded = 0;
    std::function<void(const upload::ClaimProgress&)> progress = [&](const upload::ClaimProgress& position) {
        ++(position.step == upload::ClaimProgress::Step::Uploading ? uploaded : examined);
    };
    upload::UploadRunContext context(tool.environment, *tool.session, tool.notice);
    context.Identity = runner.Identity;
    context.SignedInOnce = runner.SignedInOnce;
    context.UploadAll = runner.UploadAll;
    context.Progress = progress;
    upload::ClaimLockOut lockOut;
    struct rusage cpuBefore = {};
    ::getrusage(RUSAGE_SELF, &cpuBefore);
    start = Clock::now();
    upload::ProcessClaims(context, index, lockOut);
    figures.Set("walk", Seconds(start));
    struct rusage cpuAfter = {};
    ::getrusage(RUSAGE_SELF, &cpuAfter);
    const Memory afterWalk = ReadMemory();
    figures.Set("walk_user", CpuSeconds(cpuAfter.ru_utime) - CpuSeconds(cpuBefore.ru_utime));
    figures.Set("walk_system", CpuSeconds(cpuAfter.ru_stime) - CpuSeconds(cpuBefore.ru_stime));
    figures.Set("rss_before_walk", static_cast<double>(beforeWalk.rssKiB));
    figures.Set("peak_before_walk", static_cast<double>(beforeWalk.peakKiB));
    figures.Set("rss_after_walk", static_cast<double>(afterWalk.rssKiB));
    figures.Set("peak_after_walk", static_cast<double>(afterWalk.peakKiB));
    figures.Set("examined", static_cast<double>(examined));
    figures.Set("uploaded", static_cast<double>(uploaded));

    TimeWalkParts(tool.environment, index, figures);
    figures.Save(resultPath);
    return 0;
}

int ChildMain(const std::string& mode, const std::string& resultPath)
{
    try {
        if (mode == "whole") {
            return ChildWholeRun(resultPath);
        }
        if (mode == "phases") {
            return ChildPhases(resultPath);
        }
        std::fprintf(stderr, "upload_bench: unknown child mode %s\n", mode.c_str());
    } catch (const std::exception& error) {
        std::fprintf(stderr, "upload_bench: %s\n", error.what());
    }
    return 1;
}

// ---------------------------------------------------------------------------------------------
// The parent side: the server, the claims directories, the child runs and the figures.

// A warehouse-server on a free loopback port; its request log (standard error) goes to a file.
class ServerProcess
{
public:
    ServerProcess(const std::string& program, const std::string& dataDir, const std::string& logPath)
        : m_child({ program, "--data", dataDir, "--listen", "127.0.0.1:0" }, logPath)
    {
        // Other lines (the certificate's fingerprint) come before the address.
        const std::string prefix = "listening on ";
        const std::string line = m_child.WaitForLine(prefix, std::chrono::seconds(60));
        if (line.empty()) {
            throw std::runtime_error("warehouse-server did not start within 60 s (see " + logPath + ")");
        }
        m_address = line.substr(prefix.size());
    }

    const std::string& Address() const { return m_address; }
    void Stop() { m_child.Stop(); }

private:
    wh::bench::BenchChild m_child;
    std::string m_address;
};

struct Bench
{
    std::string serverProgram;
    std::string work;
    std::string dataDir;
    std::string serverLog;
    std::string address;
    int nextUserId = 1;

    void AddUser(const std::string& user)
    {
        const std::string id = std::to_string(nextUserId++);
        const int code = wh::bench::RunToEnd(
            { serverProgram,     "--data",  dataDir,        "add-user", "--company",   kCompany, "--user",      user,
              "--password",      kPassword, "--company-id", "1",        "--region-id", "1",      "--office-id", "1",
              "--department-id", "1",       "--user-id",    id },
            serverLog);
        if (code != 0) {
            throw std::runtime_error("warehouse-server add-user failed (see " + serverLog + ")");
        }
    }
};

// Makes every claim of the claims table current on the server through the server's own API, with
// the two requests the tool's upload makes for it: a claim id from the sequence, and a summary
// document holding the claim's version. (The archive is left out: the claim list does not look
// at it.) The ids are then stamped into Claims.DB as the upload stamps them.
void FillServer(const std::string& address, const std::string& user, const std::string& claimsDir)
{
    struct Claim
    {
        std::string number;
        std::int64_t version = 0;
        std::int64_t serverId = 0;
    };
    std::vector<Claim> claims;
    {
        paradox::Table table(claimsDir, "Claims.DB");
        table.Open(paradox::OpenMode::Shared);
        for (table.First(); !table.Eof(); table.Next()) {
            claims.push_back({ table.FieldByName("ClaimNumber").AsText(), table.FieldByName("CLVersion").AsInteger() });
        }
    }

    std::atomic<std::size_t> next { 0 };
    std::mutex errorMutex;
    std::string error;
    const std::string signIn = std::string(kCompany) + "/" + user;
    auto fail = [&](const std::string& what, const http::Outcome& outcome) {
        std::lock_guard lock(errorMutex);
        if (error.empty()) {
            error = what + ": status " + std::to_string(outcome.status) + " " + outcome.body.substr(0, 200)
                + outcome.message;
        }
    };
    auto worker = [&] {
        http::HttpClient client;
        client.SetInactivityTimeout(std::chrono::seconds(60));
        for (std::size_t i = next++; i < claims.size(); i = next++) {
            http::Request sequence;
            sequence.method = "POST";
            sequence.url = address + "/api/sequences/claims";
            sequence.user = signIn;
            sequence.password = kPassword;
            const http::Outcome issued = client.Perform(sequence);
            const std::int64_t id = issued.status == 200 ? std::strtoll(issued.body.c_str(), nullptr, 10) : 0;
            if (id <= 0) {
                return fail("claim id request", issued);
            }
            http::Request document;
            document.method = "PUT";
            document.url = address + "/api/claims/" + std::to_string(id) + ".json";
            document.user = signIn;
            document.password = kPassword;
            document.body = http::RequestBody::FromText(json::ObjectBuilder()
                                                            .AddInteger("claim_version", claims[i].version)
                                                            .AddText("claimnumber", claims[i].number)
                                                            .Text());
            const http::Outcome stored = client.Perform(document);
            if (stored.status != 200) {
                return fail("summary document upload", stored);
            }
            claims[i].serverId = id;
        }
    };
    std::vector<std::thread> threads;
    for (int i = 0; i < kFillConnections; ++i) {
        threads.emplace_back(worker);
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    if (!error.empty()) {
        throw std::runtime_error(error);
    }

    paradox::Table table(claimsDir, "Claims.DB");
    table.Open(paradox::OpenMode::Exclusive);
    std::size_t i = 0;
    for (table.First(); !table.Eof(); table.Next(), ++i) {
        table.Edit();
        table.FieldByName("SrvClaimID").SetInteger(claims.at(i).serverId);
        table.Post();
    }
    table.Flush();
    table.Close();
}

// The tool's own folders for a claims tree: local data and a temporary folder of the user's own.
void MakeToolFolders(const std::string& root)
{
    fs::create_directories(root + "/data");
    fs::create_directories(root + "/tmp");
    ::chmod((root + "/tmp").c_str(), 0700);
}

fixtures::ClaimsDirOptions TreeOptions(const std::string& root, const std::string& user, const std::string& address)
{
    fixtures::ClaimsDirOptions options;
    options.root = root;
    options.serverAddress = address;
    options.warehouseUser = user;
    options.warehousePassword = kPassword;
    options.warehouseCompany = kCompany;
    return options;
}

struct WalkSetup
{
    std::string root;
    int claims = 0;
    bool reused = false;
    double buildSeconds = 0;
    double fillSeconds = 0;
};

WalkSetup PrepareWalk(Bench& bench, int claims)
{
    WalkSetup setup;
    setup.root = bench.work + "/walk-" + std::to_string(claims);
    setup.claims = claims;
    const std::string marker = setup.root + "/filled";
    if (fs::exists(marker)) {
        // The port is new on every start.
        std::ofstream(setup.root + "/Claims/Warehouse/warehouse.ini", std::ios::binary | std::ios::trunc)
            << "WServer=" << bench.address << "\r\n[Check]\r\nInterval=900000\r\n";
        setup.reused = true;
        return setup;
    }
    fs::remove_all(setup.root);
    const std::string user = "walk" + std::to_string(claims);
    bench.AddUser(user);
    auto start = Clock::now();
    fixtures::ClaimsDirOptions options = TreeOptions(setup.root, user, bench.address);
    options.claims = claims;
    options.filesPerClaim = 0;
    const fixtures::ClaimsDirLayout layout = fixtures::BuildClaimsDirectory(options);
    MakeToolFolders(setup.root);
    setup.buildSeconds = Seconds(start);
    start = Clock::now();
    FillServer(bench.address, user, layout.claimsDir);
    setup.fillSeconds = Seconds(start);
    std::ofstream(marker) << claims << "\n";
    return setup;
}

struct ChildRun
{
    bool ok = false;
    Figures figures;
    long maxRssKiB = 0; // the child's ru_maxrss, as wait4 reports it
    double userSeconds = 0; // the child's CPU time
    double systemSeconds = 0;
};

ChildRun RunChild(const std::string& mode, const std::string& root)
{
    const std::string resultPath = root + "/bench-result.txt";
    fs::remove(resultPath);
    const std::string self = fs::read_symlink("/proc/self/exe").string();
    // The child starts as a copy of this process: a small heap here keeps its ru_maxrss its own.
    ::malloc_trim(0);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setenv("WHUPLOAD_PROGRAM_DIR", (root + "/Program").c_str(), 1);
        ::setenv("XDG_DATA_HOME", (root + "/data").c_str(), 1);
        ::setenv("TMPDIR", (root + "/tmp").c_str(), 1);
        ::execl(self.c_str(), self.c_str(), "--child", mode.c_str(), resultPath.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    struct rusage usage = {};
    ::wait4(pid, &status, 0, &usage);
    ChildRun run;
    run.maxRssKiB = usage.ru_maxrss;
    run.userSeconds = CpuSeconds(usage.ru_utime);
    run.systemSeconds = CpuSeconds(usage.ru_stime);
    run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0 && fs::exists(resultPath);
    if (run.ok) {
        run.figures = Figures::Load(resultPath);
    }
    return run;
}

// Requests the server logged from `offset` on, by kind.
struct RequestCounts
{
    long sequence = 0;
    long archive = 0;
    long document = 0;
    long other = 0;
    long refused = 0;
    long Total() const { return sequence + archive + document + other; }
};

RequestCounts CountRequests(const std::string& logPath, std::uintmax_t offset)
{
    RequestCounts counts;
    std::ifstream in(logPath);
    in.seekg(static_cast<std::streamoff>(offset));
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string day, time, from, method, path;
        int status = 0;
        if (!(fields >> day >> time >> from >> method >> path >> status)) {
            continue;
        }
        const auto endsWith = [&path](const char* tail) {
            const std::size_t n = std::strlen(tail);
            return path.size() >= n && path.compare(path.size() - n, n, tail) == 0;
        };
        counts.refused += status >= 400 ? 1 : 0;
        if (method == "POST" && path == "/api/sequences/claims") {
            ++counts.sequence;
        } else if (method == "PUT" && endsWith(".kvz")) {
            ++counts.archive;
        } else if (method == "PUT" && endsWith(".json")) {
            ++counts.document;
        } else {
            ++counts.other;
        }
    }
    return counts;
}

std::uintmax_t FileSize(const std::string& path)
{
    std::error_code ec;
    const std::uintmax_t size = fs::file_size(path, ec);
    return ec ? 0 : size;
}

// Bytes of the files below `folder` whose names end in `extension` (all files when empty).
std::uintmax_t BytesBelow(const std::string& folder, const std::string& extension)
{
    std::uintmax_t total = 0;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(folder, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        if (it->is_regular_file(ec) && (extension.empty() || it->path().extension() == extension)) {
            total += it->file_size(ec);
        }
    }
    return total;
}

void PrintRow(const char* label, const std::vector<std::string>& cells)
{
    std::printf("%-44s", label);
    for (const std::string& cell : cells) {
        std::printf(" %14s", cell.c_str());
    }
    std::printf("\n");
}

std::string Format(const char* format, double value)
{
    if (std::isnan(value)) {
        return "-";
    }
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

struct WalkFigures
{
    WalkSetup setup;
    ChildRun whole;
    ChildRun phases;
};

// Two runs of each kind, alternately; the faster counts.
WalkFigures MeasureWalk(const WalkSetup& setup)
{
    WalkFigures best { setup, {}, {} };
    for (int round = 0; round < 2; ++round) {
        ChildRun whole = RunChild("whole", setup.root);
        const bool wholeCounts
            = whole.ok && whole.figures.Get("examined") == setup.claims && whole.figures.Get("uploaded") == 0;
        if (wholeCounts && (!best.whole.ok || whole.figures.Get("run") < best.whole.figures.Get("run"))) {
            best.whole = whole;
        }
        ChildRun phases = RunChild("phases", setup.root);
        // The parts only say something when every lock-out was taken and every claim was listed.
        const bool phasesCount = phases.ok && phases.figures.Get("examined") == setup.claims
            && phases.figures.Get("uploaded") == 0 && phases.figures.Get("part_lockout_held") == setup.claims
            && phases.figures.Get("part_lookup_found") == setup.claims;
        if (phasesCount && (!best.phases.ok || phases.figures.Get("walk") < best.phases.figures.Get("walk"))) {
            best.phases = phases;
        }
    }
    return best;
}

void ReportWalk(const std::vector<WalkFigures>& walks)
{
    std::printf("\nRun over a claims table whose claims are all current on the server (faster of 2 runs)\n");
    std::vector<std::string> heads;
    for (const WalkFigures& walk : walks) {
        heads.push_back(std::to_string(walk.setup.claims) + " claims");
    }
    PrintRow("", heads);
    using Cell = std::function<std::string(const ChildRun&)>;
    auto row = [&](const char* label, bool fromWhole, const Cell& cell) {
        std::vector<std::string> cells;
        for (const WalkFigures& walk : walks) {
            const ChildRun& run = fromWhole ? walk.whole : walk.phases;
            cells.push_back(run.ok ? cell(run) : "failed");
        }
        PrintRow(label, cells);
    };
    auto value = [](const char* key, const char* format, double scale = 1) {
        return Cell([=](const ChildRun& run) { return Format(format, run.figures.Get(key) * scale); });
    };
    auto pair = [](const char* first, const char* second, const char* format, double scale) {
        return Cell([=](const ChildRun& run) {
            return Format(format, run.figures.Get(first) * scale) + " / "
                + Format(format, run.figures.Get(second) * scale);
        });
    };
    const double mb = 1.0 / 1024;
    row("run, end to end (s)", true, value("run", "%.3f"));
    row("  settings, sign-in and claim list (s)", true, value("before_walk", "%.3f"));
    row("  walk over the claims (s)", true, value("walk", "%.3f"));
    row("peak RSS, ru_maxrss (MB)", true, [](const ChildRun& run) { return Format("%.1f", Mb(run.maxRssKiB)); });
    row("RSS before / after the run (MB)", true, pair("rss_before", "rss_after", "%.1f", mb));
    std::printf("The same steps one by one:\n");
    row("  sign-in request, 100 ms pause included (s)", false, value("signin", "%.3f"));
    row("  claim list request, pause included (s)", false, value("list", "%.3f"));
    row("  claim list size (KB)", false, value("list_bytes", "%.0f", 1e-3));
    row("  claim list parse / index (s)", false, pair("parse", "index", "%.4f", 1));
    row("  walk, ProcessClaims (s)", false, value("walk", "%.3f"));
    row("    CPU in user / system (s)", false, pair("walk_user", "walk_system", "%.2f", 1));
    row("    per claim (us)", false, [](const ChildRun& run) {
        return Format("%.1f", run.figures.Get("walk") * 1e6 / run.figures.Get("examined"));
    });
    row("  RSS before / after the walk (MB)", false, pair("rss_before_walk", "rss_after_walk", "%.1f", mb));
    row("  peak RSS before / after the walk (MB)", false, pair("peak_before_walk", "peak_after_walk", "%.1f", mb));
    std::printf("The walk's parts, each alone over the same table:\n");
    row("  table walk, fields a current claim needs (s)", false, value("part_table", "%.3f"));
    row("  table walk + claim folder paths (s)", false, value("part_folders", "%.3f"));
    row("  lock-out files taken and given back (s)", false, value("part_lockout", "%.3f"));
    row("    of it finding the file's name (s)", false, value("part_resolve", "%.3f"));
    row("  claim list look-ups (s)", false, value("part_lookup", "%.5f"));
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 4 && std::string(argv[1]) == "--child") {
        return ChildMain(argv[2], argv[3]);
    }
    int walkClaims = 10000;
    int uploadClaims = 200;
    std::string keep;
    std::vector<std::string> numbers;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--work" && i + 1 < argc) {
            keep = argv[++i];
        } else {
            numbers.push_back(arg);
        }
    }
    if (!numbers.empty()) {
        walkClaims = std::atoi(numbers[0].c_str());
    }
    if (numbers.size() > 1) {
        uploadClaims = std::atoi(numbers[1].c_str());
    }
    if (walkClaims < 5 || uploadClaims < 0) {
        std::fprintf(stderr, "usage: upload_bench [WALK_CLAIMS (>= 5)] [UPLOAD_CLAIMS] [--work DIR]\n");
        return 2;
    }

    Bench bench;
    bench.serverProgram = WH_SERVER_PROGRAM;
    if (!keep.empty()) {
        fs::create_directories(keep);
        bench.work = fs::absolute(keep).string();
    } else {
        std::string pattern = platform::TempDir() + "/whuploadbench-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) {
            std::perror("mkdtemp");
            return 1;
        }
        bench.work = pattern;
    }
    bench.dataDir = bench.work + "/server";
    bench.serverLog = bench.work + "/server.log";

    int exitCode = 0;
    try {
        ServerProcess server(bench.serverProgram, bench.dataDir, bench.serverLog);
        bench.address = server.Address();
        std::printf("warehouse-server on %s, work folder %s\n", bench.address.c_str(), bench.work.c_str());

        std::vector<WalkFigures> walks;
        for (const int claims : { walkClaims / 5, walkClaims }) {
            const WalkSetup setup = PrepareWalk(bench, claims);
            if (setup.reused) {
                std::printf("set-up, %d claims: the filled-in claims tree and server of an earlier start\n", claims);
            } else {
                std::printf("set-up, %d claims: claims directory built in %.1f s; server filled through its API "
                            "(%d connections, claim id + summary document per claim) and ids stamped in %.1f s\n",
                            claims, setup.buildSeconds, kFillConnections, setup.fillSeconds);
            }
            std::fflush(stdout);
            walks.push_back(MeasureWalk(setup));
        }
        ReportWalk(walks);
        const WalkFigures& large = walks.back();
        const WalkFigures& small = walks.front();
        if (large.whole.ok && small.whole.ok) {
            const double run = large.whole.figures.Get("run");
            std::printf("Run at %d claims: %.2f s (goal < 2 s: %s); peak RSS %+.1f MB from %d to %d claims\n",
                        large.setup.claims, run, run < 2.0 ? "met" : "NOT met",
                        Mb(static_cast<double>(large.whole.maxRssKiB - small.whole.maxRssKiB)), small.setup.claims,
                        large.setup.claims);
        } else {
            exitCode = 1;
        }

        if (uploadClaims > 0) {
            const std::string root = bench.work + "/upload";
            fs::remove_all(root);
            const std::string user = "upload";
            bench.AddUser(user);
            fixtures::ClaimsDirOptions options = TreeOptions(root, user, bench.address);
            options.claims = uploadClaims;
            options.filesPerClaim = 2;
            options.fileBytes = 512 * 1024;
            auto start = Clock::now();
            const fixtures::ClaimsDirLayout layout = fixtures::BuildClaimsDirectory(options);
            MakeToolFolders(root);
            std::uintmax_t folderBytes = 0;
            for (const fixtures::ClaimInfo& claim : layout.claims) {
                folderBytes += BytesBelow(claim.folder, "");
            }
            std::printf("\nset-up, %d new claims: claims directory built in %.1f s, %.2f MB per claim folder\n",
                        uploadClaims, Seconds(start), static_cast<double>(folderBytes) / uploadClaims / 1e6);
            std::fflush(stdout);

            const std::uintmax_t logOffset = FileSize(bench.serverLog);
            const std::uintmax_t archivesBefore = BytesBelow(bench.dataDir + "/store", ".kvz");
            const ChildRun run = RunChild("whole", root);
            // The server writes its log line once the answer is out; give the last one a moment.
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            const RequestCounts requests = CountRequests(bench.serverLog, logOffset);
            const double archiveMb
                = static_cast<double>(BytesBelow(bench.dataDir + "/store", ".kvz") - archivesBefore) / 1e6;

            std::printf("\nUpload run of %d new claims of about %.1f MB each\n", uploadClaims,
                        static_cast<double>(folderBytes) / uploadClaims / 1e6);
            if (!run.ok || run.figures.Get("uploaded") != uploadClaims) {
                std::printf("upload run failed (%g of %d claims uploaded)\n", run.figures.Get("uploaded"),
                            uploadClaims);
                exitCode = 1;
            } else {
                const double seconds = run.figures.Get("run");
                const double pauses = static_cast<double>(requests.Total()) * kPauseSeconds;
                std::printf("%-44s %10.2f s %10.1f claims/min\n", "run, end to end", seconds,
                            uploadClaims * 60.0 / seconds);
                std::printf("%-44s %10ld (%ld claim ids, %ld archives, %ld documents, %ld other; %ld refused)\n",
                            "requests the server answered", requests.Total(), requests.sequence, requests.archive,
                            requests.document, requests.other, requests.refused);
                std::printf("%-44s %10.2f s (%ld x 100 ms)\n", "pauses before the requests", pauses, requests.Total());
                std::printf("%-44s %10.2f s %10.1f claims/min\n", "run without the pauses", seconds - pauses,
                            uploadClaims * 60.0 / (seconds - pauses));
                std::printf("%-44s %10.2f s (user %.2f s, system %.2f s)\n", "CPU time of the tool's process",
                            run.userSeconds + run.systemSeconds, run.userSeconds, run.systemSeconds);
                std::printf("%-44s %10.2f s\n", "waiting on the server, pauses aside",
                            seconds - pauses - run.userSeconds - run.systemSeconds);
                std::printf("%-44s %10.1f MB (%.2f MB per claim)\n", "archives stored by the server", archiveMb,
                            archiveMb / uploadClaims);
                std::printf("%-44s %10.1f MB\n", "peak RSS, ru_maxrss", Mb(run.maxRssKiB));
                std::printf("%-44s %10.1f MB / %.1f MB\n", "RSS before / after the run",
                            Mb(run.figures.Get("rss_before")), Mb(run.figures.Get("rss_after")));
            }
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "upload_bench: %s\n", error.what());
        exitCode = 1;
    }
    if (keep.empty()) {
        std::error_code ec;
        fs::remove_all(bench.work, ec);
    }
    return exitCode;
}
