#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>

#include "WarehouseStore.h"

struct sqlite3;

namespace wh::server {

// The records in one SQLite database file, for a server on one machine. Writes go through one
// connection under one lock; searches read through a connection of their own (WAL).
class SqliteWarehouseStore : public WarehouseStore
{
public:
    explicit SqliteWarehouseStore(const std::string& databasePath);
    ~SqliteWarehouseStore() override;
    SqliteWarehouseStore(const SqliteWarehouseStore&) = delete;
    SqliteWarehouseStore& operator=(const SqliteWarehouseStore&) = delete;

    AccountChange SaveAccount(const Account& account) override;
    std::optional<Account> FindAccount(const std::string& company, const std::string& user) override;
    std::vector<Account> ListAccounts() override;
    bool SetAccountDisabled(const std::string& company, const std::string& user, bool disabled) override;
    bool RemoveAccount(const std::string& company, const std::string& user) override;
    void CheckReachable() override;

    std::int64_t IssueClaimId(const Account& account, std::int64_t maxUnused) override;
    ClaimOwner OwnerOf(std::int64_t id, const Account& account) override;
    bool HasArchive(std::int64_t id, const Account& account) override;
    bool HasDocument(std::int64_t id, const Account& account) override;
    ClaimOwner StoreArchive(std::int64_t id, const Account& account,
                            const std::function<void()>& moveIntoPlace) override;
    ClaimOwner StoreDocument(std::int64_t id, const Account& account, const ClaimFields& fields,
                             const std::function<void()>& moveIntoPlace) override;
    std::vector<std::pair<std::int64_t, std::int64_t>> ListClaims(const Account& account) override;
    ClaimSearchResult Search(const Account& account, const ClaimQuery& query, int limit) override;

    void StoreAux(const Account& account, const std::string& code, const std::function<void()>& moveIntoPlace) override;
    bool HasAux(const Account& account, const std::string& code) override;
    std::vector<std::pair<std::string, std::string>> ListAux(const Account& account) override;

    // Copies the records into a new database file `target` with SQLite's online backup, while
    // the server may run. Writers (of every process) wait until `whileWritesWait` has returned, so
    // that what it copies beside the records matches them.
    void BackupTo(const std::string& target, const std::function<void()>& whileWritesWait);

private:
    struct Closer
    {
        void operator()(sqlite3* db) const;
    };
    void Exec(const char* sql);
    void UpgradeSchema();
    ClaimOwner OwnerLocked(std::int64_t id, const Account& account);
    void TouchClaimLocked(std::int64_t id, const Account& account, const char* setClause);

    std::string m_path;
    std::mutex m_mutex;
    std::unique_ptr<sqlite3, Closer> m_db;

    // Searches: their own read-only connection, one at a time, each within its time budget.
    std::mutex m_searchMutex;
    std::unique_ptr<sqlite3, Closer> m_searchDb;
    std::chrono::steady_clock::time_point m_searchDeadline;
};

} // namespace wh::server
