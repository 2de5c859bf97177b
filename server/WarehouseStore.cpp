#include "WarehouseStore.h"

#include <ctime>

#include "PostgresWarehouseStore.h"
#include "SqliteWarehouseStore.h"

namespace wh::server {

std::string UtcTimestamp()
{
    const std::time_t now = std::time(nullptr);
    std::tm parts {};
    gmtime_r(&now, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
    return text;
}

// A LIKE pattern that takes the typed text literally.
std::string LikeLiteral(const std::string& text)
{
    std::string out;
    for (const char c : text) {
        if (c == '\\' || c == '%' || c == '_') {
            out.push_back('\\');
        }
        out.push_back(c);
    }
    return out;
}

std::unique_ptr<WarehouseStore> OpenWarehouseStore(const std::string& database, const std::string& dataDir)
{
    if (database.empty()) {
        return std::make_unique<SqliteWarehouseStore>(dataDir + "/warehouse.db");
    }
    if (database.rfind("postgresql://", 0) == 0 || database.rfind("postgres://", 0) == 0) {
        return std::make_unique<PostgresWarehouseStore>(database);
    }
    throw std::runtime_error("--database takes a PostgreSQL URI (postgresql://...), not \"" + database + "\"");
}

} // namespace wh::server
