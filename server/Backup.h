#pragma once

#include <string>

namespace wh::server {

// A copy of the records and the store in a new or empty folder `dest`, also while servers run;
// `database` empty means the SQLite records of the data folder. Returns the exit code.
int Backup(const std::string& dataDir, const std::string& database, const std::string& dest);

// A backup put back into an empty or new data folder (with `force`, one whose content it replaces,
// and the database's too). Returns the exit code.
int Restore(const std::string& dataDir, const std::string& database, const std::string& source, bool force);

} // namespace wh::server
