#pragma once

#include <memory>

#include "env/EnginePaths.h"
#include "warehouse/WarehouseSession.h"

namespace wh::env {
class WarehouseEnv;
}

namespace wh::cli {

struct HeadlessStart
{
    env::EngineFolders engine;
    std::unique_ptr<warehouse::WarehouseSession> session;
};

// The tray tool's start-up preparation, without its launch line and timers: the table engine's
// folders, the session, the local tree, the date conventions and the server address of
// warehouse.ini. Errors: the wh::Error of a warehouse.ini that cannot be read; the session then
// goes with the exception.
HeadlessStart PrepareHeadlessStart(env::WarehouseEnv& environment);

} // namespace wh::cli
