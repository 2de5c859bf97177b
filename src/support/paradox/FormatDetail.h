#pragma once

#include "support/paradox/Table.h"

#include <cstdint>
#include <string>
#include <unistd.h>
#include <vector>

// What the units of the engine share about the file family: field type codes, header offsets
// and file names. Internal to the engine.
namespace wh::paradox::detail {

constexpr int kFixedHeader = 0x58;
constexpr int kExtendedHeader = 0x78;
constexpr std::uint8_t kSortOrderAscii = 0x4C; // DBWINUS0: plain byte order, code page 1252

struct TypeInfo
{
    FieldType type;
    std::uint8_t code;
    char letter;
};

const TypeInfo* InfoForCode(std::uint8_t code); // nullptr for an unknown code
const TypeInfo& InfoForType(FieldType type);
bool IsBlobType(FieldType type);
// Bytes that a field of this type and size byte takes in a record; 0 when the pair is invalid.
int FieldWidth(FieldType type, int sizeByte);
// The room a header keeps for the table name: level 7 headers hold longer names.
inline std::size_t TableNameLength(int version)
{
    return version >= 0x0C ? 261 : 79;
}

std::string WithExtension(const std::string& fileName);
std::string BaseName(const std::string& fileName);
// The name of a companion file (".PX", ".MB"): new files take the letter case of the table's own
// extension, so "image.db" gets "image.px" and "Claims.DB" gets "Claims.PX".
std::string CompanionName(const std::string& fileName, const char* extension);
// A companion file of the family, resolved without regard to case.
std::string Companion(const std::string& folder, const std::string& fileName, const char* extension);
// The family's secondary index files (NAME.Xnn, NAME.Ynn, NAME.XGn, NAME.YGn, any letter case),
// in name order.
std::vector<std::string> SecondaryIndexFiles(const std::string& folder, const std::string& fileName);

class UniqueFd
{
public:
    explicit UniqueFd(int fd)
        : m_fd(fd)
    {
    }
    ~UniqueFd()
    {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    int Get() const { return m_fd; }

private:
    int m_fd;
};

} // namespace wh::paradox::detail
