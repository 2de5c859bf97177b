#pragma once

#include <memory>

#include "env/EnginePaths.h"
#include "env/WarehouseFuncs.h"
#include "support/text/Clock.h"
#include "warehouse/WarehouseSession.h"

namespace wh::cli {

// The workstation a headless command acts on: the product's environment (DBAlias.ini, the claims
// directory, the current user) as the tray tool sees it, on the system clock.
class HeadlessWorkstation
{
    // First, so that it is set before the environment may ask for the end while it is made.
    bool m_endRequested = false;

public:
    explicit HeadlessWorkstation(UserNotice& notice)
        : environment(notice, clock, [this] { m_endRequested = true; })
    {
    }
    HeadlessWorkstation(const HeadlessWorkstation&) = delete;
    HeadlessWorkstation& operator=(const HeadlessWorkstation&) = delete;

    // True when DBAlias.ini names a claims directory (with `mustExist`, one that exists). Otherwise
    // says so on standard error, unless the environment has already told the user why not.
    bool HasClaimsDirectory(bool mustExist = false);

    text::SystemClock clock;
    env::WarehouseEnv environment;
};

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
