// libFuzzer target for the table reader: the input becomes a .DB file (and, after a 4-byte length
// prefix, an .MB file), which is opened and read field by field. Any crash or sanitizer report is a
// finding; a TableError is the expected answer to a bad file.
#include "support/Errors.h"
#include "support/paradox/Table.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

void WriteFile(const std::string& path, const std::uint8_t* data, std::size_t size)
{
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        std::abort();
    }
    if (size > 0) {
        std::fwrite(data, 1, size, file);
    }
    std::fclose(file);
}

std::string Folder()
{
    static const std::string folder = [] {
        char pattern[] = "/tmp/paradox-fuzz-XXXXXX";
        const char* made = ::mkdtemp(pattern);
        if (made == nullptr) {
            std::abort();
        }
        return std::string(made);
    }();
    return folder;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string folder = Folder();
    // Inputs that start with "MB" carry a length prefix: that many bytes of .DB, the rest is .MB.
    std::size_t dbSize = size;
    const std::uint8_t* db = data;
    const std::uint8_t* mb = nullptr;
    std::size_t mbSize = 0;
    if (size >= 6 && data[0] == 'M' && data[1] == 'B') {
        std::uint32_t length = 0;
        std::memcpy(&length, data + 2, 4);
        db = data + 6;
        dbSize = std::min<std::size_t>(length, size - 6);
        mb = db + dbSize;
        mbSize = size - 6 - dbSize;
    }
    WriteFile(folder + "/F.DB", db, dbSize);
    ::unlink((folder + "/F.MB").c_str());
    if (mb != nullptr) {
        WriteFile(folder + "/F.MB", mb, mbSize);
    }
    try {
        wh::paradox::Table table(folder, "F.DB");
        table.Open(wh::paradox::OpenMode::Shared);
        int records = 0;
        for (table.First(); !table.Eof() && records < 5000; table.Next(), ++records) {
            for (int i = 0; i < table.FieldCount(); ++i) {
                auto& field = table.FieldAt(i);
                try {
                    (void)field.AsText();
                    (void)field.AsFloat();
                    (void)field.IsNull();
                } catch (const wh::TableError&) {
                    // A damaged value is reported, and the walk goes on.
                }
            }
        }
        table.Last();
        if (table.IsKeyed()) {
            (void)table.FindKey(1);
        }
        (void)table.FindFirstNoCase(table.FieldAt(0).Name(), "x");
    } catch (const wh::TableError&) {
    }
    return 0;
}
