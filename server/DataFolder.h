#pragma once

#include <string>

namespace wh::server {

// Hashes and claim data are the company's business only: the data folder is its owner's alone,
// and so is everything made in it.
void MakePrivateDataFolder(const std::string& dataDir);

} // namespace wh::server
