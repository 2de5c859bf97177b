#pragma once

#include <functional>
#include <string>

// Internals of RestoreFileOps that tests reach directly.
namespace wh::restore::detail {

// How many names MakeTempClaimFolder tries before it gives up, and the range of its numbers.
constexpr int kTempNameAttempts = 65535;
constexpr int kTempNameLargest = 65534;

// MakeTempClaimFolder with the random numbers (0 to kTempNameLargest) taken from `draw`, so a test
// can make every drawn name an existing one without creating 65535 folders.
std::string MakeTempClaimFolder(const std::string& parent, const std::string& extension,
                                const std::function<int()>& draw);

// Whether a file name matches a mask as the Windows file search matches it: "*" and "?" without
// regard to case, and a trailing ".*" also matches a name without any extension.
bool MatchesMask(const std::string& name, const std::string& mask);

} // namespace wh::restore::detail
