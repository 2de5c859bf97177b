// Claim archive speed and memory against Info-ZIP. A deterministic claim folder of mixed files
// (text and tables that compress well, photos that do not) is generated in the temporary
// folder; each tool then archives it in a child process of its own, so that the peak resident
// memory (getrusage of the child) belongs to that tool alone. Each tool runs twice, alternately,
// and the faster run counts.

#include "support/Errors.h"
#include "support/platform/Paths.h"
#include "support/zip/ZipReader.h"
#include "support/zip/ZipWriter.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

// xorshift32: the same bytes on every run and machine.
class Random
{
public:
    explicit Random(std::uint32_t seed)
        : m_state(seed == 0 ? 1 : seed)
    {
    }
    std::uint32_t Next()
    {
        m_state ^= m_state << 13;
        m_state ^= m_state >> 17;
        m_state ^= m_state << 5;
        return m_state;
    }

private:
    std::uint32_t m_state;
};

enum class Kind { Text, Table, Photo };

void WriteFile(const fs::path& path, std::size_t size, Kind kind, std::uint32_t seed)
{
    static const char* const kWords[]
        = { "claim",   "roof",    "water",    "damage",  "insured", "adjuster", "estimate", "north",   "slope",
            "shingle", "invoice", "contents", "kitchen", "ceiling", "storm",    "policy",   "carrier", "inspection" };
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    Random random(seed);
    std::string chunk;
    std::size_t written = 0;
    while (written < size) {
        chunk.clear();
        while (chunk.size() < 65536) {
            switch (kind) {
            case Kind::Text:
                chunk += kWords[random.Next() % std::size(kWords)];
                chunk += (random.Next() % 12 == 0) ? ".\r\n" : " ";
                break;
            case Kind::Table: { // fixed-size records: a counter, a few numbers, padded text
                char record[64] = {};
                std::snprintf(record, sizeof record, "%08u|%6u|%s", static_cast<unsigned>(written + chunk.size()),
                              random.Next() % 100000, kWords[random.Next() % std::size(kWords)]);
                chunk.append(record, sizeof record);
                break;
            }
            case Kind::Photo:
                for (int i = 0; i < 1024; ++i) {
                    const std::uint32_t value = random.Next();
                    chunk.append(reinterpret_cast<const char*>(&value), sizeof value);
                }
                break;
            }
        }
        const std::size_t take = std::min(chunk.size(), size - written);
        out.write(chunk.data(), static_cast<std::streamsize>(take));
        written += take;
    }
}

// About `megabytes` MB: photos (incompressible) take ~45 %, text and tables the rest; a few big
// files, many middling ones and a crowd of small ones, in subfolders.
std::uint64_t GenerateClaimFolder(const fs::path& root, std::uint64_t megabytes)
{
    const std::uint64_t target = megabytes << 20;
    Random random(20240131);
    std::uint64_t total = 0;
    int n = 0;
    while (total < target) {
        const std::uint32_t pick = random.Next() % 100;
        std::size_t size;
        Kind kind;
        fs::path path;
        if (pick < 3) {
            size = (8 + random.Next() % 16) << 20;
            kind = Kind::Photo;
            path = root / "video" / ("clip" + std::to_string(n) + ".mp4");
        } else if (pick < 25) {
            size = (256 + random.Next() % 2048) << 10;
            kind = Kind::Photo;
            path = root / "photos" / ("p" + std::to_string(n) + ".jpg");
        } else if (pick < 40) {
            size = (64 + random.Next() % 4096) << 10;
            kind = Kind::Table;
            path = root / ("TABLE" + std::to_string(n) + ".DB");
        } else {
            size = (1 + random.Next() % 256) << 10;
            kind = Kind::Text;
            path = root / "docs" / ("note" + std::to_string(n) + ".txt");
        }
        size = static_cast<std::size_t>(std::min<std::uint64_t>(size, target - total + 1));
        WriteFile(path, size, kind, random.Next());
        total += size;
        ++n;
    }
    return total;
}

struct RunFigures
{
    double seconds = 0;
    long peakKiB = 0;
    std::uint64_t archiveBytes = 0;
    int exitCode = 0;
};

RunFigures RunChild(const std::vector<std::string>& argv, const fs::path& workDir, const fs::path& archive)
{
    fs::remove(archive);
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::chdir(workDir.c_str()) != 0) {
            ::_exit(126);
        }
        std::vector<char*> args;
        for (const std::string& a : argv) {
            args.push_back(const_cast<char*>(a.c_str()));
        }
        args.push_back(nullptr);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    int status = 0;
    struct rusage usage = {};
    ::wait4(pid, &status, 0, &usage);
    RunFigures figures;
    figures.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    figures.peakKiB = usage.ru_maxrss;
    figures.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    std::error_code ec;
    figures.archiveBytes = fs::file_size(archive, ec);
    return figures;
}

// The child side: archive one folder the way the claim archive builder does.
int BuildArchive(const std::string& folder, const std::string& archive)
{
    try {
        wh::zip::ZipWriter writer(archive);
        writer.AddFiles(folder, "*.*", true);
        writer.Close();
        return 0;
    } catch (const wh::Error& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 4 && std::string(argv[1]) == "--build") {
        return BuildArchive(argv[2], argv[3]);
    }
    const std::uint64_t megabytes = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 200;
    std::string pattern = wh::platform::TempDir() + "/whzipbench-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const fs::path work = pattern;
    const fs::path folder = work / "2024" / "C0001";
    std::printf("Generating a claim folder of %llu MB in %s ...\n", static_cast<unsigned long long>(megabytes),
                folder.c_str());
    const std::uint64_t total = GenerateClaimFolder(folder, megabytes);
    std::size_t files = 0;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        files += entry.is_regular_file() ? 1 : 0;
    }

    const std::string self = fs::read_symlink("/proc/self/exe").string();
    const fs::path ours = work / "ours.zip";
    const fs::path infoZip = work / "infozip.zip";
    RunFigures best[2];
    for (int round = 0; round < 2; ++round) {
        const RunFigures z = RunChild({ "zip", "-1", "-r", "-q", infoZip.string(), "." }, folder, infoZip);
        const RunFigures w = RunChild({ self, "--build", folder.string(), ours.string() }, folder, ours);
        if (z.exitCode != 0 || w.exitCode != 0) {
            std::fprintf(stderr, "a run failed: zip exit %d, ZipWriter exit %d\n", z.exitCode, w.exitCode);
            fs::remove_all(work);
            return 1;
        }
        if (round == 0 || z.seconds < best[0].seconds) {
            best[0] = z;
        }
        if (round == 0 || w.seconds < best[1].seconds) {
            best[1] = w;
        }
    }
    const std::size_t members = wh::zip::ZipReader(ours.string()).Entries().size();

    std::printf("\nFolder: %zu files, %.1f MB; ZipWriter archive holds %zu members\n", files,
                static_cast<double>(total) / (1 << 20), members);
    std::printf("%-22s %10s %14s %14s\n", "", "time (s)", "peak RSS (MB)", "archive (MB)");
    const char* names[2] = { "Info-ZIP zip -1 -r", "wh::zip::ZipWriter" };
    for (int i = 0; i < 2; ++i) {
        std::printf("%-22s %10.2f %14.1f %14.1f\n", names[i], best[i].seconds, best[i].peakKiB / 1024.0,
                    static_cast<double>(best[i].archiveBytes) / (1 << 20));
    }
    const double timeRatio = best[1].seconds / best[0].seconds;
    std::printf("\nTime ratio ZipWriter / zip -1: %.2f (goal <= 1.00: %s)\n", timeRatio,
                timeRatio <= 1.0 ? "met" : "NOT met");
    std::printf("Peak memory of ZipWriter: %.1f MB (goal < 64 MB: %s)\n", best[1].peakKiB / 1024.0,
                best[1].peakKiB < 64 * 1024 ? "met" : "NOT met");
    fs::remove_all(work);
    return 0;
}
