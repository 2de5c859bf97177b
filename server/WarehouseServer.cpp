#include "WarehouseServer.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <string_view>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "JsonBody.h"
#include "ServerCrypto.h"

namespace wh::server {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;

// The eight auxiliary kinds the workstations exchange.
constexpr std::array<const char*, 8> kAuxCodes { "PHB", "ACT", "TPL", "ART", "APT", "DIA", "FEE", "CDI" };

std::string Dump(const json& value)
{
    // Stored texts came in as JSON, but never let a stray byte turn an answer into a crash.
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

void SendJson(HttpResponse& response, int status, const json& body)
{
    response.status = status;
    response.contentType = "application/json";
    response.body = Dump(body);
}

void SendMessage(HttpResponse& response, int status, const std::string& message)
{
    SendJson(response, status, json { { "msg", message } });
}

void SendText(HttpResponse& response, const std::string& text)
{
    response.status = 200;
    response.contentType = "text/plain";
    response.body = text;
}

// The file descriptor of a stored blob while it is sent.
class OpenFile
{
public:
    explicit OpenFile(int fd)
        : m_fd(fd)
    {
    }
    ~OpenFile()
    {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;
    int Fd() const { return m_fd; }

private:
    int m_fd;
};

// Answers with a stored file, sent in pieces; the file is never read whole into memory.
void SendFile(HttpResponse& response, const std::string& path, const std::string& contentType)
{
    if (::access(path.c_str(), R_OK) != 0) {
        throw std::runtime_error("cannot read the stored file " + path + ": " + std::strerror(errno));
    }
    response.status = 200;
    response.contentType = contentType;
    response.filePath = path;
}

} // namespace

// The name of an unfinished upload in the incoming folder: the prefix and six letters or digits.
constexpr std::string_view kUploadPrefix = "upload-";

bool IsUploadName(std::string_view name)
{
    return name.size() == kUploadPrefix.size() + 6 && name.starts_with(kUploadPrefix)
        && std::all_of(name.begin() + kUploadPrefix.size(), name.end(),
                       [](unsigned char c) { return std::isalnum(c) != 0; });
}

// Whether `fd` is the file that `path` names.
bool IsNamedBy(int fd, const std::string& path)
{
    struct stat held
    {
    };
    struct stat named
    {
    };
    return ::fstat(fd, &held) == 0 && ::lstat(path.c_str(), &named) == 0 && held.st_dev == named.st_dev
        && held.st_ino == named.st_ino;
}

// A body being received into a temporary file of the data folder; removed unless moved into place.
// The file is locked (flock) from its creation until it is moved or removed, so that a server
// starting on the same folder knows it for another's upload under way and leaves it alone.
class UploadFile
{
public:
    explicit UploadFile(const std::string& folder)
    {
        fs::create_directories(folder);
        while (true) {
            std::string pattern = folder + "/" + std::string(kUploadPrefix) + "XXXXXX";
            m_fd = ::mkstemp(pattern.data());
            if (m_fd < 0) {
                throw std::runtime_error("cannot create a file in " + folder + ": " + std::strerror(errno));
            }
            if (::flock(m_fd, LOCK_EX) != 0) {
                const int error = errno;
                ::unlink(pattern.c_str());
                ::close(m_fd);
                throw std::runtime_error("cannot lock the upload file " + pattern + ": " + std::strerror(error));
            }
            // A server starting this very moment may have taken the new file for a left-over one
            // and removed it before the lock was in place: then take another.
            if (IsNamedBy(m_fd, pattern)) {
                m_path = pattern;
                break;
            }
            ::close(m_fd);
        }
    }
    ~UploadFile()
    {
        // Removed while still locked; the lock goes with the descriptor.
        if (!m_moved) {
            ::unlink(m_path.c_str());
        }
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    UploadFile(const UploadFile&) = delete;
    UploadFile& operator=(const UploadFile&) = delete;

    bool Write(const char* data, std::size_t length)
    {
        while (length > 0) {
            const ssize_t n = ::write(m_fd, data, length);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                return false;
            }
            data += n;
            length -= static_cast<std::size_t>(n);
            m_size += static_cast<std::size_t>(n);
        }
        return true;
    }
    // Flushes to the disk; false when the data did not reach it. The file stays open, and locked,
    // until it is moved into place or removed.
    bool Finish()
    {
        if (!m_synced) {
            m_synced = ::fsync(m_fd) == 0;
        }
        return m_synced;
    }
    void MoveTo(const std::string& target)
    {
        fs::rename(m_path, target);
        m_moved = true;
    }
    const std::string& Path() const { return m_path; }
    std::size_t Size() const { return m_size; }

private:
    int m_fd = -1;
    std::string m_path;
    std::size_t m_size = 0;
    bool m_synced = false;
    bool m_moved = false;
};

// Removes the unfinished uploads that a server which ended without cleaning up (killed, or its
// machine lost) left in `folder`: the files of the upload naming that no live process holds
// locked. Anything else in the folder is left alone.
void RemoveLeftUploads(const std::string& folder)
{
    std::error_code error;
    fs::directory_iterator entries(folder, error);
    if (error) {
        if (error != std::errc::no_such_file_or_directory) {
            std::cerr << "warehouse-server: cannot look for unfinished uploads in " << folder << ": " << error.message()
                      << std::endl;
        }
        return;
    }
    int removed = 0;
    for (const fs::directory_entry& entry : entries) {
        const std::string name = entry.path().filename().string();
        if (!IsUploadName(name)) {
            continue;
        }
        const std::string path = entry.path().string();
        const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            continue; // gone meanwhile, or no plain file
        }
        struct stat info
        {
        };
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)
            && IsNamedBy(fd, path)) {
            if (::unlink(path.c_str()) == 0) {
                ++removed;
            } else if (errno != ENOENT) {
                std::cerr << "warehouse-server: cannot remove the unfinished upload " << path << ": "
                          << std::strerror(errno) << std::endl;
            }
        }
        ::close(fd);
    }
    if (removed > 0) {
        std::cerr << "warehouse-server: removed " << removed << " unfinished upload" << (removed == 1 ? "" : "s")
                  << " left in " << folder << std::endl;
    }
}

namespace {

std::uint32_t Le16(const unsigned char* p)
{
    return p[0] | (p[1] << 8);
}

std::uint32_t Le32(const unsigned char* p)
{
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

// A classic ZIP archive whose every byte is accounted for: the end record, a central directory
// right before it, and for each of its entries a local header with the member's data, one after
// the other from the first byte on. A file that merely starts and ends like an archive is none.
bool LooksLikeZip(const std::string& path, std::size_t size)
{
    constexpr std::size_t kEndRecord = 22;
    if (size < kEndRecord || size > 0xFFFFFFFFu) {
        return false;
    }
    OpenFile file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.Fd() < 0) {
        return false;
    }
    const auto readAt = [&](std::string& into, std::size_t length, std::size_t offset) {
        into.assign(length, '\0');
        return ::pread(file.Fd(), into.data(), length, static_cast<off_t>(offset)) == static_cast<ssize_t>(length);
    };
    const std::size_t tailSize = std::min<std::size_t>(size, kEndRecord + 65535);
    std::string tail;
    if (!readAt(tail, tailSize, size - tailSize)) {
        return false;
    }
    // The end record: the last one whose comment reaches exactly to the end of the file.
    std::size_t end = std::string::npos;
    for (std::size_t i = tailSize - kEndRecord + 1; i-- > 0;) {
        const auto* p = reinterpret_cast<const unsigned char*>(tail.data() + i);
        if (Le32(p) == 0x06054b50 && i + kEndRecord + Le16(p + 20) == tailSize) {
            end = i;
            break;
        }
    }
    if (end == std::string::npos) {
        return false;
    }
    const auto* record = reinterpret_cast<const unsigned char*>(tail.data() + end);
    const std::size_t endOffset = size - tailSize + end;
    const std::uint32_t entries = Le16(record + 10);
    const std::uint32_t directorySize = Le32(record + 12);
    const std::uint32_t directoryOffset = Le32(record + 16);
    if (Le16(record + 4) != 0 || Le16(record + 6) != 0 || Le16(record + 8) != entries
        || static_cast<std::size_t>(directoryOffset) + directorySize != endOffset) {
        return false;
    }
    std::string directory;
    if (!readAt(directory, directorySize, directoryOffset)) {
        return false;
    }
    struct Member
    {
        std::uint32_t offset;
        std::uint32_t compressedSize;
        bool descriptor;
    };
    std::vector<Member> members;
    std::size_t at = 0;
    for (std::uint32_t i = 0; i < entries; ++i) {
        if (at + 46 > directory.size()) {
            return false;
        }
        const auto* entry = reinterpret_cast<const unsigned char*>(directory.data() + at);
        if (Le32(entry) != 0x02014b50) {
            return false;
        }
        members.push_back({ Le32(entry + 42), Le32(entry + 20), (Le16(entry + 8) & 8) != 0 });
        at += 46 + Le16(entry + 28) + Le16(entry + 30) + Le16(entry + 32);
    }
    if (at != directory.size()) {
        return false;
    }
    std::sort(members.begin(), members.end(), [](const Member& a, const Member& b) { return a.offset < b.offset; });
    std::size_t expected = 0;
    std::string header;
    for (const Member& member : members) {
        if (member.offset != expected || !readAt(header, 30, member.offset)) {
            return false;
        }
        const auto* local = reinterpret_cast<const unsigned char*>(header.data());
        if (Le32(local) != 0x04034b50) {
            return false;
        }
        expected = static_cast<std::size_t>(member.offset) + 30 + Le16(local + 26) + Le16(local + 28)
            + member.compressedSize;
        if (member.descriptor) {
            std::string signature;
            if (!readAt(signature, 4, expected)) {
                return false;
            }
            expected += Le32(reinterpret_cast<const unsigned char*>(signature.data())) == 0x08074b50 ? 16 : 12;
        }
        if (expected > directoryOffset) {
            return false;
        }
    }
    return expected == directoryOffset;
}

// "123.kvz" or "123.json": the claim id and whether the archive is meant.
struct ClaimFileName
{
    std::int64_t id = 0;
    bool archive = false;
};

ClaimFileName ParseClaimFileName(const std::string& name)
{
    const std::size_t dot = name.rfind('.');
    std::string extension = dot == std::string::npos ? std::string() : name.substr(dot + 1);
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (extension != "kvz" && extension != "json") {
        throw RequestError(400, "\"" + name + "\" is not a claim file name (id.kvz or id.json)");
    }
    const std::string digits = name.substr(0, dot);
    if (digits.empty() || digits.size() > 10
        || !std::all_of(digits.begin(), digits.end(), [](unsigned char c) { return std::isdigit(c); })) {
        throw RequestError(400, "\"" + digits + "\" is not a claim id");
    }
    const std::int64_t id = std::stoll(digits);
    if (id < 1 || id > INT_MAX) {
        throw RequestError(400, "\"" + digits + "\" is not a claim id");
    }
    return ClaimFileName { id, extension == "kvz" };
}

std::string AuxCode(const std::string& text)
{
    std::string code = text;
    std::transform(code.begin(), code.end(), code.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    if (std::find_if(kAuxCodes.begin(), kAuxCodes.end(), [&](const char* known) { return code == known; })
        == kAuxCodes.end()) {
        throw RequestError(404, "Unknown auxiliary file type \"" + text + "\"");
    }
    return code;
}

// A member of a query or document read as text: a missing member or null is empty, a number is
// written in decimal, anything else is refused.
std::string MemberText(const json& object, const char* name, const std::string& what)
{
    const auto member = object.find(name);
    if (member == object.end() || member->is_null()) {
        return {};
    }
    std::string text;
    if (member->is_string()) {
        text = member->get<std::string>();
    } else if (member->is_number()) {
        text = member->dump();
    } else {
        throw RequestError(400, "\"" + std::string(name) + "\" of the " + what + " must be a text");
    }
    if (CharacterCount(text) > WarehouseServer::kMaxTextMember) {
        throw RequestError(400,
                           "\"" + std::string(name) + "\" of the " + what + " is longer than "
                               + std::to_string(WarehouseServer::kMaxTextMember) + " characters");
    }
    return text;
}

bool IsIsoDate(const std::string& text)
{
    if (text.size() < 10) {
        return false;
    }
    for (std::size_t i = 0; i < 10; ++i) {
        const bool dash = i == 4 || i == 7;
        if (dash ? text[i] != '-' : !std::isdigit(static_cast<unsigned char>(text[i]))) {
            return false;
        }
    }
    return true;
}

std::optional<std::string> MemberDate(const json& object, const char* name)
{
    const auto member = object.find(name);
    if (member == object.end() || !member->is_string() || !IsIsoDate(member->get<std::string>())) {
        return std::nullopt;
    }
    return member->get<std::string>().substr(0, 10);
}

ClaimFields ReadClaimFields(const json& document)
{
    const auto version = document.find("claim_version");
    if (version == document.end() || !version->is_number_integer() || version->get<std::int64_t>() < INT_MIN
        || version->get<std::int64_t>() > INT_MAX
        || (version->is_number_unsigned() && version->get<std::uint64_t>() > INT_MAX)) {
        throw RequestError(400, "The claim document must hold \"claim_version\" as a whole number");
    }
    const std::string what = "claim document";
    ClaimFields fields;
    fields.version = version->get<std::int64_t>();
    fields.claimNum = MemberText(document, "claimnumber", what);
    fields.policyNum = MemberText(document, "policynumber", what);
    fields.adjusterLastName = MemberText(document, "adj_lastname", what);
    fields.insuredLastName = MemberText(document, "prim_ins_lastname", what);
    fields.lossCity = MemberText(document, "loss_city", what);
    fields.lossState = MemberText(document, "loss_state", what);
    fields.lossZip = MemberText(document, "loss_zipcode", what);
    fields.dateOfLoss = MemberDate(document, "dateofloss");
    fields.dateReceived = MemberDate(document, "dreceived");
    fields.dateAssigned = MemberDate(document, "dassigned");
    fields.dateInspected = MemberDate(document, "dinspected");
    fields.dateClosed = MemberDate(document, "dclosed");
    return fields;
}

ClaimQuery ReadClaimQuery(const json& body)
{
    const std::string what = "search query";
    ClaimQuery query;
    query.insuredLastName = MemberText(body, "insured_lastname", what);
    query.adjusterLastName = MemberText(body, "adjuster_lastname", what);
    query.policyNum = MemberText(body, "policy_num", what);
    query.claimNum = MemberText(body, "claim_num", what);

    const auto range = body.find("date_range");
    if (range != body.end() && !range->is_null()) {
        if (!range->is_object()) {
            throw RequestError(400, "\"date_range\" of the search query must be an object");
        }
        query.dateKind = MemberText(*range, "field", what);
        // Without a date kind the dates say nothing, so they are not checked either.
        if (!query.dateKind.empty()) {
            query.startDate = MemberText(*range, "start_date", what);
            query.endDate = MemberText(*range, "end_date", what);
            for (const std::string* date : { &query.startDate, &query.endDate }) {
                if (!date->empty() && (date->size() != 10 || !IsIsoDate(*date))) {
                    throw RequestError(400, "The search date \"" + *date + "\" is not of the form YYYY-MM-DD");
                }
            }
        }
    }
    const auto option = body.find("option");
    if (option != body.end() && !option->is_null()) {
        if (!option->is_object()) {
            throw RequestError(400, "\"option\" of the search query must be an object");
        }
        const std::string scope = MemberText(*option, "search_scope", what);
        if (scope == "company") {
            query.companyScope = true;
        } else if (!scope.empty() && scope != "user") {
            throw RequestError(400, "Unknown search scope \"" + scope + "\" (user or company)");
        }
    }
    return query;
}

} // namespace

WarehouseServer::WarehouseServer(WarehouseStore& store, std::string dataDir, ServerLimits limits)
    : m_store(store)
    , m_dataDir(std::move(dataDir))
    , m_limits(limits)
    , m_unknownAccountHash(HashPassword("no such account"))
{
    RemoveLeftUploads(TempDir());
}

std::string WarehouseServer::CompanyDir(const Account& account) const
{
    return m_dataDir + "/store/" + std::to_string(account.companyRow);
}

std::string WarehouseServer::TempDir() const
{
    return m_dataDir + "/store/incoming";
}

Account WarehouseServer::SignIn(const HttpRequest& request)
{
    const std::string header = request.Header("Authorization");
    const std::size_t blank = header.find(' ');
    std::string scheme = header.substr(0, blank);
    std::transform(scheme.begin(), scheme.end(), scheme.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    const RequestError refused(401, "Invalid user name or password");
    if (blank == std::string::npos || scheme != "basic") {
        throw RequestError(401, "Sign-in required: send the user name \"company/user\" and the password");
    }
    std::string token = header.substr(blank + 1);
    token.erase(0, token.find_first_not_of(' '));
    token.erase(token.find_last_not_of(' ') + 1);
    const auto decoded = DecodeBase64(token);
    if (!decoded) {
        throw refused;
    }
    const std::size_t colon = decoded->find(':');
    const std::string name = decoded->substr(0, colon);
    const std::string password = colon == std::string::npos ? std::string() : decoded->substr(colon + 1);
    const std::size_t slash = name.find('/');
    if (colon == std::string::npos || slash == std::string::npos) {
        throw refused;
    }
    const std::string company = name.substr(0, slash);
    const std::string user = name.substr(slash + 1);
    // No account has a longer name: such a try is refused before any look-up or key derivation
    // and takes no place in the tables of the waits.
    if (CharacterCount(company) > kMaxAccountName || CharacterCount(user) > kMaxAccountName) {
        throw refused;
    }
    // The waits know an account by the digest of its name, so that each of their keys takes the
    // same small room however long the name.
    std::string lowerName = name;
    std::transform(lowerName.begin(), lowerName.end(), lowerName.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    const std::string accountKey = Sha256(lowerName);
    const std::string& addressKey = request.remoteAddress;
    std::lock_guard oneCheckAtATime(
        m_accountChecks[static_cast<unsigned char>(accountKey.front()) % m_accountChecks.size()]);
    std::optional<Account> account = m_store.FindAccount(company, user);
    if (account && account->disabled) {
        // Refused as an unknown account is, the same way and in the same time.
        account.reset();
    }
    std::string digest;
    if (account) {
        // A password checked before passes at once, also while the account waits after failures:
        // the waits are for guesses, and a guess cannot hit the remembered digest.
        digest = Sha256(account->passwordHash + '\n' + password);
        std::lock_guard lock(m_checkedMutex);
        const auto checked = m_checked.find(account->rowId);
        if (checked != m_checked.end() && checked->second.storedHash == account->passwordHash
            && checked->second.passwordDigest == digest) {
            m_guard.SignedIn(accountKey, addressKey);
            return *account;
        }
    }
    // The try counts as a failure from here on, also while its key derivation is under way.
    const int wait = m_guard.Begin(accountKey, addressKey, SignInGuard::Clock::now());
    if (wait > 0) {
        throw RequestError(401, refused.what(), wait);
    }
    bool verified = false;
    try {
        // An unknown account costs the same derivation as a wrong password, so that the time of
        // the refusal does not tell which accounts exist.
        const DerivationGate::Pass pass(m_derivations);
        verified = VerifyPassword(password, account ? account->passwordHash : m_unknownAccountHash) && account;
    } catch (...) {
        m_guard.Failed(accountKey, addressKey, SignInGuard::Clock::now());
        throw;
    }
    if (!verified) {
        m_guard.Failed(accountKey, addressKey, SignInGuard::Clock::now());
        throw refused;
    }
    m_guard.Succeeded(accountKey, addressKey);
    std::lock_guard lock(m_checkedMutex);
    m_checked[account->rowId] = CheckedPassword { account->passwordHash, digest };
    return *account;
}

void WarehouseServer::Status(const Account& account, HttpResponse& response)
{
    SendJson(response, 200,
             json { { "companyid", account.companyId },
                    { "regionid", account.regionId },
                    { "officeid", account.officeId },
                    { "departmentid", account.departmentId },
                    { "id", account.userId } });
}

void WarehouseServer::ListClaims(const Account& account, HttpResponse& response)
{
    json list = json::array();
    for (const auto& [id, version] : m_store.ListClaims(account)) {
        list.push_back(json { { "id", id }, { "version", version } });
    }
    SendJson(response, 200, list);
}

void WarehouseServer::NextClaimId(const Account& account, HttpResponse& response)
{
    // The body is empty by convention; whatever came was read and is ignored.
    SendText(response, std::to_string(m_store.IssueClaimId(account, m_limits.maxUnusedClaimIds)));
}

void WarehouseServer::SearchClaims(const Account& account, const RequestBody& body, HttpResponse& response)
{
    const ClaimQuery query = ReadClaimQuery(ParseJsonObject(body.Text(), "search query", kJsonShape));
    const ClaimSearchResult found = m_store.Search(account, query, kSearchLimit);
    json results = json::array();
    for (const ClaimHit& hit : found.hits) {
        results.push_back(json { { "id", hit.id },
                                 { "adjuster_lastname", hit.adjusterLastName },
                                 { "insured_lastname", hit.insuredLastName },
                                 { "claim_num", hit.claimNum },
                                 { "policy_num", hit.policyNum },
                                 { "loss_city", hit.lossCity },
                                 { "loss_state", hit.lossState },
                                 { "loss_zipcode", hit.lossZip },
                                 { "date_of_loss", hit.dateOfLoss } });
    }
    SendJson(response, 200, json { { "total", found.total }, { "results", results } });
}

void WarehouseServer::GetClaim(const Account& account, const std::string& fileName, HttpResponse& response)
{
    const ClaimFileName name = ParseClaimFileName(fileName);
    const bool stored = name.archive ? m_store.HasArchive(name.id, account) : m_store.HasDocument(name.id, account);
    if (!stored) {
        // Another company's claim looks exactly like one that does not exist.
        throw RequestError(404,
                           std::string("No claim ") + (name.archive ? "archive" : "document") + " is stored for "
                               + std::to_string(name.id));
    }
    const std::string path
        = CompanyDir(account) + "/claims/" + std::to_string(name.id) + (name.archive ? ".kvz" : ".json");
    SendFile(response, path, name.archive ? "application/octet-stream" : "application/json");
}

// Another company's id gets the very answer of an id never handed out, so that a client cannot
// tell the ones in use from the others.
static void RefuseUnlessOwn(ClaimOwner owner, std::int64_t id)
{
    if (owner == ClaimOwner::Unknown || owner == ClaimOwner::OtherCompany) {
        throw RequestError(404,
                           "The claim id " + std::to_string(id)
                               + " was never handed out to your company: ask /api/sequences/claims for a new one");
    }
}

void WarehouseServer::PutClaim(const Account& account, const std::string& fileName, RequestBody& body,
                               HttpResponse& response)
{
    const ClaimFileName name = ParseClaimFileName(fileName);
    const std::string folder = CompanyDir(account) + "/claims";
    fs::create_directories(folder);
    const std::string target = folder + "/" + std::to_string(name.id) + (name.archive ? ".kvz" : ".json");
    ClaimOwner owner;
    if (name.archive) {
        UploadFile& upload = body.File();
        if (!LooksLikeZip(upload.Path(), upload.Size())) {
            throw RequestError(400, "The claim archive is not a ZIP archive");
        }
        owner = m_store.StoreArchive(name.id, account, [&] { upload.MoveTo(target); });
    } else {
        const ClaimFields fields = ReadClaimFields(ParseJsonObject(body.Text(), "claim document", kJsonShape));
        UploadFile upload(TempDir());
        if (!upload.Write(body.Text().data(), body.Text().size()) || !upload.Finish()) {
            throw std::runtime_error("cannot store an upload in " + upload.Path());
        }
        owner = m_store.StoreDocument(name.id, account, fields, [&] { upload.MoveTo(target); });
    }
    // The owner was checked before the body came in; this is the check under the store's lock.
    RefuseUnlessOwn(owner, name.id);
    SendText(response, "Successfully stored");
}

void WarehouseServer::ListAux(const Account& account, HttpResponse& response)
{
    json list = json::array();
    for (const auto& [code, modified] : m_store.ListAux(account)) {
        list.push_back(json { { "type", code }, { "date_modified", modified } });
    }
    SendJson(response, 200, list);
}

void WarehouseServer::GetAux(const Account& account, const std::string& kind, HttpResponse& response)
{
    const std::string code = AuxCode(kind);
    if (!m_store.HasAux(account, code)) {
        throw RequestError(404, "No " + code + " file is stored for your company");
    }
    SendFile(response, CompanyDir(account) + "/aux/" + code + ".zip", "application/octet-stream");
}

void WarehouseServer::PutAux(const Account& account, const std::string& kind, RequestBody& body, HttpResponse& response)
{
    const std::string code = AuxCode(kind);
    const std::string folder = CompanyDir(account) + "/aux";
    fs::create_directories(folder);
    UploadFile& upload = body.File();
    if (!LooksLikeZip(upload.Path(), upload.Size())) {
        throw RequestError(400, "The " + code + " file is not a ZIP archive");
    }
    m_store.StoreAux(account, code, [&] { upload.MoveTo(folder + "/" + code + ".zip"); });
    SendText(response, "Successfully stored");
}

namespace {

enum class RouteId {
    Health,
    Status,
    ListClaims,
    NextClaimId,
    SearchClaims,
    GetClaim,
    PutClaim,
    ListAux,
    GetAux,
    PutAux
};

// How a route's path matches: the path itself, the path with or without a closing "/", or the
// path followed by one more non-empty segment.
enum class PathMatch { Exact, OptionalSlash, OneSegment };

struct Route
{
    RouteId id;
    const char* method;
    std::string_view path;
    PathMatch match;
    RequestBody::Kind body;
};

using Body = RequestBody::Kind;

// Every request the server answers, as its head is checked against them.
constexpr Route kRoutes[] = {
    { RouteId::Health, "GET", "/health", PathMatch::Exact, Body::None }, // no sign-in
    { RouteId::Status, "GET", "/api/status", PathMatch::Exact, Body::None },
    { RouteId::ListClaims, "GET", "/api/claims", PathMatch::OptionalSlash, Body::None },
    { RouteId::NextClaimId, "POST", "/api/sequences/claims", PathMatch::Exact, Body::Text },
    { RouteId::SearchClaims, "POST", "/api/claims/search", PathMatch::Exact, Body::Text },
    { RouteId::GetClaim, "GET", "/api/claims/", PathMatch::OneSegment, Body::None },
    { RouteId::PutClaim, "PUT", "/api/claims/", PathMatch::OneSegment, Body::File }, // documents: Text
    { RouteId::ListAux, "GET", "/api/aux", PathMatch::OptionalSlash, Body::None },
    { RouteId::GetAux, "GET", "/api/aux/", PathMatch::OneSegment, Body::None },
    { RouteId::PutAux, "PUT", "/api/aux/", PathMatch::OneSegment, Body::File },
};

bool Matches(const Route& route, std::string_view path)
{
    switch (route.match) {
    case PathMatch::Exact:
        return path == route.path;
    case PathMatch::OptionalSlash:
        return path == route.path
            || (path.size() == route.path.size() + 1 && path.starts_with(route.path) && path.back() == '/');
    case PathMatch::OneSegment:
        return path.size() > route.path.size() && path.starts_with(route.path)
            && path.find('/', route.path.size()) == std::string_view::npos;
    }
    return false;
}

const Route* FindRoute(const HttpRequest& request)
{
    const auto route = std::find_if(std::begin(kRoutes), std::end(kRoutes), [&](const Route& candidate) {
        return request.method == candidate.method && Matches(candidate, request.path);
    });
    return route == std::end(kRoutes) ? nullptr : route;
}

// A claim document goes up on the archive's route but is JSON, and held to JSON's limit.
bool IsDocumentUpload(const Route& route, const std::string& path)
{
    return route.id == RouteId::PutClaim && path.size() >= 5
        && strcasecmp(path.c_str() + path.size() - 5, ".json") == 0;
}

} // namespace

RequestBody::RequestBody(Kind kind, std::uint64_t limit, std::string tempDir)
    : m_kind(kind)
    , m_limit(kind == Kind::None ? 0 : limit)
    , m_tempDir(std::move(tempDir))
{
}

RequestBody::~RequestBody() = default;

void RequestBody::Append(const char* data, std::size_t length)
{
    if (m_overflow > 0 || m_received + length > m_limit) {
        m_overflow += length;
        m_file.reset(); // what came so far will never be used
        return;
    }
    m_received += length;
    if (m_kind == Kind::Text) {
        m_text.append(data, length);
        return;
    }
    if (!m_writeError.empty()) {
        return;
    }
    try {
        if (!m_file) {
            m_file = std::make_unique<UploadFile>(m_tempDir);
        }
        if (!m_file->Write(data, length)) {
            m_writeError = "cannot store an upload in " + m_file->Path() + ": " + std::strerror(errno);
        }
    } catch (const std::exception& error) {
        m_writeError = error.what();
    }
}

void RequestBody::Check() const
{
    if (m_overflow > 0) {
        throw RequestError(413,
                           (m_kind == Kind::File ? "The archive is larger than " : "The request body is larger than ")
                               + std::to_string(m_limit) + " bytes");
    }
    if (!m_writeError.empty()) {
        throw std::runtime_error(m_writeError);
    }
}

UploadFile& RequestBody::File()
{
    if (!m_file) {
        m_file = std::make_unique<UploadFile>(m_tempDir); // an empty body
    }
    if (!m_file->Finish()) {
        throw std::runtime_error("cannot store an upload in " + m_file->Path());
    }
    return *m_file;
}

std::optional<RequestError> WarehouseServer::RefusalBeforeBody(const HttpRequest& request) const
{
    const Route* route = FindRoute(request);
    if (!route) {
        return RequestError(404, "No such request: " + request.method + " " + request.path);
    }
    const std::size_t lengths = request.HeaderCount("Content-Length");
    const std::size_t encodings = request.HeaderCount("Transfer-Encoding");
    if (lengths > 1 || encodings > 1 || (lengths == 1 && encodings == 1)) {
        return RequestError(400, "The request gives its body's length more than once");
    }
    std::uint64_t declared = 0;
    if (lengths == 1) {
        const std::string text = request.Header("Content-Length");
        if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 19) {
            return RequestError(400, "The request's Content-Length is no number");
        }
        declared = std::stoull(text);
    }
    const bool hasBody = declared > 0 || encodings == 1;
    switch (route->body) {
    case Body::None:
        if (hasBody) {
            return RequestError(400, "This request takes no body");
        }
        break;
    case Body::Text:
        if (declared > kMaxJsonBody) {
            return RequestError(413, "The request body is larger than " + std::to_string(kMaxJsonBody) + " bytes");
        }
        break;
    case Body::File:
        if (IsDocumentUpload(*route, request.path) && declared > kMaxJsonBody) {
            return RequestError(413, "The request body is larger than " + std::to_string(kMaxJsonBody) + " bytes");
        }
        if (declared > m_limits.maxArchiveBytes) {
            return RequestError(413,
                                "The archive is larger than " + std::to_string(m_limits.maxArchiveBytes) + " bytes");
        }
        break;
    }
    return std::nullopt;
}

std::unique_ptr<ServerRequest> WarehouseServer::Begin(HttpRequest head) const
{
    auto request = std::make_unique<ServerRequest>();
    const Route* route = FindRoute(head);
    if (!route) {
        throw std::logic_error("a request without a route was let through");
    }
    request->route = static_cast<int>(route - std::begin(kRoutes));
    if (route->match == PathMatch::OneSegment) {
        request->segment = head.path.substr(route->path.size());
    }
    if (IsDocumentUpload(*route, head.path)) {
        request->body = std::make_unique<RequestBody>(Body::Text, kMaxJsonBody, TempDir());
    } else {
        request->body = std::make_unique<RequestBody>(
            route->body, route->body == Body::File ? m_limits.maxArchiveBytes : kMaxJsonBody, TempDir());
    }
    request->head = std::move(head);
    return request;
}

bool WarehouseServer::TakesBody(const ServerRequest& request)
{
    return kRoutes[request.route].body != Body::None;
}

void WarehouseServer::Admit(ServerRequest& request)
{
    request.account = SignIn(request.head);
    const RouteId route = kRoutes[request.route].id;
    if (route == RouteId::PutClaim) {
        // Refused before the body is taken in; checked again when the upload is moved into place.
        const ClaimFileName name = ParseClaimFileName(request.segment);
        RefuseUnlessOwn(m_store.OwnerOf(name.id, *request.account), name.id);
    } else if (route == RouteId::PutAux) {
        AuxCode(request.segment);
    }
}

// For load balancers and monitors: whether the records answer and the store folder takes files.
// The reason of a failure goes to the log only, not to whoever asks.
static void AnswerHealth(WarehouseStore& store, const std::string& dataDir, HttpResponse& response)
{
    try {
        store.CheckReachable();
        std::string probe = dataDir + "/store/.health-XXXXXX";
        const int fd = ::mkstemp(probe.data());
        if (fd < 0) {
            throw std::runtime_error("cannot create a file in " + dataDir + "/store: " + std::strerror(errno));
        }
        const bool written = ::write(fd, "ok", 2) == 2;
        const int writeError = errno;
        ::close(fd);
        ::unlink(probe.c_str());
        if (!written) {
            throw std::runtime_error("cannot write in " + dataDir + "/store: " + std::strerror(writeError));
        }
    } catch (const std::exception& error) {
        std::cerr << "warehouse-server: health check failed: " << error.what() << std::endl;
        SendMessage(response, 503, "The warehouse's store is not reachable");
        return;
    }
    SendJson(response, 200, json { { "status", "ok" } });
}

void WarehouseServer::Dispatch(ServerRequest& request, HttpResponse& response)
{
    if (kRoutes[request.route].id == RouteId::Health) {
        return AnswerHealth(m_store, m_dataDir, response);
    }
    if (!request.account) {
        request.account = SignIn(request.head);
    }
    const Account& account = *request.account;
    request.body->Check();
    switch (kRoutes[request.route].id) {
    case RouteId::Health: // answered above, without a sign-in
        return;
    case RouteId::Status:
        return Status(account, response);
    case RouteId::ListClaims:
        return ListClaims(account, response);
    case RouteId::NextClaimId:
        return NextClaimId(account, response);
    case RouteId::SearchClaims:
        return SearchClaims(account, *request.body, response);
    case RouteId::GetClaim:
        return GetClaim(account, request.segment, response);
    case RouteId::PutClaim:
        return PutClaim(account, request.segment, *request.body, response);
    case RouteId::ListAux:
        return ListAux(account, response);
    case RouteId::GetAux:
        return GetAux(account, request.segment, response);
    case RouteId::PutAux:
        return PutAux(account, request.segment, *request.body, response);
    }
}

HttpResponse WarehouseServer::Finish(ServerRequest& request)
{
    HttpResponse response;
    try {
        Dispatch(request, response);
    } catch (const RequestError& error) {
        response = RefusalAnswer(error);
    } catch (const std::exception& error) {
        std::cerr << "warehouse-server: " << error.what() << std::endl;
        response = HttpResponse {};
        SendMessage(response, 500, "The server could not complete the request");
    }
    return response;
}

HttpResponse WarehouseServer::RefusalAnswer(const RequestError& error)
{
    HttpResponse response;
    if (error.Status() == 401) {
        response.headers.emplace_back("WWW-Authenticate", "Basic realm=\"Warehouse\"");
    }
    if (error.RetryAfter() > 0) {
        response.headers.emplace_back("Retry-After", std::to_string(error.RetryAfter()));
    }
    SendMessage(response, error.Status(), error.what());
    return response;
}

} // namespace wh::server
