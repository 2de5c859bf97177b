#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The .MB file of a table: memo and blob values longer than their record's leader, in 4 KiB units
// (the header, blocks of up to 64 small values, and blocks of one large value each), which the
// record finds by a locator of block offset and slot.
namespace wh::paradox {

class Field;

constexpr int kMemoUnit = 4096;

// The header of a .MB without values.
std::vector<std::uint8_t> NewMemoHeader();

class MemoFile
{
public:
    MemoFile() = default;
    ~MemoFile() { Close(); }
    MemoFile(const MemoFile&) = delete;
    MemoFile& operator=(const MemoFile&) = delete;

    // Names the table whose .MB this is: the file is found (or made) beside it when first needed,
    // and `tablePath` names the table in messages.
    void Bind(std::string folder, std::string fileName, std::string tablePath);
    void Close();

    // The value of a blob field whose record bytes are `raw`.
    std::string ReadBlob(const Field& field, const std::uint8_t* raw);
    // Stores a value and points the record bytes `raw` at it.
    void WriteBlob(const Field& field, std::uint8_t* raw, const std::string& value);
    // Gives back the room of the value that the record bytes `raw` point at.
    void FreeBlob(const Field& field, const std::uint8_t* raw);
    // Makes written values durable, when the file is open for writing.
    void Sync();

private:
    void Open(bool forWrite);
    std::uint64_t LastBlock(std::uint64_t end, std::uint16_t counter);
    [[noreturn]] void Fail(const std::string& what) const;

    std::string m_folder;
    std::string m_fileName;
    std::string m_tablePath;
    std::string m_path;
    int m_fd = -1;
    bool m_writable = false;
    // Where the .MB's last block starts, as this handle last found it; valid while the file's
    // modification counter still reads `m_lastCounter` (every blob write moves it).
    bool m_lastKnown = false;
    std::uint64_t m_lastBlock = 0;
    std::uint16_t m_lastCounter = 0;
};

} // namespace wh::paradox
