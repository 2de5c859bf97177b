#pragma once

#include <stdexcept>
#include <string>

namespace wh {

// Base of the errors that travel to a run or to the application's error box. The message is the
// text the user reads, so it must say what failed and on which file or table.
class Error : public std::runtime_error
{
public:
    explicit Error(const std::string& message);
};

// A file or folder could not be read, written, copied or created.
class FileError : public Error
{
public:
    using Error::Error;
};

// A table could not be opened, read or written (the Paradox engine and the claims tables).
class TableError : public Error
{
public:
    using Error::Error;
};

// An archive could not be built or read.
class ArchiveError : public Error
{
public:
    using Error::Error;
};

// An internal rule was broken by the caller (the described assertion failures).
class AssertionError : public Error
{
public:
    AssertionError(const std::string& unit, int line);
};

// The system's text for an errno value, for messages that end in the operating system's reason.
std::string SystemErrorText(int errorNumber);

} // namespace wh
