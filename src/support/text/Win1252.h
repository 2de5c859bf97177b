#pragma once

#include <string>
#include <string_view>

namespace wh::text {

// Texts inside the tool are Windows-1252 bytes (the workstation's ANSI code page); they become
// UTF-8 only on the wire and at the display edge.
std::string Win1252ToUtf8(std::string_view text);

// Characters that Windows-1252 cannot hold become '?', as the Windows conversion does.
std::string Utf8ToWin1252(std::string_view text);

} // namespace wh::text
