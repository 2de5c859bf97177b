#pragma once

#include "support/json/Json.h"

#include <string>
#include <sys/types.h>

namespace wh::test {

// The archive as Python's zipfile sees it (tests/support/zip/zip_inspect.py dump).
json::Value InspectArchive(const std::string& archivePath);

// Writes an archive with Python's zipfile from a list of member descriptions (see the script),
// for layouts our writer never makes: damaged, hostile or foreign members.
void MakeArchive(const std::string& archivePath, const json::Value& members);

// The member names of an inspected archive, in order.
std::vector<std::string> MemberNames(const json::Value& inspected);

void SetMode(const std::string& path, mode_t mode);
mode_t ModeOf(const std::string& path); // permission bits only
// Every entry of a folder tree, relative to it, sorted; folders end in "/".
std::vector<std::string> ListTree(const std::string& folder);

} // namespace wh::test
