#include "support/paradox/SecondaryIndexHeader.h"

#include "support/Errors.h"

#include <algorithm>
#include <cstddef>
#include <set>

namespace wh::paradox {

namespace {

constexpr std::size_t kFixedEnd = 0x58; // end of the fixed part; the .Y's variable part starts here
constexpr std::size_t kExtensionEnd = 0x78; // end of the level-4+ extension block
constexpr std::size_t kHeaderUnit = 0x800;
constexpr std::uint8_t kLevel7 = 0x0C;
constexpr std::uint8_t kShortType = 0x03;
constexpr std::uint8_t kLongType = 0x04;

struct FieldDesc
{
    std::uint8_t type = 0;
    std::uint8_t size = 0;
    std::string name;
};

struct TableInfo
{
    std::uint8_t version = 0;
    bool keyed = false;
    int keyFields = 0;
    std::vector<FieldDesc> fields;
    std::string storedName;
    std::string sortOrderId;
};

[[noreturn]] void Fail(const std::string& what)
{
    throw TableError("Cannot create the secondary index: " + what + ".");
}

std::uint8_t ByteAt(const std::vector<std::uint8_t>& h, std::size_t offset)
{
    if (offset >= h.size()) {
        Fail("the table header is cut short");
    }
    return h[offset];
}

std::uint16_t U16At(const std::vector<std::uint8_t>& h, std::size_t offset)
{
    return static_cast<std::uint16_t>(ByteAt(h, offset) | (ByteAt(h, offset + 1) << 8));
}

// Reads a NUL-terminated string and moves past its NUL.
std::string CStringAt(const std::vector<std::uint8_t>& h, std::size_t& offset)
{
    std::string text;
    while (const std::uint8_t c = ByteAt(h, offset++)) {
        text.push_back(static_cast<char>(c));
    }
    return text;
}

std::size_t TableNameLength(std::uint8_t version)
{
    return version >= kLevel7 ? 261 : 79;
}

TableInfo ParseTable(const std::vector<std::uint8_t>& h)
{
    TableInfo info;
    const std::uint8_t fileType = ByteAt(h, 0x04);
    if (fileType != 0 && fileType != 2) {
        Fail("the header is not the header of a table");
    }
    info.keyed = fileType == 0;
    info.version = ByteAt(h, 0x39);
    // Level-3 tables have no extension block, which the data file's layout depends on.
    if (info.version < 5) {
        Fail("the table is older than level 4");
    }
    // An encrypted table has crypt information in its header and would need encrypted index blocks.
    if (U16At(h, 0x5C) != 0 || U16At(h, 0x5E) != 0) {
        Fail("the table is encrypted");
    }
    const int count = U16At(h, 0x21);
    info.keyFields = info.keyed ? U16At(h, 0x23) : 0;
    if (count == 0 || info.keyFields > count || (info.keyed && info.keyFields == 0)) {
        Fail("the table header has an invalid field count");
    }
    std::size_t p = kExtensionEnd;
    for (int i = 0; i < count; ++i, p += 2) {
        info.fields.push_back({ ByteAt(h, p), ByteAt(h, p + 1), {} });
    }
    p += 4 + 4 * static_cast<std::size_t>(count); // the run-time pointers
    std::size_t namePos = p;
    info.storedName = CStringAt(h, namePos);
    p += TableNameLength(info.version);
    for (auto& field : info.fields) {
        field.name = CStringAt(h, p);
    }
    p += 2 * static_cast<std::size_t>(count); // the field numbers
    info.sortOrderId = CStringAt(h, p);
    return info;
}

bool IsBlobType(std::uint8_t type)
{
    return type >= 0x0C && type <= 0x10; // memo, binary, formatted memo, OLE, graphic: kept in the .MB
}

void CheckDef(const TableInfo& table, const SecondaryIndexDef& def)
{
    if (def.fields.empty()) {
        Fail("it has no fields");
    }
    if (!def.descending.empty() && def.descending.size() != def.fields.size()) {
        Fail("the descending flags do not match its fields");
    }
    std::set<int> seen;
    for (const int index : def.fields) {
        if (index < 0 || index >= static_cast<int>(table.fields.size())) {
            Fail("field " + std::to_string(index + 1) + " is not a field of the table");
        }
        if (!seen.insert(index).second) {
            Fail("field " + table.fields[index].name + " is listed twice");
        }
        if (IsBlobType(table.fields[index].type)) {
            Fail("field " + table.fields[index].name + " is a memo or blob field");
        }
    }
    const bool anyDescending = std::find(def.descending.begin(), def.descending.end(), true) != def.descending.end();
    if (anyDescending && table.version < kLevel7) {
        Fail("a descending index needs a level 7 table");
    }
    if (!def.composite && (def.fields.size() > 1 || !def.name.empty() || anyDescending)) {
        Fail("an index with several fields, a name or a descending field must be a composite index");
    }
    if (def.composite && (def.compositeNumber < 0 || def.compositeNumber > 15)) {
        Fail("composite index number " + std::to_string(def.compositeNumber) + " is out of range");
    }
    if (def.maintained && !table.keyed) {
        Fail("a maintained index needs a keyed table");
    }
}

void Put16(std::vector<std::uint8_t>& h, std::size_t offset, std::size_t value)
{
    h[offset] = static_cast<std::uint8_t>(value);
    h[offset + 1] = static_cast<std::uint8_t>(value >> 8);
}

void PutText(std::vector<std::uint8_t>& h, std::size_t offset, const std::string& text)
{
    std::copy(text.begin(), text.end(), h.begin() + static_cast<std::ptrdiff_t>(offset));
}

// The engine stores the table's creation name with the extension of the file itself.
std::string StoredName(const std::string& tableName, const std::string& extension)
{
    const auto dot = tableName.rfind('.');
    return (dot == std::string::npos ? tableName : tableName.substr(0, dot)) + "." + extension;
}

std::string Hex(int value, int digits)
{
    static const char kDigits[] = "0123456789ABCDEF";
    std::string text(static_cast<std::size_t>(digits), '0');
    for (int i = digits - 1; i >= 0; --i, value >>= 4) {
        text[static_cast<std::size_t>(i)] = kDigits[value & 0xF];
    }
    return text;
}

} // namespace

std::string SecondaryIndexExtension(const SecondaryIndexDef& def)
{
    if (def.composite) {
        return "XG" + Hex(def.compositeNumber, 1);
    }
    if (def.fields.empty()) {
        Fail("it has no fields");
    }
    return "X" + Hex(def.fields.front() + 1, 2);
}

SecondaryIndexHeaders NewSecondaryIndexHeaders(const std::vector<std::uint8_t>& tableHeader,
                                               const SecondaryIndexDef& def)
{
    const TableInfo table = ParseTable(tableHeader);
    CheckDef(table, def);
    const auto isDescending = [&](std::size_t i) { return !def.descending.empty() && def.descending[i]; };

    // The data file's fields: the index fields, then what finds the record in the table: the
    // primary key, or for an unkeyed table its position; then the table block.
    std::vector<FieldDesc> fields;
    std::vector<std::uint16_t> numbers;
    for (std::size_t i = 0; i < def.fields.size(); ++i) {
        fields.push_back(table.fields[static_cast<std::size_t>(def.fields[i])]);
        numbers.push_back(static_cast<std::uint16_t>((def.fields[i] + 1) | (isDescending(i) ? 0x8000 : 0)));
    }
    std::size_t keyCount = 0;
    if (table.keyed) {
        fields.insert(fields.end(), table.fields.begin(), table.fields.begin() + table.keyFields);
        fields.push_back({ kShortType, 2, "Blk Num" });
        keyCount = def.fields.size() + static_cast<std::size_t>(table.keyFields);
    } else {
        fields.push_back({ kLongType, 4, "Tup No" });
        fields.push_back({ kShortType, 2, "Blk Num" });
        fields.push_back({ kShortType, 2, "Tup Offset" });
        keyCount = def.fields.size() + 2;
    }
    // Fields after the index fields carry their own position in the data file.
    for (std::size_t i = numbers.size(); i < fields.size(); ++i) {
        numbers.push_back(static_cast<std::uint16_t>(i + 1));
    }
    std::size_t highestNumber = 0;
    for (const auto number : numbers) {
        highestNumber = std::max<std::size_t>(highestNumber, number & 0x7FFF);
    }

    const std::string extension = SecondaryIndexExtension(def);
    const std::size_t nameLength = TableNameLength(table.version);
    const std::string dataName = StoredName(table.storedName, extension);
    const std::string indexName = StoredName(table.storedName, "Y" + extension.substr(1));
    if (dataName.size() >= nameLength) {
        Fail("the table name is too long");
    }

    // Offsets of the data file's variable part.
    const std::size_t n = fields.size();
    const std::size_t namePos = kExtensionEnd + 2 * n + 4 + 4 * n;
    std::size_t fieldNamesEnd = namePos + nameLength;
    for (const auto& field : fields) {
        fieldNamesEnd += field.name.size() + 1;
    }
    const std::size_t numbersPos = fieldNamesEnd;
    const std::size_t sortIdPos = numbersPos + 2 * n;
    const std::size_t indexNamePos = sortIdPos + table.sortOrderId.size() + 1;
    const std::size_t used = indexNamePos + (def.name.empty() ? 0 : def.name.size() + 1);
    const std::size_t headerSize = (used + kHeaderUnit - 1) / kHeaderUnit * kHeaderUnit;

    SecondaryIndexHeaders out;
    auto& x = out.data;
    x.assign(headerSize, 0);
    std::size_t recordSize = 0;
    for (const auto& field : fields) {
        recordSize += field.size;
    }
    Put16(x, 0x00, recordSize);
    Put16(x, 0x02, headerSize);
    x[0x04] = def.composite ? (def.maintained ? 8 : 6) : (def.maintained ? 5 : 3);
    x[0x05] = tableHeader[0x05]; // the block size follows the table's
    // 0x06-0x11: no records, no blocks.
    Put16(x, 0x12, U16At(tableHeader, 0x12) + 1u);
    x[0x15] = static_cast<std::uint8_t>(def.fields.front() + 1);
    Put16(x, 0x21, n);
    Put16(x, 0x23, keyCount);
    x[0x25] = 0x00; // the level-4+ marker: the real password checksum is at 0x5C
    x[0x26] = 0xFF;
    x[0x27] = 0x00;
    x[0x28] = 0xFF;
    x[0x29] = tableHeader[0x29];
    x[0x2C] = 0xFF;
    x[0x2D] = 2; // the header counter of a fresh file; the engine ignores an index below 2
    x[0x2E] = tableHeader[0x2E];
    x[0x2F] = tableHeader[0x2D];
    x[0x39] = table.version;
    x[0x3E] = 0x1F;
    x[0x3F] = 0x0F;
    Put16(x, 0x51, used);
    if (table.version >= kLevel7) {
        bool anyDescending = false;
        for (std::size_t i = 0; i < def.fields.size(); ++i) {
            anyDescending = anyDescending || isDescending(i);
        }
        x[0x55] = anyDescending ? 0x11 : 0x01;
    }
    x[0x56] = 0x20;
    Put16(x, 0x58, U16At(tableHeader, 0x58));
    Put16(x, 0x5A, U16At(tableHeader, 0x5A));
    Put16(x, 0x64, highestNumber + 1);
    Put16(x, 0x66, numbersPos - kFixedEnd);
    Put16(x, 0x68, def.name.empty() ? 0 : indexNamePos - kFixedEnd);
    Put16(x, 0x6A, U16At(tableHeader, 0x6A));
    x[0x6C] = 1;
    x[0x6D] = 1;
    Put16(x, 0x6E, sortIdPos - kFixedEnd);
    std::size_t p = kExtensionEnd;
    for (const auto& field : fields) {
        x[p++] = field.type;
        x[p++] = field.size;
    }
    // The table name and field name pointers that follow are run-time values: left 0.
    PutText(x, namePos, dataName);
    p = namePos + nameLength;
    for (const auto& field : fields) {
        PutText(x, p, field.name);
        p += field.name.size() + 1;
    }
    for (const auto number : numbers) {
        Put16(x, p, number);
        p += 2;
    }
    PutText(x, sortIdPos, table.sortOrderId);
    PutText(x, indexNamePos, def.name);

    // The index file: the .PX layout over the data file's key fields.
    auto& y = out.index;
    const std::size_t yUsed = kFixedEnd + 2 * keyCount + 4 + nameLength;
    y.assign(kHeaderUnit, 0);
    std::size_t keySize = 0;
    for (std::size_t i = 0; i < keyCount; ++i) {
        keySize += fields[i].size;
    }
    Put16(y, 0x00, keySize + 6);
    Put16(y, 0x02, kHeaderUnit);
    y[0x04] = def.composite ? 7 : 4;
    y[0x05] = tableHeader[0x05];
    Put16(y, 0x12, U16At(x, 0x12) + 1u);
    Put16(y, 0x1E, 1); // the root block number even while there is no block
    Put16(y, 0x21, keyCount);
    y[0x29] = tableHeader[0x29];
    y[0x2C] = x[0x2D];
    y[0x39] = table.version;
    y[0x49] = 2; // as in every empty index file the engine wrote
    Put16(y, 0x51, yUsed);
    p = kFixedEnd;
    for (std::size_t i = 0; i < keyCount; ++i) {
        y[p++] = fields[i].type;
        y[p++] = fields[i].size;
    }
    PutText(y, p + 4, indexName);
    return out;
}

} // namespace wh::paradox
