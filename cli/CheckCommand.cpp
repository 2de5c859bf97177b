#include "Commands.h"

namespace wh::cli {

void AddCheckCommand(CLI::App&, int&)
{
}

} // namespace wh::cli
