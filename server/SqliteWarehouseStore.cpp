#include "SqliteWarehouseStore.h"

#include <sqlite3.h>

#include <climits>
#include <ctime>

namespace wh::server {
namespace {

// One prepared statement, finalised when it goes out of scope.
class Statement
{
public:
    Statement(sqlite3* db, const std::string& sql)
        : m_db(db)
    {
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &m_stmt, nullptr) != SQLITE_OK) {
            throw std::runtime_error(std::string("database statement failed: ") + sqlite3_errmsg(db));
        }
    }
    ~Statement() { sqlite3_finalize(m_stmt); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    Statement& Bind(std::int64_t value)
    {
        Check(sqlite3_bind_int64(m_stmt, ++m_index, value));
        return *this;
    }
    Statement& Bind(const std::string& value)
    {
        Check(sqlite3_bind_text(m_stmt, ++m_index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT));
        return *this;
    }
    Statement& Bind(const std::optional<std::string>& value)
    {
        if (value) {
            return Bind(*value);
        }
        Check(sqlite3_bind_null(m_stmt, ++m_index));
        return *this;
    }

    // True while a row is there.
    bool Step()
    {
        const int rc = sqlite3_step(m_stmt);
        if (rc == SQLITE_ROW) {
            return true;
        }
        if (rc == SQLITE_DONE) {
            return false;
        }
        if (rc == SQLITE_INTERRUPT) {
            throw RequestError(503, "The search took too long: narrow it down with more or longer criteria");
        }
        throw std::runtime_error(std::string("database step failed: ") + sqlite3_errmsg(m_db));
    }
    std::int64_t Int(int column) const { return sqlite3_column_int64(m_stmt, column); }
    std::string Text(int column) const
    {
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(m_stmt, column));
        return text ? std::string(text, static_cast<std::size_t>(sqlite3_column_bytes(m_stmt, column))) : std::string();
    }

private:
    void Check(int rc)
    {
        if (rc != SQLITE_OK) {
            throw std::runtime_error(std::string("database bind failed: ") + sqlite3_errmsg(m_db));
        }
    }

    sqlite3* m_db;
    sqlite3_stmt* m_stmt = nullptr;
    int m_index = 0;
};

// Holds a transaction open until Commit; rolls it back when left early by an exception.
class Transaction
{
public:
    explicit Transaction(sqlite3* db)
        : m_db(db)
    {
        Run("BEGIN IMMEDIATE");
    }
    ~Transaction()
    {
        if (!m_done) {
            sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
        }
    }
    void Commit()
    {
        Run("COMMIT");
        m_done = true;
    }

private:
    void Run(const char* sql)
    {
        if (sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) {
            throw std::runtime_error(std::string("database transaction failed: ") + sqlite3_errmsg(m_db));
        }
    }
    sqlite3* m_db;
    bool m_done = false;
};

const char* kSchema = R"sql(
CREATE TABLE IF NOT EXISTS companies (
    id INTEGER PRIMARY KEY,
    name TEXT NOT NULL UNIQUE COLLATE NOCASE,
    company_id INTEGER NOT NULL UNIQUE);
CREATE TABLE IF NOT EXISTS accounts (
    id INTEGER PRIMARY KEY,
    company INTEGER NOT NULL REFERENCES companies(id),
    name TEXT NOT NULL COLLATE NOCASE,
    password TEXT NOT NULL,
    region_id INTEGER NOT NULL,
    office_id INTEGER NOT NULL,
    department_id INTEGER NOT NULL,
    user_id INTEGER NOT NULL,
    UNIQUE (company, name));
CREATE TABLE IF NOT EXISTS claim_ids (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    company INTEGER NOT NULL REFERENCES companies(id),
    issued TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS claims (
    id INTEGER PRIMARY KEY REFERENCES claim_ids(id),
    company INTEGER NOT NULL REFERENCES companies(id),
    has_archive INTEGER NOT NULL DEFAULT 0,
    has_document INTEGER NOT NULL DEFAULT 0,
    version INTEGER NOT NULL DEFAULT 0,
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
CREATE INDEX IF NOT EXISTS claim_ids_company ON claim_ids(company);
CREATE TABLE IF NOT EXISTS claim_uploaders (
    claim INTEGER NOT NULL REFERENCES claims(id),
    account INTEGER NOT NULL REFERENCES accounts(id),
    PRIMARY KEY (claim, account));
CREATE TABLE IF NOT EXISTS aux_files (
    company INTEGER NOT NULL REFERENCES companies(id),
    code TEXT NOT NULL,
    date_modified TEXT NOT NULL,
    PRIMARY KEY (company, code));
)sql";

} // namespace

void SqliteWarehouseStore::Closer::operator()(sqlite3* db) const
{
    sqlite3_close_v2(db);
}

SqliteWarehouseStore::SqliteWarehouseStore(const std::string& databasePath)
    : m_path(databasePath)
{
    sqlite3* db = nullptr;
    const int rc = sqlite3_open_v2(databasePath.c_str(), &db,
                                   SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, nullptr);
    m_db.reset(db);
    if (rc != SQLITE_OK) {
        throw std::runtime_error("cannot open the database " + databasePath + ": "
                                 + (db ? sqlite3_errmsg(db) : "out of memory"));
    }
    // add-user may run in another process while the server serves.
    sqlite3_busy_timeout(db, 10000);
    Exec("PRAGMA journal_mode=WAL");
    Exec("PRAGMA foreign_keys=ON");
    Exec(kSchema);
    UpgradeSchema();

    // Searches read through a connection of their own: under WAL they see the last committed
    // state without taking the writers' lock, so that sign-ins and uploads never wait for one.
    sqlite3* reader = nullptr;
    const int readRc
        = sqlite3_open_v2(databasePath.c_str(), &reader, SQLITE_OPEN_READONLY | SQLITE_OPEN_FULLMUTEX, nullptr);
    m_searchDb.reset(reader);
    if (readRc != SQLITE_OK) {
        throw std::runtime_error("cannot open the database " + databasePath
                                 + " for searches: " + (reader ? sqlite3_errmsg(reader) : "out of memory"));
    }
    sqlite3_busy_timeout(reader, 10000);
    sqlite3_progress_handler(
        reader, 1000,
        [](void* deadline) {
            return std::chrono::steady_clock::now() > *static_cast<std::chrono::steady_clock::time_point*>(deadline)
                ? 1
                : 0;
        },
        &m_searchDeadline);
}

SqliteWarehouseStore::~SqliteWarehouseStore() = default;

// Data folders made before accounts could be disabled get the column in place; a server and an
// account command opening the same old database at once add it once.
void SqliteWarehouseStore::UpgradeSchema()
{
    Transaction transaction(m_db.get());
    bool hasDisabled = false;
    {
        Statement columns(m_db.get(), "PRAGMA table_info(accounts)");
        while (columns.Step()) {
            hasDisabled = hasDisabled || columns.Text(1) == "disabled";
        }
    }
    if (!hasDisabled) {
        Exec("ALTER TABLE accounts ADD COLUMN disabled INTEGER NOT NULL DEFAULT 0");
    }
    transaction.Commit();
}

void SqliteWarehouseStore::Exec(const char* sql)
{
    char* error = nullptr;
    if (sqlite3_exec(m_db.get(), sql, nullptr, nullptr, &error) != SQLITE_OK) {
        const std::string message = error ? error : "unknown error";
        sqlite3_free(error);
        throw std::runtime_error("database error: " + message);
    }
}

AccountChange SqliteWarehouseStore::SaveAccount(const Account& account)
{
    CheckAccountNames(account);
    std::lock_guard lock(m_mutex);
    Transaction transaction(m_db.get());
    std::int64_t companyRow = 0;
    {
        Statement byName(m_db.get(), "SELECT id, company_id, name FROM companies WHERE name = ?");
        byName.Bind(account.companyName);
        if (byName.Step()) {
            if (byName.Int(1) != account.companyId) {
                throw RequestError(
                    400, "company " + byName.Text(2) + " already has the company id " + std::to_string(byName.Int(1)));
            }
            companyRow = byName.Int(0);
        }
    }
    if (companyRow == 0) {
        Statement byId(m_db.get(), "SELECT name FROM companies WHERE company_id = ?");
        byId.Bind(account.companyId);
        if (byId.Step()) {
            throw RequestError(
                400, "the company id " + std::to_string(account.companyId) + " belongs to company " + byId.Text(0));
        }
        Statement insert(m_db.get(), "INSERT INTO companies (name, company_id) VALUES (?, ?)");
        insert.Bind(account.companyName).Bind(account.companyId).Step();
        companyRow = sqlite3_last_insert_rowid(m_db.get());
    }
    AccountChange change = AccountChange::Added;
    {
        Statement existing(m_db.get(), "SELECT id FROM accounts WHERE company = ? AND name = ?");
        existing.Bind(companyRow).Bind(account.userName);
        if (existing.Step()) {
            change = AccountChange::Updated;
            Statement update(m_db.get(),
                             "UPDATE accounts SET password = ?, region_id = ?, office_id = ?, "
                             "department_id = ?, user_id = ? WHERE id = ?");
            update.Bind(account.passwordHash)
                .Bind(account.regionId)
                .Bind(account.officeId)
                .Bind(account.departmentId)
                .Bind(account.userId)
                .Bind(existing.Int(0))
                .Step();
        }
    }
    if (change == AccountChange::Added) {
        Statement insert(m_db.get(),
                         "INSERT INTO accounts (company, name, password, region_id, office_id, "
                         "department_id, user_id) VALUES (?, ?, ?, ?, ?, ?, ?)");
        insert.Bind(companyRow)
            .Bind(account.userName)
            .Bind(account.passwordHash)
            .Bind(account.regionId)
            .Bind(account.officeId)
            .Bind(account.departmentId)
            .Bind(account.userId)
            .Step();
    }
    transaction.Commit();
    return change;
}

namespace {

constexpr const char* kAccountColumns
    = "SELECT a.id, c.id, c.name, a.name, a.password, c.company_id, a.region_id, a.office_id, a.department_id, "
      "a.user_id, a.disabled FROM accounts a JOIN companies c ON c.id = a.company";

Account AccountFrom(const Statement& row)
{
    Account account;
    account.rowId = row.Int(0);
    account.companyRow = row.Int(1);
    account.companyName = row.Text(2);
    account.userName = row.Text(3);
    account.passwordHash = row.Text(4);
    account.companyId = static_cast<int>(row.Int(5));
    account.regionId = static_cast<int>(row.Int(6));
    account.officeId = static_cast<int>(row.Int(7));
    account.departmentId = static_cast<int>(row.Int(8));
    account.userId = static_cast<int>(row.Int(9));
    account.disabled = row.Int(10) != 0;
    return account;
}

} // namespace

std::optional<Account> SqliteWarehouseStore::FindAccount(const std::string& company, const std::string& user)
{
    std::lock_guard lock(m_mutex);
    Statement find(m_db.get(), std::string(kAccountColumns) + " WHERE c.name = ? AND a.name = ?");
    find.Bind(company).Bind(user);
    if (!find.Step()) {
        return std::nullopt;
    }
    return AccountFrom(find);
}

std::vector<Account> SqliteWarehouseStore::ListAccounts()
{
    std::lock_guard lock(m_mutex);
    Statement list(m_db.get(), std::string(kAccountColumns) + " ORDER BY c.name, a.name");
    std::vector<Account> accounts;
    while (list.Step()) {
        accounts.push_back(AccountFrom(list));
    }
    return accounts;
}

bool SqliteWarehouseStore::SetAccountDisabled(const std::string& company, const std::string& user, bool disabled)
{
    std::lock_guard lock(m_mutex);
    Statement update(m_db.get(),
                     "UPDATE accounts SET disabled = ? WHERE name = ? AND company = "
                     "(SELECT id FROM companies WHERE name = ?)");
    update.Bind(disabled ? 1 : 0).Bind(user).Bind(company).Step();
    return sqlite3_changes(m_db.get()) > 0;
}

bool SqliteWarehouseStore::RemoveAccount(const std::string& company, const std::string& user)
{
    std::lock_guard lock(m_mutex);
    Transaction transaction(m_db.get());
    Statement find(m_db.get(),
                   "SELECT a.id FROM accounts a JOIN companies c ON c.id = a.company WHERE c.name = ? AND a.name = ?");
    find.Bind(company).Bind(user);
    if (!find.Step()) {
        return false;
    }
    const std::int64_t row = find.Int(0);
    Statement uploads(m_db.get(), "DELETE FROM claim_uploaders WHERE account = ?");
    uploads.Bind(row).Step();
    Statement remove(m_db.get(), "DELETE FROM accounts WHERE id = ?");
    remove.Bind(row).Step();
    transaction.Commit();
    return true;
}

void SqliteWarehouseStore::CheckReachable()
{
    std::lock_guard lock(m_mutex);
    Statement probe(m_db.get(), "SELECT count(*) FROM companies");
    probe.Step();
}

void SqliteWarehouseStore::BackupTo(const std::string& target, const std::function<void()>& whileWritesWait)
{
    // The write lock keeps every writer out (of this process and the server's); a connection of
    // its own reads the last committed state beside it, which WAL allows.
    std::lock_guard lock(m_mutex);
    Transaction writers(m_db.get());
    sqlite3* source = nullptr;
    const int openRc = sqlite3_open_v2(m_path.c_str(), &source, SQLITE_OPEN_READONLY, nullptr);
    const std::unique_ptr<sqlite3, Closer> sourceDb(source);
    if (openRc != SQLITE_OK) {
        throw std::runtime_error("cannot open the database " + m_path + ": "
                                 + (source ? sqlite3_errmsg(source) : "out of memory"));
    }
    sqlite3* copy = nullptr;
    const int copyRc = sqlite3_open_v2(target.c_str(), &copy, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    const std::unique_ptr<sqlite3, Closer> copyDb(copy);
    if (copyRc != SQLITE_OK) {
        throw std::runtime_error("cannot create " + target + ": " + (copy ? sqlite3_errmsg(copy) : "out of memory"));
    }
    sqlite3_backup* backup = sqlite3_backup_init(copy, "main", source, "main");
    if (!backup) {
        throw std::runtime_error("cannot copy the records to " + target + ": " + sqlite3_errmsg(copy));
    }
    const int stepRc = sqlite3_backup_step(backup, -1);
    sqlite3_backup_finish(backup);
    if (stepRc != SQLITE_DONE) {
        throw std::runtime_error("cannot copy the records to " + target + ": " + sqlite3_errstr(stepRc));
    }
    whileWritesWait();
    // Nothing was written under the lock: letting it go is all that is left.
}

std::int64_t SqliteWarehouseStore::IssueClaimId(const Account& account, std::int64_t maxUnused)
{
    std::lock_guard lock(m_mutex);
    Transaction transaction(m_db.get());
    // Ids are handed out one per new claim and filled at once; a company that holds many with
    // nothing stored under them is not uploading but drawing ids.
    Statement unused(m_db.get(),
                     "SELECT count(*) FROM (SELECT 1 FROM claim_ids i WHERE i.company = ? AND NOT "
                     "EXISTS (SELECT 1 FROM claims c WHERE c.id = i.id) LIMIT ?)");
    unused.Bind(account.companyRow).Bind(maxUnused).Step();
    if (unused.Int(0) >= maxUnused) {
        throw RequestError(429,
                           "Your company holds " + std::to_string(maxUnused)
                               + " claim ids with nothing stored under them: store the claims for those first");
    }
    // AUTOINCREMENT never hands out an id twice, even after rows are gone.
    Statement insert(m_db.get(), "INSERT INTO claim_ids (company, issued) VALUES (?, ?)");
    insert.Bind(account.companyRow).Bind(UtcTimestamp()).Step();
    const std::int64_t id = sqlite3_last_insert_rowid(m_db.get());
    if (id > INT_MAX) {
        // The workstations keep claim ids in 32 bits.
        throw RequestError(503, "the claim id sequence is exhausted");
    }
    transaction.Commit();
    return id;
}

ClaimOwner SqliteWarehouseStore::OwnerLocked(std::int64_t id, const Account& account)
{
    Statement find(m_db.get(), "SELECT company FROM claim_ids WHERE id = ?");
    find.Bind(id);
    if (!find.Step()) {
        return ClaimOwner::Unknown;
    }
    return find.Int(0) == account.companyRow ? ClaimOwner::ThisCompany : ClaimOwner::OtherCompany;
}

ClaimOwner SqliteWarehouseStore::OwnerOf(std::int64_t id, const Account& account)
{
    std::lock_guard lock(m_mutex);
    return OwnerLocked(id, account);
}

bool SqliteWarehouseStore::HasArchive(std::int64_t id, const Account& account)
{
    std::lock_guard lock(m_mutex);
    Statement find(m_db.get(), "SELECT 1 FROM claims WHERE id = ? AND company = ? AND has_archive = 1");
    find.Bind(id).Bind(account.companyRow);
    return find.Step();
}

bool SqliteWarehouseStore::HasDocument(std::int64_t id, const Account& account)
{
    std::lock_guard lock(m_mutex);
    Statement find(m_db.get(), "SELECT 1 FROM claims WHERE id = ? AND company = ? AND has_document = 1");
    find.Bind(id).Bind(account.companyRow);
    return find.Step();
}

void SqliteWarehouseStore::TouchClaimLocked(std::int64_t id, const Account& account, const char* setClause)
{
    const std::string now = UtcTimestamp();
    Statement insert(m_db.get(),
                     "INSERT OR IGNORE INTO claims (id, company, date_first_uploaded, "
                     "date_last_uploaded) VALUES (?, ?, ?, ?)");
    insert.Bind(id).Bind(account.companyRow).Bind(now).Bind(now).Step();
    Statement update(m_db.get(),
                     std::string("UPDATE claims SET date_last_uploaded = ?, ") + setClause + " WHERE id = ?");
    update.Bind(now).Bind(id).Step();
    Statement uploader(m_db.get(), "INSERT OR IGNORE INTO claim_uploaders (claim, account) VALUES (?, ?)");
    uploader.Bind(id).Bind(account.rowId).Step();
}

ClaimOwner SqliteWarehouseStore::StoreArchive(std::int64_t id, const Account& account,
                                              const std::function<void()>& moveIntoPlace)
{
    std::lock_guard lock(m_mutex);
    const ClaimOwner owner = OwnerLocked(id, account);
    if (owner != ClaimOwner::ThisCompany) {
        return owner;
    }
    Transaction transaction(m_db.get());
    TouchClaimLocked(id, account, "has_archive = 1");
    moveIntoPlace();
    transaction.Commit();
    return owner;
}

ClaimOwner SqliteWarehouseStore::StoreDocument(std::int64_t id, const Account& account, const ClaimFields& fields,
                                               const std::function<void()>& moveIntoPlace)
{
    std::lock_guard lock(m_mutex);
    const ClaimOwner owner = OwnerLocked(id, account);
    if (owner != ClaimOwner::ThisCompany) {
        return owner;
    }
    Transaction transaction(m_db.get());
    TouchClaimLocked(id, account, "has_document = 1");
    Statement update(m_db.get(),
                     "UPDATE claims SET version = ?, claim_num = ?, policy_num = ?, "
                     "adjuster_lastname = ?, insured_lastname = ?, loss_city = ?, loss_state = ?, "
                     "loss_zipcode = ?, date_of_loss = ?, date_received = ?, date_assigned = ?, "
                     "date_inspected = ?, date_closed = ? WHERE id = ?");
    update.Bind(fields.version)
        .Bind(fields.claimNum)
        .Bind(fields.policyNum)
        .Bind(fields.adjusterLastName)
        .Bind(fields.insuredLastName)
        .Bind(fields.lossCity)
        .Bind(fields.lossState)
        .Bind(fields.lossZip)
        .Bind(fields.dateOfLoss)
        .Bind(fields.dateReceived)
        .Bind(fields.dateAssigned)
        .Bind(fields.dateInspected)
        .Bind(fields.dateClosed)
        .Bind(id)
        .Step();
    moveIntoPlace();
    transaction.Commit();
    return owner;
}

std::vector<std::pair<std::int64_t, std::int64_t>> SqliteWarehouseStore::ListClaims(const Account& account)
{
    std::lock_guard lock(m_mutex);
    Statement list(m_db.get(),
                   "SELECT c.id, c.version FROM claims c JOIN claim_uploaders u ON u.claim = c.id "
                   "WHERE u.account = ? AND c.company = ? ORDER BY c.id");
    list.Bind(account.rowId).Bind(account.companyRow);
    std::vector<std::pair<std::int64_t, std::int64_t>> claims;
    while (list.Step()) {
        claims.emplace_back(list.Int(0), list.Int(1));
    }
    return claims;
}

ClaimSearchResult SqliteWarehouseStore::Search(const Account& account, const ClaimQuery& query, int limit)
{
    std::string where = " FROM claims c WHERE c.company = ? AND c.has_document = 1";
    std::vector<std::string> texts;
    if (!query.companyScope) {
        where += " AND EXISTS (SELECT 1 FROM claim_uploaders u WHERE u.claim = c.id AND u.account = ?)";
    }
    // SQLite's LIKE ignores the case of A to Z only, as the workstation lowers only those.
    const std::pair<const std::string*, std::string> patterns[] = {
        { &query.insuredLastName, "c.insured_lastname LIKE ? ESCAPE '\\'" },
        { &query.adjusterLastName, "c.adjuster_lastname LIKE ? ESCAPE '\\'" },
    };
    for (const auto& [value, condition] : patterns) {
        if (!value->empty()) {
            where += " AND " + condition;
            texts.push_back(LikeLiteral(*value) + "%");
        }
    }
    const std::pair<const std::string*, std::string> anywhere[] = {
        { &query.policyNum, "c.policy_num LIKE ? ESCAPE '\\'" },
        { &query.claimNum, "c.claim_num LIKE ? ESCAPE '\\'" },
    };
    for (const auto& [value, condition] : anywhere) {
        if (!value->empty()) {
            where += " AND " + condition;
            texts.push_back("%" + LikeLiteral(*value) + "%");
        }
    }
    if (!query.dateKind.empty()) {
        const std::string column = DateColumn(query.dateKind);
        if (!query.startDate.empty()) {
            where += " AND substr(c." + column + ", 1, 10) >= ?";
            texts.push_back(query.startDate);
        }
        if (!query.endDate.empty()) {
            where += " AND substr(c." + column + ", 1, 10) <= ?";
            texts.push_back(query.endDate);
        }
    }
    auto bindAll = [&](Statement& statement) {
        statement.Bind(account.companyRow);
        if (!query.companyScope) {
            statement.Bind(account.rowId);
        }
        for (const std::string& text : texts) {
            statement.Bind(text);
        }
    };

    std::lock_guard lock(m_searchMutex);
    m_searchDeadline = std::chrono::steady_clock::now() + kSearchBudget;
    ClaimSearchResult result;
    Statement count(m_searchDb.get(), "SELECT count(*)" + where);
    bindAll(count);
    count.Step();
    result.total = count.Int(0);
    Statement rows(m_searchDb.get(),
                   "SELECT c.id, c.adjuster_lastname, c.insured_lastname, c.claim_num, c.policy_num, "
                   "c.loss_city, c.loss_state, c.loss_zipcode, c.date_of_loss"
                       + where + " ORDER BY c.date_last_uploaded DESC, c.id DESC LIMIT ?");
    bindAll(rows);
    rows.Bind(static_cast<std::int64_t>(limit));
    while (rows.Step()) {
        result.hits.push_back(ClaimHit { rows.Int(0), rows.Text(1), rows.Text(2), rows.Text(3), rows.Text(4),
                                         rows.Text(5), rows.Text(6), rows.Text(7), rows.Text(8) });
    }
    return result;
}

void SqliteWarehouseStore::StoreAux(const Account& account, const std::string& code,
                                    const std::function<void()>& moveIntoPlace)
{
    std::lock_guard lock(m_mutex);
    Transaction transaction(m_db.get());
    Statement upsert(m_db.get(),
                     "INSERT INTO aux_files (company, code, date_modified) VALUES (?, ?, ?) "
                     "ON CONFLICT (company, code) DO UPDATE SET date_modified = excluded.date_modified");
    upsert.Bind(account.companyRow).Bind(code).Bind(UtcTimestamp()).Step();
    moveIntoPlace();
    transaction.Commit();
}

bool SqliteWarehouseStore::HasAux(const Account& account, const std::string& code)
{
    std::lock_guard lock(m_mutex);
    Statement find(m_db.get(), "SELECT 1 FROM aux_files WHERE company = ? AND code = ?");
    find.Bind(account.companyRow).Bind(code);
    return find.Step();
}

std::vector<std::pair<std::string, std::string>> SqliteWarehouseStore::ListAux(const Account& account)
{
    std::lock_guard lock(m_mutex);
    Statement list(m_db.get(), "SELECT code, date_modified FROM aux_files WHERE company = ? ORDER BY code");
    list.Bind(account.companyRow);
    std::vector<std::pair<std::string, std::string>> files;
    while (list.Step()) {
        files.emplace_back(list.Text(0), list.Text(1));
    }
    return files;
}

} // namespace wh::server
