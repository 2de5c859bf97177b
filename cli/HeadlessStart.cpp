#include "HeadlessStart.h"

#include "env/WarehouseFuncs.h"
#include "support/text/DateTime.h"
#include "support/text/StringUtil.h"

namespace wh::cli {

HeadlessStart PrepareHeadlessStart(env::WarehouseEnv& environment)
{
    HeadlessStart start;
    start.engine = env::SetEnginePaths(environment);
    start.session = warehouse::CreateWarehouseSession(environment);
    environment.PrepareLocalFolders();
    text::SetProcessDateConventions(text::StartupDateConventions());
    start.session->SetServerBase(text::Trim(environment.ReadWarehouseIniValue("WServer")));
    return start;
}

} // namespace wh::cli
