#include "support/Errors.h"

#include <cstring>

namespace wh {

Error::Error(const std::string& message)
    : std::runtime_error(message)
{
}

AssertionError::AssertionError(const std::string& unit, int line)
    : Error("Assertion failure (" + unit + ", line " + std::to_string(line) + ")")
{
}

std::string SystemErrorText(int errorNumber)
{
    char buffer[256];
    // GNU strerror_r returns the text, which may or may not live in the buffer.
    const char* text = strerror_r(errorNumber, buffer, sizeof buffer);
    return text ? text : "Unknown error " + std::to_string(errorNumber);
}

} // namespace wh
