// paradox_bench [RECORDS] [APPENDS]: scans a claims table of RECORDS records (100,000 by default),
// every field read as text, with our engine and with pxlib on the same file, each in its own child
// process so that peak memory is measured apart; then times APPENDS (10,000) keyed inserts, and the
// same keyed appends with and without two maintained secondary indexes, onto an empty table and onto
// tables already holding RECORDS/10 and RECORDS records, each run in a fresh process.
#include "ClaimsFixture.h"

#include "support/paradox/Table.h"
#include "support/platform/Paths.h"

#if WH_HAVE_PXLIB
extern "C" {
#include <paradox.h>
}
#endif

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <string_view>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using namespace wh;
using paradox::OpenMode;
using paradox::Table;
using Clock = std::chrono::steady_clock;

namespace {

double Seconds(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

struct ScanResult
{
    double seconds = 0;
    long peakKb = 0;
    long long records = 0;
    bool ok = false;
};

// Runs `scan` in a child process; the child reports its record count and time through a pipe,
// the parent takes the child's peak resident memory from wait4.
ScanResult InChild(const std::function<long long()>& scan)
{
    int fds[2];
    if (::pipe(fds) != 0) {
        return {};
    }
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(fds[0]);
        const auto start = Clock::now();
        const long long records = scan();
        const double seconds = Seconds(start);
        char line[64];
        const int length = std::snprintf(line, sizeof line, "%lld %.6f", records, seconds);
        (void)::write(fds[1], line, static_cast<std::size_t>(length));
        ::_exit(0);
    }
    ::close(fds[1]);
    char line[64] = {};
    const ssize_t got = ::read(fds[0], line, sizeof line - 1);
    ::close(fds[0]);
    int status = 0;
    struct rusage usage = {};
    ::wait4(child, &status, 0, &usage);
    ScanResult result;
    result.peakKb = usage.ru_maxrss;
    if (got > 0 && std::sscanf(line, "%lld %lf", &result.records, &result.seconds) == 2 && WIFEXITED(status)) {
        result.ok = true;
    }
    return result;
}

long long ScanWithEngine(const std::string& folder, const std::string& name)
{
    Table table(folder, name);
    table.Open(OpenMode::Shared);
    long long records = 0;
    std::size_t bytes = 0;
    for (table.First(); !table.Eof(); table.Next(), ++records) {
        for (int i = 0; i < table.FieldCount(); ++i) {
            bytes += table.FieldAt(i).AsText().size();
        }
    }
    return bytes > 0 ? records : -1;
}

#if WH_HAVE_PXLIB
void Quiet(pxdoc_t*, int, const char*, void*) { }

// The same walk through pxlib: every record fetched and every field decoded to text. Memo fields
// are left out (pxlib cannot open blob files here), which only favours pxlib.
long long ScanWithPxlib(const std::string& path)
{
    pxdoc_t* doc = PX_new3(Quiet, nullptr, nullptr, nullptr, nullptr);
    if (PX_open_file(doc, path.c_str()) < 0) {
        return -1;
    }
    const int fieldCount = PX_get_num_fields(doc);
    const int recordCount = PX_get_num_records(doc);
    std::string record(static_cast<std::size_t>(PX_get_recordsize(doc)), '\0');
    std::size_t bytes = 0;
    char buffer[64];
    for (int r = 0; r < recordCount; ++r) {
        if (PX_get_record(doc, r, record.data()) == nullptr) {
            return -1;
        }
        int offset = 0;
        for (int f = 0; f < fieldCount; ++f) {
            pxfield_t* field = PX_get_field(doc, f);
            char* data = record.data() + offset;
            offset += field->px_flen;
            std::string text;
            switch (field->px_ftype) {
            case pxfAlpha: {
                char* value = nullptr;
                if (PX_get_data_alpha(doc, data, field->px_flen, &value) > 0 && value != nullptr) {
                    text = value;
                    std::free(value);
                }
                break;
            }
            case pxfShort: {
                short value = 0;
                if (PX_get_data_short(doc, data, field->px_flen, &value) > 0) {
                    text = std::to_string(value);
                }
                break;
            }
            case pxfLong:
            case pxfAutoInc:
            case pxfTime: {
                long value = 0;
                if (PX_get_data_long(doc, data, field->px_flen, &value) > 0) {
                    text = std::to_string(value);
                }
                break;
            }
            case pxfDate: {
                long value = 0;
                if (PX_get_data_long(doc, data, field->px_flen, &value) > 0) {
                    int year = 0;
                    int month = 0;
                    int day = 0;
                    PX_SdnToGregorian(value + 1721425, &year, &month, &day);
                    std::snprintf(buffer, sizeof buffer, "%02d/%02d/%04d", month, day, year);
                    text = buffer;
                }
                break;
            }
            case pxfNumber:
            case pxfCurrency:
            case pxfTimestamp: {
                double value = 0;
                if (PX_get_data_double(doc, data, field->px_flen, &value) > 0) {
                    std::snprintf(buffer, sizeof buffer, "%g", value);
                    text = buffer;
                }
                break;
            }
            case pxfLogical: {
                char value = 0;
                if (PX_get_data_byte(doc, data, field->px_flen, &value) > 0) {
                    text = value ? "True" : "False";
                }
                break;
            }
            default:
                break;
            }
            bytes += text.size();
        }
    }
    PX_close(doc);
    PX_delete(doc);
    return bytes > 0 ? recordCount : -1;
}
#endif

void BuildTable(const std::string& folder, const std::string& name, int records, int keyStep)
{
    Table::Create(folder, name, fixtures::ClaimsFields(), 1);
    Table table(folder, name);
    table.Open(OpenMode::Exclusive);
    for (int id = 1; id <= records; ++id) {
        table.Append();
        fixtures::FillClaimRecord(table, id * keyStep, "inbox", std::to_string(id) + ".kvx", id % 5 != 0);
        table.Post();
    }
    table.Close();
}

// The keyed appends of the index comparison: keys first..first+count-1 at the end of the table, as
// the tool appends claims. Returns the number of records appended.
long long AppendRecords(const std::string& folder, const std::string& name, int first, int count)
{
    Table table(folder, name);
    table.Open(OpenMode::Exclusive);
    for (int id = first; id < first + count; ++id) {
        table.Append();
        fixtures::FillClaimRecord(table, id, "inbox", std::to_string(id) + ".kvx", id % 5 != 0);
        table.Post();
    }
    table.Flush();
    table.Close();
    return count;
}

// Runs `paradox_bench --append FOLDER NAME FIRST COUNT` as a fresh process: a forked child would
// start with the parent's resident pages (the tables it built), which would hide whether the
// appends' own memory grows with the table.
ScanResult AppendInFreshProcess(const std::string& folder, const std::string& name, int first, int count)
{
    int fds[2];
    if (::pipe(fds) != 0) {
        return {};
    }
    const std::string firstText = std::to_string(first);
    const std::string countText = std::to_string(count);
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(fds[0]);
        ::dup2(fds[1], STDOUT_FILENO);
        const char* argv[] = { "paradox_bench",   "--append",        folder.c_str(), name.c_str(),
                               firstText.c_str(), countText.c_str(), nullptr };
        ::execv("/proc/self/exe", const_cast<char* const*>(argv));
        ::_exit(127);
    }
    ::close(fds[1]);
    char line[64] = {};
    const ssize_t got = ::read(fds[0], line, sizeof line - 1);
    ::close(fds[0]);
    int status = 0;
    struct rusage usage = {};
    ::wait4(child, &status, 0, &usage);
    ScanResult result;
    result.peakKb = usage.ru_maxrss;
    if (got > 0 && std::sscanf(line, "%lld %lf", &result.records, &result.seconds) == 2 && WIFEXITED(status)
        && WEXITSTATUS(status) == 0) {
        result.ok = true;
    }
    return result;
}

int FieldIndex(const std::string& name)
{
    const auto fields = fixtures::ClaimsFields();
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (fields[i].name == name) {
            return static_cast<int>(i);
        }
    }
    std::fprintf(stderr, "no field %s in the claims table\n", name.c_str());
    std::exit(2);
}

// A claims table of `existing` records (keys 1..existing); with `indexed`, two maintained secondary
// indexes: one on ClaimNumber (alpha, .Xnn), whose entries land at its end like the keys, and one
// composite over ClaimType and DReceived (.XGn), whose entries land all over the index.
std::vector<std::string> PrepareAppendTable(const std::string& folder, const std::string& name, int existing,
                                            bool indexed)
{
    BuildTable(folder, name, existing, 1);
    std::vector<std::string> indexFiles;
    if (indexed) {
        paradox::SecondaryIndexDef single;
        single.fields = { FieldIndex("ClaimNumber") };
        indexFiles.push_back(Table::AddSecondaryIndex(folder, name, single));
        paradox::SecondaryIndexDef composite;
        composite.fields = { FieldIndex("ClaimType"), FieldIndex("DReceived") };
        composite.composite = true;
        composite.name = "TypeReceived";
        indexFiles.push_back(Table::AddSecondaryIndex(folder, name, composite));
    }
    return indexFiles;
}

void IndexedAppends(const std::string& folder, const std::vector<int>& sizes, int appends)
{
    std::printf("\nkeyed appends of %d records, each run in a fresh process; indexed = two maintained secondary "
                "indexes\n",
                appends);
    std::printf("%14s  %-22s %9s %12s %11s\n", "records before", "indexes", "seconds", "records/s", "peak KiB");
    struct Row
    {
        int existing;
        ScanResult plain;
        ScanResult indexed;
    };
    std::vector<Row> rows;
    bool consistent = true;
    for (const int existing : sizes) {
        Row row { existing, {}, {} };
        for (const bool indexed : { false, true }) {
            const std::string name = std::string(indexed ? "Indexed" : "Plain") + std::to_string(existing) + ".DB";
            const auto indexFiles = PrepareAppendTable(folder, name, existing, indexed);
            const ScanResult result = AppendInFreshProcess(folder, name, existing + 1, appends);
            std::string label = "none";
            if (indexed) {
                label.clear();
                for (const auto& file : indexFiles) {
                    label += (label.empty() ? "" : ", ") + file.substr(file.find('.') + 1);
                }
            }
            if (!result.ok || result.records != appends) {
                std::printf("%14d  %-22s failed\n", existing, label.c_str());
            } else {
                std::printf("%14d  %-22s %9.3f %12.0f %11ld\n", existing, label.c_str(), result.seconds,
                            appends / result.seconds, result.peakKb);
            }
            if (indexed && result.ok) {
                // A fast write that leaves the indexes wrong is no result.
                Table table(folder, name);
                table.Open(OpenMode::Shared);
                const auto report = table.Check();
                for (const auto& difference : report.differences) {
                    std::printf("    after the appends: %s\n", difference.c_str());
                    consistent = false;
                }
            }
            (indexed ? row.indexed : row.plain) = result;
        }
        rows.push_back(row);
    }
    std::printf("ratio indexed/unindexed time (goal: under 3x; peak memory flat in the table size):\n");
    for (const Row& row : rows) {
        if (row.plain.ok && row.indexed.ok) {
            std::printf("%14d  %.2fx   peak memory %+ld KiB over the unindexed appends\n", row.existing,
                        row.indexed.seconds / row.plain.seconds, row.indexed.peakKb - row.plain.peakKb);
        }
    }
    std::printf("indexes after the appends: %s\n", consistent ? "consistent" : "DIFFERENCES (see above)");
}

void Report(const char* what, long long records, const ScanResult& result)
{
    if (!result.ok || result.records != records) {
        std::printf("%-34s failed\n", what);
        return;
    }
    std::printf("%-34s %9lld records %8.3f s %12.0f records/s  peak %7ld KiB\n", what, records, result.seconds,
                static_cast<double>(records) / result.seconds, result.peakKb);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 6 && std::string_view(argv[1]) == "--append") {
        const auto start = Clock::now();
        const long long appended = AppendRecords(argv[2], argv[3], std::atoi(argv[4]), std::atoi(argv[5]));
        std::printf("%lld %.6f\n", appended, Seconds(start));
        return 0;
    }
    const int records = argc > 1 ? std::atoi(argv[1]) : 100000;
    const int appends = argc > 2 ? std::atoi(argv[2]) : 10000;
    const std::string folder = platform::JoinPath(platform::TempDir(), "paradox-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);

    auto start = Clock::now();
    BuildTable(folder, "Small.DB", records / 10, 1);
    BuildTable(folder, "Claims.DB", records, 2);
    std::printf("built %d + %d claim records in %.2f s; Claims.DB is %.1f MB\n", records / 10, records, Seconds(start),
                static_cast<double>(std::filesystem::file_size(folder + "/Claims.DB")) / 1e6);

    const ScanResult smallOurs = InChild([&] { return ScanWithEngine(folder, "Small.DB"); });
    const ScanResult ours = InChild([&] { return ScanWithEngine(folder, "Claims.DB"); });
    Report("scan, our engine (1/10 size)", records / 10, smallOurs);
    Report("scan, our engine", records, ours);
#if WH_HAVE_PXLIB
    const ScanResult smallTheirs = InChild([&] { return ScanWithPxlib(folder + "/Small.DB"); });
    const ScanResult theirs = InChild([&] { return ScanWithPxlib(folder + "/Claims.DB"); });
    Report("scan, pxlib (1/10 size)", records / 10, smallTheirs);
    Report("scan, pxlib", records, theirs);
    if (ours.ok && theirs.ok) {
        std::printf("speed ratio ours/pxlib: %.2f   peak memory ratio ours/pxlib: %.2f\n",
                    theirs.seconds / ours.seconds,
                    static_cast<double>(ours.peakKb) / static_cast<double>(theirs.peakKb));
    }
#else
    std::printf("pxlib not found: no comparison\n");
#endif

    // Keyed inserts: into an empty table, and spread between the keys of the large table.
    start = Clock::now();
    BuildTable(folder, "Appended.DB", appends, 1);
    std::printf("append %d records to an empty keyed table: %.2f s (%.0f records/s)\n", appends, Seconds(start),
                appends / Seconds(start));
    {
        Table table(folder, "Claims.DB");
        table.Open(OpenMode::Exclusive);
        std::mt19937 random(7);
        std::uniform_int_distribution<int> pick(0, records - 1);
        start = Clock::now();
        for (int i = 0; i < appends; ++i) {
            table.Append();
            fixtures::FillClaimRecord(table, pick(random) * 2 + 1, "inbox", "x.kvx", true);
            try {
                table.Post();
            } catch (const std::exception&) {
                table.Cancel(); // the same odd key drawn twice
            }
        }
        table.Flush();
        std::printf("insert %d records between the keys of the %d-record table: %.2f s\n", appends, records,
                    Seconds(start));
    }
    IndexedAppends(folder, { 0, records / 10, records }, appends);
    std::filesystem::remove_all(folder);
    return 0;
}
