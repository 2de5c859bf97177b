#pragma once

#include <string>

namespace wh::env {

class WarehouseEnv;

// The table engine's working folders: a private folder for its temporary tables (the
// temporary-files folder's "Warehouse" subfolder) and the network control folder (the claims
// directory's "Network" folder). Our Paradox engine coordinates through file locks and needs
// no control file, but restores stage tables in the private folder.
struct EngineFolders
{
    std::string privateDir;
    std::string networkDir;
};

// Chooses and creates the private folder (falling back to the temporary-files folder itself
// when it cannot be made) and names the network control folder. A private folder that cannot be
// used shows the engine's error box; start-up goes on.
EngineFolders SetEnginePaths(WarehouseEnv& env);

} // namespace wh::env
