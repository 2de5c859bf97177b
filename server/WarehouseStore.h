#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

struct sqlite3;

namespace wh::server {

// A refusal the server answers with a 4xx status and the message in "msg".
class RequestError : public std::runtime_error
{
public:
    // `retryAfter`: seconds the client should wait before asking again (a Retry-After header), 0 for none.
    RequestError(int status, const std::string& message, int retryAfter = 0)
        : std::runtime_error(message)
        , m_status(status)
        , m_retryAfter(retryAfter)
    {
    }
    int Status() const { return m_status; }
    int RetryAfter() const { return m_retryAfter; }

private:
    int m_status;
    int m_retryAfter;
};

// A workstation user of one company, as add-user stored it.
struct Account
{
    std::int64_t rowId = 0;
    std::int64_t companyRow = 0;
    std::string companyName;
    std::string userName;
    std::string passwordHash;
    int companyId = 0;
    int regionId = 0;
    int officeId = 0;
    int departmentId = 0;
    int userId = 0;
};

enum class AccountChange { Added, Updated };

// The members of a claim summary document that the claim list and the search use.
struct ClaimFields
{
    std::int64_t version = 0;
    std::string claimNum;
    std::string policyNum;
    std::string adjusterLastName;
    std::string insuredLastName;
    std::string lossCity;
    std::string lossState;
    std::string lossZip;
    std::optional<std::string> dateOfLoss;
    std::optional<std::string> dateReceived;
    std::optional<std::string> dateAssigned;
    std::optional<std::string> dateInspected;
    std::optional<std::string> dateClosed;
};

// A checked claim search: names match as prefixes, numbers anywhere, both without regard to the
// case of A to Z; dates are YYYY-MM-DD or empty (an open end).
struct ClaimQuery
{
    std::string insuredLastName;
    std::string adjusterLastName;
    std::string policyNum;
    std::string claimNum;
    std::string dateKind; // one of the date kinds of the query document, or empty for none
    std::string startDate;
    std::string endDate;
    bool companyScope = false;
};

struct ClaimHit
{
    std::int64_t id = 0;
    std::string adjusterLastName;
    std::string insuredLastName;
    std::string claimNum;
    std::string policyNum;
    std::string lossCity;
    std::string lossState;
    std::string lossZip;
    std::string dateOfLoss;
};

struct ClaimSearchResult
{
    std::int64_t total = 0;
    std::vector<ClaimHit> hits;
};

// Who a server claim id belongs to, seen from one account.
enum class ClaimOwner { ThisCompany, OtherCompany, Unknown };

// The server's records in one SQLite database: companies, accounts, the claim id sequence, the
// claims with their searchable members and the auxiliary files. Blobs live in plain files; the
// callers move them into place through the `moveIntoPlace` callbacks, which run under the store's
// lock so that the record and the file change together. Safe to use from several threads.
class WarehouseStore
{
public:
    explicit WarehouseStore(const std::string& databasePath);
    ~WarehouseStore();
    WarehouseStore(const WarehouseStore&) = delete;
    WarehouseStore& operator=(const WarehouseStore&) = delete;

    // Adds the account, or updates the password and ids of an existing one. Raises RequestError
    // (status 400) for names the Basic sign-in cannot carry or a company id that clashes.
    AccountChange SaveAccount(const Account& account);
    // Company and user names match without regard to the case of A to Z.
    std::optional<Account> FindAccount(const std::string& company, const std::string& user);

    // A new claim id, never handed out before, reserved for the account's company. Raises
    // RequestError 429 while the company holds `maxUnused` ids with nothing stored under them.
    std::int64_t IssueClaimId(const Account& account, std::int64_t maxUnused);
    ClaimOwner OwnerOf(std::int64_t id, const Account& account);
    bool HasArchive(std::int64_t id, const Account& account);
    bool HasDocument(std::int64_t id, const Account& account);
    // Both return the owner; nothing is stored unless it is ThisCompany.
    ClaimOwner StoreArchive(std::int64_t id, const Account& account, const std::function<void()>& moveIntoPlace);
    ClaimOwner StoreDocument(std::int64_t id, const Account& account, const ClaimFields& fields,
                             const std::function<void()>& moveIntoPlace);
    // The claims the account has ever stored, with the version of their latest document (0 while
    // only the archive is there), by id.
    std::vector<std::pair<std::int64_t, std::int64_t>> ListClaims(const Account& account);
    // Raises RequestError 503 when the search runs beyond kSearchBudget.
    ClaimSearchResult Search(const Account& account, const ClaimQuery& query, int limit);
    static constexpr std::chrono::milliseconds kSearchBudget { 3000 };

    void StoreAux(const Account& account, const std::string& code, const std::function<void()>& moveIntoPlace);
    bool HasAux(const Account& account, const std::string& code);
    // (code, date_modified) of every stored kind of the account's company.
    std::vector<std::pair<std::string, std::string>> ListAux(const Account& account);

private:
    struct Closer
    {
        void operator()(sqlite3* db) const;
    };
    void Exec(const char* sql);
    ClaimOwner OwnerLocked(std::int64_t id, const Account& account);
    void TouchClaimLocked(std::int64_t id, const Account& account, const char* setClause);

    std::mutex m_mutex;
    std::unique_ptr<sqlite3, Closer> m_db;

    // Searches: their own read-only connection, one at a time, each within its time budget.
    std::mutex m_searchMutex;
    std::unique_ptr<sqlite3, Closer> m_searchDb;
    std::chrono::steady_clock::time_point m_searchDeadline;
};

// The current time in UTC as "YYYY-MM-DD HH:MM:SS".
std::string UtcTimestamp();

} // namespace wh::server
