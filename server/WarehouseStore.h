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
    // A disabled account keeps its claims and settings but cannot sign in.
    bool disabled = false;
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

// The server's records: companies, accounts, the claim id sequence, the claims with their
// searchable members and the auxiliary files. Blobs live in plain files; the callers move them
// into place through the `moveIntoPlace` callbacks, which run inside the store's transaction so
// that the record and the file change together. Safe to use from several threads.
class WarehouseStore
{
public:
    virtual ~WarehouseStore() = default;

    // Adds the account, or updates the password and ids of an existing one. Raises RequestError
    // (status 400) for names the Basic sign-in cannot carry or a company id that clashes.
    virtual AccountChange SaveAccount(const Account& account) = 0;
    // Company and user names match without regard to the case of A to Z.
    virtual std::optional<Account> FindAccount(const std::string& company, const std::string& user) = 0;
    // Every account, by company and user name.
    virtual std::vector<Account> ListAccounts() = 0;
    // False when there is no such account.
    virtual bool SetAccountDisabled(const std::string& company, const std::string& user, bool disabled) = 0;
    // Removes the account; the claims it stored stay its company's. False when there is no such account.
    virtual bool RemoveAccount(const std::string& company, const std::string& user) = 0;
    // Raises when the records do not answer a trivial query.
    virtual void CheckReachable() = 0;

    // A new claim id, never handed out before, reserved for the account's company. Raises
    // RequestError 429 while the company holds `maxUnused` ids with nothing stored under them.
    virtual std::int64_t IssueClaimId(const Account& account, std::int64_t maxUnused) = 0;
    virtual ClaimOwner OwnerOf(std::int64_t id, const Account& account) = 0;
    virtual bool HasArchive(std::int64_t id, const Account& account) = 0;
    virtual bool HasDocument(std::int64_t id, const Account& account) = 0;
    // Both return the owner; nothing is stored unless it is ThisCompany.
    virtual ClaimOwner StoreArchive(std::int64_t id, const Account& account, const std::function<void()>& moveIntoPlace)
        = 0;
    virtual ClaimOwner StoreDocument(std::int64_t id, const Account& account, const ClaimFields& fields,
                                     const std::function<void()>& moveIntoPlace)
        = 0;
    // The claims the account has ever stored, with the version of their latest document (0 while
    // only the archive is there), by id.
    virtual std::vector<std::pair<std::int64_t, std::int64_t>> ListClaims(const Account& account) = 0;
    // Raises RequestError 503 when the search runs beyond kSearchBudget.
    virtual ClaimSearchResult Search(const Account& account, const ClaimQuery& query, int limit) = 0;
    static constexpr std::chrono::milliseconds kSearchBudget { 3000 };

    virtual void StoreAux(const Account& account, const std::string& code, const std::function<void()>& moveIntoPlace)
        = 0;
    virtual bool HasAux(const Account& account, const std::string& code) = 0;
    // (code, date_modified) of every stored kind of the account's company, by code.
    virtual std::vector<std::pair<std::string, std::string>> ListAux(const Account& account) = 0;
};

// The store `database` names: a PostgreSQL connection URI (postgresql://... or postgres://...),
// or, when empty, the SQLite database warehouse.db in the data folder.
std::unique_ptr<WarehouseStore> OpenWarehouseStore(const std::string& database, const std::string& dataDir);

// The longest company or user name, in characters.
constexpr std::size_t kMaxAccountName = 255;

// Characters, not bytes, of UTF-8 text: continuation bytes do not count.
std::size_t CharacterCount(const std::string& text);

// Raises RequestError 400 for names the Basic sign-in cannot carry: empty ones, a company name
// with "/" or ":", a user name with ":", and names longer than kMaxAccountName characters.
void CheckAccountNames(const Account& account);

// The column that holds a date kind of the search query; RequestError 400 for an unknown kind.
std::string DateColumn(const std::string& dateKind);

// A LIKE pattern that takes the typed text literally ("\" escapes).
std::string LikeLiteral(const std::string& text);

// The current time in UTC as "YYYY-MM-DD HH:MM:SS".
std::string UtcTimestamp();

} // namespace wh::server
