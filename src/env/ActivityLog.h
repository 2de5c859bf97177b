#pragma once

#include <cstdio>
#include <initializer_list>
#include <memory>
#include <string>

#include "support/text/Clock.h"

namespace wh::env {

class WarehouseEnv;

// The activity log, opened at its end (created when absent) for a group of lines and closed when
// the object goes away. Every line ends in CR LF, as the product's other tools expect.
class ActivityLog
{
public:
    // Raises a FileError when the log cannot be opened.
    explicit ActivityLog(const std::string& path, const text::Clock& clock);
    explicit ActivityLog(WarehouseEnv& env);

    void WriteLine(const std::string& line);
    // Writes text + " @ " + the time stamp.
    void WriteStamped(const std::string& text);

    const text::Clock& Clock() const { return m_clock; }

private:
    std::string m_path;
    const text::Clock& m_clock;
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> m_file;
};

// Opens the log, writes the lines in order and closes it.
void AppendActivityLog(WarehouseEnv& env, std::initializer_list<std::string> lines);

// Appends the two lines of a failure log: the heading (it begins with "~~~~~") + " @ " + time
// stamp, then the message. Raises a FileError when the file cannot be written.
void AppendFailureLog(const std::string& path, const std::string& heading, const std::string& message,
                      const text::Clock& clock);

} // namespace wh::env
