#pragma once

#include <string>

namespace wh::server {

// A password from standard input. On a terminal it is typed without echo, twice, so that a typing
// slip that cannot be seen does not become the password; otherwise it is the first line.
std::string ReadPasswordFromInput();

} // namespace wh::server
