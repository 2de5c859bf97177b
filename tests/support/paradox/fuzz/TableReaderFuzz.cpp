// libFuzzer target for the table reader: the input becomes a .DB file (and, after a 4-byte length
// prefix, an .MB file), which is opened and read field by field. Inputs that start with "XI" become
// a secondary index file of a small sound table, which is read, checked and written through. Any
// crash or sanitizer report is a finding; a TableError is the expected answer to a bad file.
#include "support/Errors.h"
#include "support/paradox/SecondaryIndex.h"
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

std::string ReadWhole(const std::string& path)
{
    std::string bytes;
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        std::abort();
    }
    char buffer[4096];
    for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, file)) > 0;) {
        bytes.append(buffer, got);
    }
    std::fclose(file);
    return bytes;
}

// A keyed table of three records (C, A, B as the original engine's C.DB), made once; each input
// starts from its bytes again.
void RestoreIndexedTable(const std::string& folder)
{
    static const std::pair<std::string, std::string> family = [&] {
        using wh::paradox::FieldType;
        wh::paradox::Table::Create(
            folder, "I.DB", { { "C", FieldType::Long, 0 }, { "A", FieldType::Long, 0 }, { "B", FieldType::Long, 0 } },
            1);
        wh::paradox::Table table(folder, "I.DB");
        table.Open();
        for (int i = 1; i <= 3; ++i) {
            table.Append();
            table.FieldAt(0).SetInteger(i);
            table.FieldAt(1).SetInteger(i);
            table.FieldAt(2).SetInteger(i + 3);
            table.Post();
        }
        table.Close();
        return std::pair { ReadWhole(folder + "/I.DB"), ReadWhole(folder + "/I.PX") };
    }();
    WriteFile(folder + "/I.DB", reinterpret_cast<const std::uint8_t*>(family.first.data()), family.first.size());
    WriteFile(folder + "/I.PX", reinterpret_cast<const std::uint8_t*>(family.second.data()), family.second.size());
}

void FuzzIndexFile(const std::string& folder, const std::uint8_t* data, std::size_t size)
{
    ::unlink((folder + "/I.X02").c_str());
    ::unlink((folder + "/I.Y02").c_str());
    RestoreIndexedTable(folder);
    WriteFile(folder + "/I.X02", data, size);
    try {
        wh::paradox::Table table(folder, "I.DB");
        table.Open(wh::paradox::OpenMode::Shared);
        for (wh::paradox::SecondaryIndex* index : table.SecondaryIndexes()) {
            if (wh::paradox::Table* rows = index->Rows()) {
                int count = 0;
                for (rows->First(); !rows->Eof() && count < 5000; rows->Next(), ++count) {
                    for (int i = 0; i < rows->FieldCount(); ++i) {
                        (void)rows->FieldAt(i).AsText();
                    }
                }
            }
        }
        (void)table.Check();
        table.Append();
        table.FieldAt(0).SetInteger(4);
        table.Post();
    } catch (const wh::TableError&) {
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string folder = Folder();
    if (size >= 2 && data[0] == 'X' && data[1] == 'I') {
        FuzzIndexFile(folder, data + 2, size - 2);
        return 0;
    }
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
