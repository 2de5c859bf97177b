#include "HeadlessStart.h"

#include <cstdio>

#include "support/platform/Paths.h"
#include "support/text/DateTime.h"
#include "support/text/StringUtil.h"

namespace wh::cli {

bool HeadlessWorkstation::HasClaimsDirectory(bool mustExist)
{
    const std::string claimsDir = environment.GetClaimsDir();
    if (!claimsDir.empty() && (!mustExist || platform::DirectoryExists(claimsDir))) {
        return true;
    }
    if (!m_endRequested) {
        std::fprintf(stderr, "Error: DBAlias.ini (%s) names no claims directory%s.\n",
                     environment.AliasFilePath().c_str(), mustExist ? " that exists" : " (no KVXClaimsDB line)");
    }
    return false;
}

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
