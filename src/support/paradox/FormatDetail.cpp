#include "support/paradox/FormatDetail.h"

#include "support/platform/Paths.h"
#include "support/text/StringUtil.h"

#include <algorithm>
#include <cctype>
#include <dirent.h>
#include <memory>

namespace wh::paradox::detail {

namespace {

constexpr TypeInfo kTypes[] = {
    { FieldType::Alpha, 0x01, 'A' },   { FieldType::Date, 0x02, 'D' },      { FieldType::Short, 0x03, 'S' },
    { FieldType::Long, 0x04, 'I' },    { FieldType::Currency, 0x05, '$' },  { FieldType::Number, 0x06, 'N' },
    { FieldType::Logical, 0x09, 'L' }, { FieldType::Memo, 0x0C, 'M' },      { FieldType::Blob, 0x0D, 'B' },
    { FieldType::FmtMemo, 0x0E, 'F' }, { FieldType::Ole, 0x0F, 'O' },       { FieldType::Graphic, 0x10, 'G' },
    { FieldType::Time, 0x14, 'T' },    { FieldType::Timestamp, 0x15, '@' }, { FieldType::AutoInc, 0x16, '+' },
    { FieldType::Bcd, 0x17, '#' },     { FieldType::Bytes, 0x18, 'Y' },
};

} // namespace

const TypeInfo* InfoForCode(std::uint8_t code)
{
    for (const auto& info : kTypes) {
        if (info.code == code) {
            return &info;
        }
    }
    return nullptr;
}

const TypeInfo& InfoForType(FieldType type)
{
    for (const auto& info : kTypes) {
        if (info.type == type) {
            return info;
        }
    }
    return kTypes[0];
}

bool IsBlobType(FieldType type)
{
    return type == FieldType::Memo || type == FieldType::Blob || type == FieldType::FmtMemo || type == FieldType::Ole
        || type == FieldType::Graphic;
}

int FieldWidth(FieldType type, int sizeByte)
{
    switch (type) {
    case FieldType::Alpha:
    case FieldType::Bytes:
        return sizeByte >= 1 ? sizeByte : 0;
    case FieldType::Date:
    case FieldType::Long:
    case FieldType::Time:
    case FieldType::AutoInc:
        return sizeByte == 4 ? 4 : 0;
    case FieldType::Short:
        return sizeByte == 2 ? 2 : 0;
    case FieldType::Currency:
    case FieldType::Number:
    case FieldType::Timestamp:
        return sizeByte == 8 ? 8 : 0;
    case FieldType::Logical:
        return sizeByte == 1 ? 1 : 0;
    case FieldType::Bcd:
        return sizeByte <= 32 ? 17 : 0;
    case FieldType::Memo:
    case FieldType::Blob:
    case FieldType::FmtMemo:
    case FieldType::Ole:
    case FieldType::Graphic:
        return sizeByte >= 10 ? sizeByte : 0;
    }
    return 0;
}

std::string WithExtension(const std::string& fileName)
{
    const auto slash = fileName.find_last_of('/');
    const auto dot = fileName.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) {
        return fileName + ".DB";
    }
    return fileName;
}

std::string BaseName(const std::string& fileName)
{
    const std::string withExt = WithExtension(fileName);
    return withExt.substr(0, withExt.find_last_of('.'));
}

std::string CompanionName(const std::string& fileName, const char* extension)
{
    const std::string withExt = WithExtension(fileName);
    const std::string ext = withExt.substr(withExt.find_last_of('.'));
    const bool lower = std::any_of(ext.begin(), ext.end(), [](char c) { return c >= 'a' && c <= 'z'; });
    return BaseName(fileName) + (lower ? text::LowerCase(extension) : std::string(extension));
}

std::string Companion(const std::string& folder, const std::string& fileName, const char* extension)
{
    return platform::ResolveNoCase(folder, CompanionName(fileName, extension));
}

std::vector<std::string> SecondaryIndexFiles(const std::string& folder, const std::string& fileName)
{
    std::vector<std::string> names;
    const std::string stem = text::UpperCase(BaseName(fileName)) + ".";
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.empty() ? "." : folder.c_str()), ::closedir);
    if (!dir) {
        return names;
    }
    const auto isHex = [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; };
    while (const dirent* entry = ::readdir(dir.get())) {
        const std::string name = entry->d_name;
        const std::string upper = text::UpperCase(name);
        if (upper.size() != stem.size() + 3 || upper.compare(0, stem.size(), stem) != 0) {
            continue;
        }
        const char kind = upper[stem.size()];
        const char first = upper[stem.size() + 1];
        const char second = upper[stem.size() + 2];
        if ((kind == 'X' || kind == 'Y') && (isHex(first) || first == 'G') && isHex(second)) {
            names.push_back(name);
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace wh::paradox::detail
