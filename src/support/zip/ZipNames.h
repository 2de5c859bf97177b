#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace wh::zip {

// Member names as stored: "\" (written by some Windows tools) read as "/".
std::string StoredName(std::string_view name);

// False for a name that could lead outside the folder it is extracted to: empty, absolute
// ("/x", "\\server\x"), with a drive ("C:x") or with a ".." component.
bool IsSafeMemberName(std::string_view name);

// The non-empty components of a safe name, "." left out.
std::vector<std::string> NameParts(std::string_view name);

} // namespace wh::zip
