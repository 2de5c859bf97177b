#pragma once

#include <string>

namespace wh::version {

// The project's version and the commit the program was built from: "0.1.0 (commit 0b4c34b)";
// "commit unknown" for a build from sources without their history.
const char* VersionText();

// The line --version prints: the program's name, then VersionText().
inline std::string VersionLine(const std::string& program)
{
    return program + " " + VersionText();
}

} // namespace wh::version
