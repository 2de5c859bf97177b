#include "PostgresWarehouseStore.h"

#include <libpq-fe.h>

#include <climits>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace wh::server {
namespace {

using Parameters = std::vector<std::optional<std::string>>;

// A query's rows, cleared when they go out of scope.
class Rows
{
public:
    explicit Rows(PGresult* result)
        : m_result(result)
    {
    }
    ~Rows() { PQclear(m_result); }
    Rows(const Rows&) = delete;
    Rows& operator=(const Rows&) = delete;
    Rows(Rows&& other) noexcept
        : m_result(std::exchange(other.m_result, nullptr))
    {
    }

    int Count() const { return PQntuples(m_result); }
    std::string Text(int row, int column) const
    {
        return std::string(PQgetvalue(m_result, row, column),
                           static_cast<std::size_t>(PQgetlength(m_result, row, column)));
    }
    std::int64_t Int(int row, int column) const { return std::stoll(Text(row, column)); }

private:
    PGresult* m_result;
};

// The statement ran past its time budget and the database cancelled it.
constexpr const char* kQueryCanceled = "57014";

std::string Param(std::int64_t value)
{
    return std::to_string(value);
}

Rows Run(PGconn* connection, const std::string& sql, const Parameters& parameters = {})
{
    std::vector<const char*> values;
    values.reserve(parameters.size());
    for (const auto& parameter : parameters) {
        // libpq passes texts as C strings: a NUL would silently cut the text short.
        if (parameter && parameter->find('\0') != std::string::npos) {
            throw RequestError(400, "Texts may not contain NUL characters");
        }
        values.push_back(parameter ? parameter->c_str() : nullptr);
    }
    PGresult* result = PQexecParams(connection, sql.c_str(), static_cast<int>(values.size()), nullptr, values.data(),
                                    nullptr, nullptr, 0);
    const ExecStatusType status = PQresultStatus(result);
    if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) {
        return Rows(result);
    }
    const char* state = PQresultErrorField(result, PG_DIAG_SQLSTATE);
    const bool canceled = state && std::strcmp(state, kQueryCanceled) == 0;
    const std::string message = result ? PQresultErrorMessage(result) : PQerrorMessage(connection);
    PQclear(result);
    if (canceled) {
        throw RequestError(503, "The search took too long: narrow it down with more or longer criteria");
    }
    throw std::runtime_error("database error: " + message);
}

// Holds a transaction open until Commit; rolls it back when left early by an exception.
class Transaction
{
public:
    Transaction(PGconn* connection, const char* begin = "BEGIN")
        : m_connection(connection)
    {
        Run(m_connection, begin);
    }
    ~Transaction()
    {
        if (!m_done) {
            PQclear(PQexec(m_connection, "ROLLBACK"));
        }
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    void Commit()
    {
        Run(m_connection, "COMMIT");
        m_done = true;
    }

private:
    PGconn* m_connection;
    bool m_done = false;
};

// Names match without regard to the case of A to Z only, as the workstations fold only those:
// wh_fold does that, where lower() would follow the database's locale.
// Tables made by an earlier version get the newer columns in place (checked first, so that a
// start does not lock the accounts of running servers for nothing).
const char* kSchema = R"sql(
CREATE OR REPLACE FUNCTION wh_fold(text) RETURNS text LANGUAGE sql IMMUTABLE STRICT PARALLEL SAFE
    AS $$ SELECT translate($1, 'ABCDEFGHIJKLMNOPQRSTUVWXYZ', 'abcdefghijklmnopqrstuvwxyz') $$;
CREATE TABLE IF NOT EXISTS companies (
    id BIGSERIAL PRIMARY KEY,
    name TEXT NOT NULL,
    company_id INTEGER NOT NULL UNIQUE);
CREATE UNIQUE INDEX IF NOT EXISTS companies_name ON companies (wh_fold(name));
CREATE TABLE IF NOT EXISTS accounts (
    id BIGSERIAL PRIMARY KEY,
    company BIGINT NOT NULL REFERENCES companies(id),
    name TEXT NOT NULL,
    password TEXT NOT NULL,
    region_id INTEGER NOT NULL,
    office_id INTEGER NOT NULL,
    department_id INTEGER NOT NULL,
    user_id INTEGER NOT NULL);
CREATE UNIQUE INDEX IF NOT EXISTS accounts_name ON accounts (company, wh_fold(name));
CREATE TABLE IF NOT EXISTS claim_ids (
    id BIGSERIAL PRIMARY KEY,
    company BIGINT NOT NULL REFERENCES companies(id),
    issued TEXT NOT NULL);
CREATE INDEX IF NOT EXISTS claim_ids_company ON claim_ids(company);
CREATE TABLE IF NOT EXISTS claims (
    id BIGINT PRIMARY KEY REFERENCES claim_ids(id),
    company BIGINT NOT NULL REFERENCES companies(id),
    has_archive BOOLEAN NOT NULL DEFAULT false,
    has_document BOOLEAN NOT NULL DEFAULT false,
    version BIGINT NOT NULL DEFAULT 0,
    claim_num TEXT NOT NULL DEFAULT '',
    policy_num TEXT NOT NULL DEFAULT '',
    adjuster_lastname TEXT NOT NULL DEFAULT '',
    insured_lastname TEXT NOT NULL DEFAULT '',
    loss_city TEXT NOT NULL DEFAULT '',
    loss_state TEXT NOT NULL DEFAULT '',
    loss_zipcode TEXT NOT NULL DEFAULT '',
    date_of_loss TEXT,
    date_received TEXT,
    date_assigned TEXT,
    date_inspected TEXT,
    date_closed TEXT,
    date_first_uploaded TEXT NOT NULL,
    date_last_uploaded TEXT NOT NULL);
CREATE INDEX IF NOT EXISTS claims_company ON claims(company);
CREATE TABLE IF NOT EXISTS claim_uploaders (
    claim BIGINT NOT NULL REFERENCES claims(id),
    account BIGINT NOT NULL REFERENCES accounts(id),
    PRIMARY KEY (claim, account));
CREATE TABLE IF NOT EXISTS aux_files (
    company BIGINT NOT NULL REFERENCES companies(id),
    code TEXT NOT NULL,
    date_modified TEXT NOT NULL,
    PRIMARY KEY (company, code));
DO $$ BEGIN
    IF NOT EXISTS (SELECT 1 FROM information_schema.columns WHERE table_schema = current_schema()
                   AND table_name = 'accounts' AND column_name = 'disabled') THEN
        ALTER TABLE accounts ADD COLUMN disabled BOOLEAN NOT NULL DEFAULT false;
    END IF;
END $$;
)sql";

// Servers starting together must not create the schema twice at once.
constexpr const char* kSchemaLock = "SELECT pg_advisory_xact_lock(5748001)";

ClaimOwner OwnerFrom(const Rows& rows, const Account& account)
{
    if (rows.Count() == 0) {
        return ClaimOwner::Unknown;
    }
    return rows.Int(0, 0) == account.companyRow ? ClaimOwner::ThisCompany : ClaimOwner::OtherCompany;
}

} // namespace

// A connection of the pool, given back when it goes out of scope.
class PostgresWarehouseStore::Lease
{
public:
    explicit Lease(PostgresWarehouseStore& store)
        : m_store(store)
        , m_connection(store.Take())
    {
    }
    ~Lease() { m_store.Give(m_connection); }
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    PGconn* operator*() const { return m_connection; }

private:
    PostgresWarehouseStore& m_store;
    PGconn* m_connection;
};

PostgresWarehouseStore::PostgresWarehouseStore(const std::string& uri, unsigned connections)
    : m_uri(uri)
{
    try {
        for (unsigned i = 0; i < std::max(1u, connections); ++i) {
            m_all.push_back(Connect());
            m_idle.push_back(m_all.back());
        }
        Lease lease(*this);
        Transaction transaction(*lease);
        Run(*lease, kSchemaLock);
        PGresult* schema = PQexec(*lease, kSchema);
        const bool created = PQresultStatus(schema) == PGRES_COMMAND_OK;
        const std::string message = PQresultErrorMessage(schema);
        PQclear(schema);
        if (!created) {
            throw std::runtime_error("cannot create the tables: " + message);
        }
        transaction.Commit();
    } catch (...) {
        for (PGconn* connection : m_all) {
            PQfinish(connection);
        }
        throw;
    }
}

PostgresWarehouseStore::~PostgresWarehouseStore()
{
    for (PGconn* connection : m_all) {
        PQfinish(connection);
    }
}

PGconn* PostgresWarehouseStore::Connect()
{
    PGconn* connection = PQconnectdb(m_uri.c_str());
    if (PQstatus(connection) != CONNECTION_OK) {
        std::string message = PQerrorMessage(connection);
        PQfinish(connection);
        while (!message.empty() && message.back() == '\n') {
            message.pop_back();
        }
        throw std::runtime_error("cannot connect to the database: " + message);
    }
    PQclear(PQexec(connection, "SET client_min_messages = warning"));
    return connection;
}

PGconn* PostgresWarehouseStore::Take()
{
    std::unique_lock lock(m_mutex);
    m_free.wait(lock, [&] { return !m_idle.empty(); });
    PGconn* connection = m_idle.back();
    m_idle.pop_back();
    return connection;
}

void PostgresWarehouseStore::Give(PGconn* connection)
{
    // A connection the database dropped (a restart, say) is made anew for the next request.
    if (PQstatus(connection) != CONNECTION_OK) {
        PQreset(connection);
    }
    std::lock_guard lock(m_mutex);
    m_idle.push_back(connection);
    m_free.notify_one();
}

AccountChange PostgresWarehouseStore::SaveAccount(const Account& account)
{
    CheckAccountNames(account);
    Lease lease(*this);
    PGconn* db = *lease;
    Transaction transaction(db);
    // Accounts change seldom; one at a time keeps the name and id checks true.
    Run(db, "LOCK TABLE companies IN SHARE ROW EXCLUSIVE MODE");
    std::int64_t companyRow = 0;
    const Rows byName = Run(db, "SELECT id, company_id, name FROM companies WHERE wh_fold(name) = wh_fold($1)",
                            { account.companyName });
    if (byName.Count() > 0) {
        if (byName.Int(0, 1) != account.companyId) {
            throw RequestError(400,
                               "company " + byName.Text(0, 2) + " already has the company id "
                                   + std::to_string(byName.Int(0, 1)));
        }
        companyRow = byName.Int(0, 0);
    } else {
        const Rows byId = Run(db, "SELECT name FROM companies WHERE company_id = $1", { Param(account.companyId) });
        if (byId.Count() > 0) {
            throw RequestError(
                400, "the company id " + std::to_string(account.companyId) + " belongs to company " + byId.Text(0, 0));
        }
        companyRow = Run(db, "INSERT INTO companies (name, company_id) VALUES ($1, $2) RETURNING id",
                         { account.companyName, Param(account.companyId) })
                         .Int(0, 0);
    }
    const Rows existing = Run(db, "SELECT id FROM accounts WHERE company = $1 AND wh_fold(name) = wh_fold($2)",
                              { Param(companyRow), account.userName });
    AccountChange change = AccountChange::Added;
    if (existing.Count() > 0) {
        change = AccountChange::Updated;
        Run(db,
            "UPDATE accounts SET password = $1, region_id = $2, office_id = $3, department_id = $4, user_id = $5 "
            "WHERE id = $6",
            { account.passwordHash, Param(account.regionId), Param(account.officeId), Param(account.departmentId),
              Param(account.userId), existing.Text(0, 0) });
    } else {
        Run(db,
            "INSERT INTO accounts (company, name, password, region_id, office_id, department_id, user_id) "
            "VALUES ($1, $2, $3, $4, $5, $6, $7)",
            { Param(companyRow), account.userName, account.passwordHash, Param(account.regionId),
              Param(account.officeId), Param(account.departmentId), Param(account.userId) });
    }
    transaction.Commit();
    return change;
}

namespace {

constexpr const char* kAccountColumns
    = "SELECT a.id, c.id, c.name, a.name, a.password, c.company_id, a.region_id, a.office_id, a.department_id, "
      "a.user_id, a.disabled FROM accounts a JOIN companies c ON c.id = a.company";

Account AccountFrom(const Rows& rows, int row)
{
    Account account;
    account.rowId = rows.Int(row, 0);
    account.companyRow = rows.Int(row, 1);
    account.companyName = rows.Text(row, 2);
    account.userName = rows.Text(row, 3);
    account.passwordHash = rows.Text(row, 4);
    account.companyId = static_cast<int>(rows.Int(row, 5));
    account.regionId = static_cast<int>(rows.Int(row, 6));
    account.officeId = static_cast<int>(rows.Int(row, 7));
    account.departmentId = static_cast<int>(rows.Int(row, 8));
    account.userId = static_cast<int>(rows.Int(row, 9));
    account.disabled = rows.Text(row, 10) == "t";
    return account;
}

} // namespace

std::optional<Account> PostgresWarehouseStore::FindAccount(const std::string& company, const std::string& user)
{
    Lease lease(*this);
    const Rows found = Run(
        *lease, std::string(kAccountColumns) + " WHERE wh_fold(c.name) = wh_fold($1) AND wh_fold(a.name) = wh_fold($2)",
        { company, user });
    if (found.Count() == 0) {
        return std::nullopt;
    }
    return AccountFrom(found, 0);
}

std::vector<Account> PostgresWarehouseStore::ListAccounts()
{
    Lease lease(*this);
    const Rows found = Run(*lease, std::string(kAccountColumns) + " ORDER BY wh_fold(c.name), wh_fold(a.name)");
    std::vector<Account> accounts;
    for (int row = 0; row < found.Count(); ++row) {
        accounts.push_back(AccountFrom(found, row));
    }
    return accounts;
}

bool PostgresWarehouseStore::SetAccountDisabled(const std::string& company, const std::string& user, bool disabled)
{
    Lease lease(*this);
    const Rows changed = Run(*lease,
                             "UPDATE accounts SET disabled = $1 WHERE wh_fold(name) = wh_fold($2) AND company = "
                             "(SELECT id FROM companies WHERE wh_fold(name) = wh_fold($3)) RETURNING id",
                             { std::string(disabled ? "true" : "false"), user, company });
    return changed.Count() > 0;
}

bool PostgresWarehouseStore::RemoveAccount(const std::string& company, const std::string& user)
{
    Lease lease(*this);
    PGconn* db = *lease;
    Transaction transaction(db);
    const Rows found = Run(db,
                           "SELECT a.id FROM accounts a JOIN companies c ON c.id = a.company "
                           "WHERE wh_fold(c.name) = wh_fold($1) AND wh_fold(a.name) = wh_fold($2) FOR UPDATE OF a",
                           { company, user });
    if (found.Count() == 0) {
        return false;
    }
    Run(db, "DELETE FROM claim_uploaders WHERE account = $1", { found.Text(0, 0) });
    Run(db, "DELETE FROM accounts WHERE id = $1", { found.Text(0, 0) });
    transaction.Commit();
    return true;
}

void PostgresWarehouseStore::BackupMoment(const std::function<void()>& whileWritesWait,
                                          const std::function<void(const std::string& snapshot)>& withSnapshot)
{
    Lease snapshotLease(*this);
    Transaction snapshotTransaction(*snapshotLease, "BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY");
    std::string snapshot;
    {
        Lease lockLease(*this);
        Transaction writers(*lockLease);
        // Every write of a stored file changes one of these tables first and holds it to its commit.
        Run(*lockLease, "LOCK TABLE claims, aux_files IN SHARE MODE");
        snapshot = Run(*snapshotLease, "SELECT pg_export_snapshot()").Text(0, 0);
        whileWritesWait();
        writers.Commit();
    }
    withSnapshot(snapshot);
    snapshotTransaction.Commit();
}

void PostgresWarehouseStore::CheckReachable()
{
    Lease lease(*this);
    Run(*lease, "SELECT count(*) FROM companies");
}

std::int64_t PostgresWarehouseStore::IssueClaimId(const Account& account, std::int64_t maxUnused)
{
    Lease lease(*this);
    PGconn* db = *lease;
    Transaction transaction(db);
    // The company's row lock makes the count and the new id one step across every server.
    Run(db, "SELECT id FROM companies WHERE id = $1 FOR UPDATE", { Param(account.companyRow) });
    const Rows unused = Run(db,
                            "SELECT count(*) FROM (SELECT 1 FROM claim_ids i WHERE i.company = $1 AND NOT EXISTS "
                            "(SELECT 1 FROM claims c WHERE c.id = i.id) LIMIT $2) AS held",
                            { Param(account.companyRow), Param(maxUnused) });
    if (unused.Int(0, 0) >= maxUnused) {
        throw RequestError(429,
                           "Your company holds " + std::to_string(maxUnused)
                               + " claim ids with nothing stored under them: store the claims for those first");
    }
    // A database sequence never hands out a number twice, whichever server asks.
    const std::int64_t id = Run(db, "INSERT INTO claim_ids (company, issued) VALUES ($1, $2) RETURNING id",
                                { Param(account.companyRow), UtcTimestamp() })
                                .Int(0, 0);
    if (id > INT_MAX) {
        // The workstations keep claim ids in 32 bits.
        throw RequestError(503, "the claim id sequence is exhausted");
    }
    transaction.Commit();
    return id;
}

ClaimOwner PostgresWarehouseStore::OwnerOf(std::int64_t id, const Account& account)
{
    Lease lease(*this);
    return OwnerFrom(Run(*lease, "SELECT company FROM claim_ids WHERE id = $1", { Param(id) }), account);
}

bool PostgresWarehouseStore::HasArchive(std::int64_t id, const Account& account)
{
    Lease lease(*this);
    return Run(*lease, "SELECT 1 FROM claims WHERE id = $1 AND company = $2 AND has_archive",
               { Param(id), Param(account.companyRow) })
               .Count()
        > 0;
}

bool PostgresWarehouseStore::HasDocument(std::int64_t id, const Account& account)
{
    Lease lease(*this);
    return Run(*lease, "SELECT 1 FROM claims WHERE id = $1 AND company = $2 AND has_document",
               { Param(id), Param(account.companyRow) })
               .Count()
        > 0;
}

namespace {

// Records an upload of the claim; the caller holds the claim id's row lock.
void TouchClaim(PGconn* db, std::int64_t id, const Account& account, const char* setClause)
{
    const std::string now = UtcTimestamp();
    Run(db,
        "INSERT INTO claims (id, company, date_first_uploaded, date_last_uploaded) VALUES ($1, $2, $3, $3) "
        "ON CONFLICT (id) DO NOTHING",
        { Param(id), Param(account.companyRow), now });
    Run(db, std::string("UPDATE claims SET date_last_uploaded = $1, ") + setClause + " WHERE id = $2",
        { now, Param(id) });
    Run(db, "INSERT INTO claim_uploaders (claim, account) VALUES ($1, $2) ON CONFLICT DO NOTHING",
        { Param(id), Param(account.rowId) });
}

} // namespace

ClaimOwner PostgresWarehouseStore::StoreArchive(std::int64_t id, const Account& account,
                                                const std::function<void()>& moveIntoPlace)
{
    Lease lease(*this);
    PGconn* db = *lease;
    Transaction transaction(db);
    // The claim id's row lock puts two servers storing the same claim one after the other, so that
    // the file in place and the record always belong together.
    const ClaimOwner owner
        = OwnerFrom(Run(db, "SELECT company FROM claim_ids WHERE id = $1 FOR UPDATE", { Param(id) }), account);
    if (owner != ClaimOwner::ThisCompany) {
        return owner;
    }
    TouchClaim(db, id, account, "has_archive = true");
    moveIntoPlace();
    transaction.Commit();
    return owner;
}

ClaimOwner PostgresWarehouseStore::StoreDocument(std::int64_t id, const Account& account, const ClaimFields& fields,
                                                 const std::function<void()>& moveIntoPlace)
{
    Lease lease(*this);
    PGconn* db = *lease;
    Transaction transaction(db);
    const ClaimOwner owner
        = OwnerFrom(Run(db, "SELECT company FROM claim_ids WHERE id = $1 FOR UPDATE", { Param(id) }), account);
    if (owner != ClaimOwner::ThisCompany) {
        return owner;
    }
    TouchClaim(db, id, account, "has_document = true");
    Run(db,
        "UPDATE claims SET version = $1, claim_num = $2, policy_num = $3, adjuster_lastname = $4, "
        "insured_lastname = $5, loss_city = $6, loss_state = $7, loss_zipcode = $8, date_of_loss = $9, "
        "date_received = $10, date_assigned = $11, date_inspected = $12, date_closed = $13 WHERE id = $14",
        { Param(fields.version), fields.claimNum, fields.policyNum, fields.adjusterLastName, fields.insuredLastName,
          fields.lossCity, fields.lossState, fields.lossZip, fields.dateOfLoss, fields.dateReceived,
          fields.dateAssigned, fields.dateInspected, fields.dateClosed, Param(id) });
    moveIntoPlace();
    transaction.Commit();
    return owner;
}

std::vector<std::pair<std::int64_t, std::int64_t>> PostgresWarehouseStore::ListClaims(const Account& account)
{
    Lease lease(*this);
    const Rows rows = Run(*lease,
                          "SELECT c.id, c.version FROM claims c JOIN claim_uploaders u ON u.claim = c.id "
                          "WHERE u.account = $1 AND c.company = $2 ORDER BY c.id",
                          { Param(account.rowId), Param(account.companyRow) });
    std::vector<std::pair<std::int64_t, std::int64_t>> claims;
    for (int i = 0; i < rows.Count(); ++i) {
        claims.emplace_back(rows.Int(i, 0), rows.Int(i, 1));
    }
    return claims;
}

ClaimSearchResult PostgresWarehouseStore::Search(const Account& account, const ClaimQuery& query, int limit)
{
    Parameters parameters { Param(account.companyRow) };
    const auto next = [&](std::optional<std::string> value) {
        parameters.push_back(std::move(value));
        return "$" + std::to_string(parameters.size());
    };
    std::string where = " FROM claims c WHERE c.company = $1 AND c.has_document";
    if (!query.companyScope) {
        where += " AND EXISTS (SELECT 1 FROM claim_uploaders u WHERE u.claim = c.id AND u.account = "
            + next(Param(account.rowId)) + ")";
    }
    const std::pair<const std::string*, const char*> prefixes[] = {
        { &query.insuredLastName, "c.insured_lastname" },
        { &query.adjusterLastName, "c.adjuster_lastname" },
    };
    for (const auto& [value, column] : prefixes) {
        if (!value->empty()) {
            where += std::string(" AND wh_fold(") + column + ") LIKE wh_fold(" + next(LikeLiteral(*value) + "%")
                + ") ESCAPE '\\'";
        }
    }
    const std::pair<const std::string*, const char*> anywhere[] = {
        { &query.policyNum, "c.policy_num" },
        { &query.claimNum, "c.claim_num" },
    };
    for (const auto& [value, column] : anywhere) {
        if (!value->empty()) {
            where += std::string(" AND wh_fold(") + column + ") LIKE wh_fold(" + next("%" + LikeLiteral(*value) + "%")
                + ") ESCAPE '\\'";
        }
    }
    if (!query.dateKind.empty()) {
        const std::string column = DateColumn(query.dateKind);
        if (!query.startDate.empty()) {
            where += " AND substr(c." + column + ", 1, 10) >= " + next(query.startDate);
        }
        if (!query.endDate.empty()) {
            where += " AND substr(c." + column + ", 1, 10) <= " + next(query.endDate);
        }
    }

    Lease lease(*this);
    PGconn* db = *lease;
    Transaction transaction(db, "BEGIN READ ONLY");
    Run(db, "SET LOCAL statement_timeout = " + std::to_string(kSearchBudget.count()));
    ClaimSearchResult result;
    result.total = Run(db, "SELECT count(*)" + where, parameters).Int(0, 0);
    const std::string limitParameter = next(Param(limit));
    const Rows rows = Run(db,
                          "SELECT c.id, c.adjuster_lastname, c.insured_lastname, c.claim_num, c.policy_num, "
                          "c.loss_city, c.loss_state, c.loss_zipcode, coalesce(c.date_of_loss, '')"
                              + where + " ORDER BY c.date_last_uploaded DESC, c.id DESC LIMIT " + limitParameter,
                          parameters);
    for (int i = 0; i < rows.Count(); ++i) {
        result.hits.push_back(ClaimHit { rows.Int(i, 0), rows.Text(i, 1), rows.Text(i, 2), rows.Text(i, 3),
                                         rows.Text(i, 4), rows.Text(i, 5), rows.Text(i, 6), rows.Text(i, 7),
                                         rows.Text(i, 8) });
    }
    transaction.Commit();
    return result;
}

void PostgresWarehouseStore::StoreAux(const Account& account, const std::string& code,
                                      const std::function<void()>& moveIntoPlace)
{
    Lease lease(*this);
    PGconn* db = *lease;
    Transaction transaction(db);
    // The upsert holds the kind's row until the commit, so two servers replace the file in turn.
    Run(db,
        "INSERT INTO aux_files (company, code, date_modified) VALUES ($1, $2, $3) "
        "ON CONFLICT (company, code) DO UPDATE SET date_modified = excluded.date_modified",
        { Param(account.companyRow), code, UtcTimestamp() });
    moveIntoPlace();
    transaction.Commit();
}

bool PostgresWarehouseStore::HasAux(const Account& account, const std::string& code)
{
    Lease lease(*this);
    return Run(*lease, "SELECT 1 FROM aux_files WHERE company = $1 AND code = $2", { Param(account.companyRow), code })
               .Count()
        > 0;
}

std::vector<std::pair<std::string, std::string>> PostgresWarehouseStore::ListAux(const Account& account)
{
    Lease lease(*this);
    const Rows rows = Run(*lease, "SELECT code, date_modified FROM aux_files WHERE company = $1 ORDER BY code",
                          { Param(account.companyRow) });
    std::vector<std::pair<std::string, std::string>> files;
    for (int i = 0; i < rows.Count(); ++i) {
        files.emplace_back(rows.Text(i, 0), rows.Text(i, 1));
    }
    return files;
}

} // namespace wh::server
