// libFuzzer target for the ZIP reader: any bytes as an archive, extracted in full into a fresh
// folder. Beyond "no crash", it checks the reader's promise that nothing is ever written outside
// the base folder: the work folder may hold only the archive and the base folder afterwards, and
// nothing below the base folder may be a link leading out of it.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include "support/Errors.h"
#include "support/zip/ZipReader.h"

namespace fs = std::filesystem;

namespace {

const fs::path& WorkFolder()
{
    static const fs::path folder = [] {
        std::string pattern = (fs::temp_directory_path() / "zipfuzz-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) {
            std::abort();
        }
        return fs::path(pattern);
    }();
    return folder;
}

void Violation(const std::string& what)
{
    std::fprintf(stderr, "ZIP reader wrote outside its base folder: %s\n", what.c_str());
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const fs::path work = WorkFolder();
    const fs::path archive = work / "input.zip";
    const fs::path base = work / "out";
    std::error_code ec;
    fs::remove_all(base, ec);
    fs::create_directories(base);
    if (std::FILE* file = std::fopen(archive.c_str(), "wb")) {
        std::fwrite(data, 1, size, file);
        std::fclose(file);
    }
    try {
        wh::zip::ZipReader reader(archive.string());
        reader.SetBaseFolder(base.string());
        reader.SetFailureHandler([](const wh::zip::Failure&) { return wh::zip::FailureAction::Skip; });
        reader.Extract("*");
    } catch (const wh::Error&) {
        // A damaged archive is an ordinary error.
    }
    for (const auto& entry : fs::directory_iterator(work)) {
        if (entry.path() != archive && entry.path() != base) {
            Violation(entry.path().string());
        }
    }
    for (auto it = fs::recursive_directory_iterator(base); it != fs::recursive_directory_iterator(); ++it) {
        if (it->is_symlink()) {
            const fs::path target = fs::weakly_canonical(it->path(), ec);
            const std::string baseText = fs::weakly_canonical(base).string() + "/";
            if (target.string().rfind(baseText, 0) != 0) {
                Violation(it->path().string() + " -> " + target.string());
            }
        }
    }
    return 0;
}
