#pragma once

#include <cstdint>
#include <string>

namespace wh::platform {

// The bytes an ordinary process may still write on the file system that holds `folder`. Archive
// extractions hold the sizes their members declare against it, so that a member claiming
// gigabytes is refused before a byte is written. Raises a FileError naming the folder when the
// file system cannot be asked.
std::uint64_t FreeBytes(const std::string& folder);

} // namespace wh::platform
