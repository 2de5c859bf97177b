#include "WarehouseStore.h"

#include <algorithm>
#include <ctime>
#include <set>

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

std::size_t CharacterCount(const std::string& text)
{
    return static_cast<std::size_t>(
        std::count_if(text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

void CheckAccountNames(const Account& account)
{
    if (account.companyName.empty() || account.userName.empty()) {
        throw RequestError(400, "company and user names must not be empty");
    }
    if (CharacterCount(account.companyName) > kMaxAccountName || CharacterCount(account.userName) > kMaxAccountName) {
        throw RequestError(
            400, "company and user names may be at most " + std::to_string(kMaxAccountName) + " characters long");
    }
    // The sign-in name is "company/user:password": the company ends at the first "/", the user
    // name at the first ":".
    if (account.companyName.find_first_of("/:") != std::string::npos
        || account.userName.find(':') != std::string::npos) {
        throw RequestError(400, "a company name may not contain \"/\" or \":\", a user name not \":\"");
    }
}

std::string DateColumn(const std::string& dateKind)
{
    // The date kinds are named as their columns.
    static const std::set<std::string> kinds { "date_of_loss",      "date_received", "date_assigned",
                                               "date_inspected",    "date_closed",   "date_first_uploaded",
                                               "date_last_uploaded" };
    if (kinds.count(dateKind) == 0) {
        throw RequestError(400, "unknown date kind \"" + dateKind + "\"");
    }
    return dateKind;
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
