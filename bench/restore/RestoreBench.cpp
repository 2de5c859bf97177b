// restore_bench [MEGABYTES] [--work DIR]: a claim archive of about MEGABYTES (200 by default) of
// mixed members (many small documents and tables, some large scans) is built by the upload's own
// builder, then restored as a new claim by the tool's restore and, for comparison, unpacked by
// `unzip -q`. Each runs in a child process of its own so that its peak resident memory is its own;
// each runs twice, alternately, and the faster run counts.
#include "ClaimsFixture.h"
#include "env/EnginePaths.h"
#include "env/UserNotice.h"
#include "env/WarehouseFuncs.h"
#include "restore/UnArc_Claim_File.h"
#include "support/paradox/Table.h"
#include "support/platform/Paths.h"
#include "support/text/Clock.h"
#include "support/text/DateTime.h"
#include "upload/UploadClaim.h"
#include "upload/WarehouseBuildClaim.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace wh;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::int64_t kServerId = 4711;

class QuietNotice : public UserNotice
{
public:
    void ShowMessage(MessageKind, const std::string& text) override { std::fprintf(stderr, "%s\n", text.c_str()); }
    bool AskYesNo(const std::string&) override { return true; }
    void ShowBalloon(const std::string&) override { }
    void SetTrayState(TrayState, const std::string&) override { }
    void SetTrayHint(const std::string&) override { }
    void SetBusyCursor(bool) override { }
};

struct Figures
{
    double seconds = 0;
    long peakKb = 0;
    bool ok = false;
};

// Runs `work` in a child process; its time and peak memory.
Figures InChild(const std::function<int()>& work)
{
    const auto start = Clock::now();
    const pid_t child = ::fork();
    if (child == 0) {
        int code = 1;
        try {
            code = work();
        } catch (const std::exception& error) {
            std::fprintf(stderr, "%s\n", error.what());
        }
        ::_exit(code);
    }
    int status = 0;
    struct rusage usage = {};
    ::wait4(child, &status, 0, &usage);
    Figures figures;
    figures.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    figures.peakKb = usage.ru_maxrss;
    figures.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return figures;
}

void WriteDocument(const fs::path& path, std::size_t size, unsigned seed)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    const std::size_t chunk = 1 << 20;
    for (std::size_t written = 0; written < size; written += chunk) {
        const std::string bytes = fixtures::DocumentBytes(std::min(chunk, size - written), seed++);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
}

} // namespace

int main(int argc, char** argv)
{
    std::size_t megabytes = 200;
    std::string work;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--work" && i + 1 < argc) {
            work = argv[++i];
        } else {
            megabytes = static_cast<std::size_t>(std::stoul(arg));
        }
    }
    if (work.empty()) {
        char pattern[] = "/tmp/restore-bench-XXXXXX";
        const char* made = ::mkdtemp(pattern);
        if (made == nullptr) {
            std::perror("mkdtemp");
            return 1;
        }
        work = made;
    }
    const fs::path root = fs::path(work) / "root";
    fs::create_directories(fs::path(work) / "data");
    fs::create_directories(fs::path(work) / "tmp");
    ::setenv("WHUPLOAD_PROGRAM_DIR", (root / "Program").c_str(), 1);
    ::setenv("XDG_DATA_HOME", (fs::path(work) / "data").c_str(), 1);
    ::setenv("TMPDIR", (fs::path(work) / "tmp").c_str(), 1);

    fixtures::ClaimsDirOptions options;
    options.root = root.string();
    options.claims = 1;
    options.filesPerClaim = 0;
    const fixtures::ClaimsDirLayout layout = fixtures::BuildClaimsDirectory(options);
    const fixtures::ClaimInfo& claim = layout.claims.front();

    // The claim folder: a few large scans, many small documents, in the folder and a subfolder.
    const std::size_t total = megabytes << 20;
    const std::size_t large = total / 2 / 8;
    std::size_t made = 0;
    int members = 0;
    for (int i = 0; i < 8; ++i, ++members) {
        WriteDocument(fs::path(claim.folder) / ("scan" + std::to_string(i) + ".jpg"), large, 100 + i);
        made += large;
    }
    fs::create_directories(fs::path(claim.folder) / "Photos");
    for (int i = 0; made < total; ++i, ++members) {
        const std::size_t size = (32u << 10) + (i % 16) * (16u << 10);
        const fs::path folder = i % 3 == 0 ? fs::path(claim.folder) / "Photos" : fs::path(claim.folder);
        WriteDocument(folder / ("doc" + std::to_string(i) + ".pdf"), size, 1000 + i);
        made += size;
    }

    QuietNotice notice;
    text::SystemClock clock;
    env::WarehouseEnv environment(notice, clock, [] {});
    const env::EngineFolders engine = env::SetEnginePaths(environment);
    environment.PrepareLocalFolders();
    text::SetProcessDateConventions(text::StartupDateConventions());
    {
        // The claim's record in the ARCS table, as the upload leaves it before packing.
        paradox::Table own(claim.folder, "Claims.DB");
        own.Open();
        paradox::Table::EmptyTable(environment.TempArcsDir(), "Arcs.DB");
        paradox::Table arcs(environment.TempArcsDir(), "Arcs.DB");
        arcs.Open();
        arcs.Append();
        upload::CopyRecordFields(own, arcs);
        arcs.Post();
    }
    BuildClaimArchive(environment, claim.claimDir, claim.claimSubdir, kServerId, true);
    const std::string archive = ClaimArchivePath(environment, kServerId);
    if (!fs::exists(archive)) {
        std::fprintf(stderr, "the claim archive was not built\n");
        return 1;
    }
    const std::string download = layout.claimsDir + "/Warehouse/Downloads/" + std::to_string(kServerId) + ".kvz";
    fs::create_directories(fs::path(download).parent_path());
    std::printf("claim archive: %d members, %.1f MB of files, %.1f MB packed\n", members + 3,
                static_cast<double>(made) / (1 << 20), static_cast<double>(fs::file_size(archive)) / (1 << 20));

    Figures ours;
    Figures unzip;
    for (int round = 0; round < 2; ++round) {
        fs::copy_file(archive, download, fs::copy_options::overwrite_existing);
        const Figures restored = InChild([&] {
            paradox::Table claims(layout.claimsDir, "Claims.DB");
            claims.Open();
            restore::RestoreClaimArchive(environment, engine.privateDir, claims, download,
                                         restore::kRestoreNotOnThisSystem, true, 0);
            return fs::exists(download) ? 1 : 0; // a complete restore removes the download
        });
        const std::string target = work + "/unzipped" + std::to_string(round);
        const Figures unzipped = InChild([&] {
            ::execlp("unzip", "unzip", "-q", "-o", archive.c_str(), "-d", target.c_str(), static_cast<char*>(nullptr));
            return 127;
        });
        if (!restored.ok || !unzipped.ok) {
            std::fprintf(stderr, "round %d failed: restore %s, unzip %s\n", round, restored.ok ? "ok" : "failed",
                         unzipped.ok ? "ok" : "failed");
            return 1;
        }
        if (round == 0 || restored.seconds < ours.seconds) {
            ours = restored;
        }
        if (round == 0 || unzipped.seconds < unzip.seconds) {
            unzip = unzipped;
        }
        fs::remove_all(target);
    }
    std::printf("%-28s %8.3f s   peak %8ld KiB\n", "restore (ours)", ours.seconds, ours.peakKb);
    std::printf("%-28s %8.3f s   peak %8ld KiB\n", "unzip -q", unzip.seconds, unzip.peakKb);
    std::printf("time ratio ours/unzip: %.2f (goal: under 1.5)   peak memory ratio: %.2f\n",
                ours.seconds / unzip.seconds, static_cast<double>(ours.peakKb) / static_cast<double>(unzip.peakKb));
    fs::remove_all(work);
    return 0;
}
