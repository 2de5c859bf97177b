#include "Commands.h"

namespace wh::cli {

// The table commands arrive with the table engine.
void AddTableCommands(CLI::App&, int&)
{
}

} // namespace wh::cli
