#pragma once

#include <string>

#include "HttpFrontEnd.h"
#include "WarehouseServer.h"
#include "WarehouseStore.h"

namespace wh::server {

// Serves the warehouse on `listen` (HOST:PORT) until SIGTERM or SIGINT; without `certPath` and
// `keyPath` with the data folder's certificate, made at the first start. Returns the exit code.
int Serve(WarehouseStore& store, const std::string& dataDir, const std::string& listen, std::string certPath,
          std::string keyPath, const ServerLimits& limits, const ConnectionLimits& connectionLimits);

// Prints the SHA-256 of the certificate's public key, as the workstations show it. Returns the exit code.
int PrintCertificateFingerprint(const std::string& dataDir, const std::string& certPath);

} // namespace wh::server
