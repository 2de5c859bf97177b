#pragma once

#include <condition_variable>
#include <mutex>
#include <vector>

#include "WarehouseStore.h"

struct pg_conn;

namespace wh::server {

// The records in a PostgreSQL database, which several server processes share (with one folder of
// blobs): the claim ids come from a database sequence, and every rule that spans two statements
// holds through a transaction and row or advisory locks, never through process memory.
class PostgresWarehouseStore : public WarehouseStore
{
public:
    explicit PostgresWarehouseStore(const std::string& uri, unsigned connections = 8);
    ~PostgresWarehouseStore() override;
    PostgresWarehouseStore(const PostgresWarehouseStore&) = delete;
    PostgresWarehouseStore& operator=(const PostgresWarehouseStore&) = delete;

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

    // For a backup: writers of every server wait while `whileWritesWait` runs (files stored beside
    // the records are moved into place only after their record is changed, so the store's files
    // then match the records); `withSnapshot` runs after, given the name of a snapshot of the
    // records at that moment, which pg_dump --snapshot can take until it returns.
    void BackupMoment(const std::function<void()>& whileWritesWait,
                      const std::function<void(const std::string& snapshot)>& withSnapshot);

private:
    class Lease;
    pg_conn* Take();
    void Give(pg_conn* connection);
    pg_conn* Connect();

    std::string m_uri;
    std::mutex m_mutex;
    std::condition_variable m_free;
    std::vector<pg_conn*> m_idle;
    std::vector<pg_conn*> m_all;
};

} // namespace wh::server
