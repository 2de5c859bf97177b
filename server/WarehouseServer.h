#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "HttpExchange.h"
#include "JsonBody.h"

#include "SignInGuard.h"
#include "WarehouseStore.h"

namespace wh::server {

// What one company may hold the server to.
struct ServerLimits
{
    // The largest claim archive or auxiliary file taken: below the 4 GiB that classic ZIP offsets
    // can reach, with room to spare.
    std::uint64_t maxArchiveBytes = 2ull << 30;
    // Claim ids a company may hold with nothing stored under them.
    std::int64_t maxUnusedClaimIds = 1000;
};

class UploadFile;

// A request body as it arrives: kept in memory (JSON) or written to a temporary file of the data
// folder (archives), never beyond its limit. Once over it, the rest is only counted.
class RequestBody
{
public:
    enum class Kind { None, Text, File };

    RequestBody(Kind kind, std::uint64_t limit, std::string tempDir);
    ~RequestBody();
    RequestBody(const RequestBody&) = delete;
    RequestBody& operator=(const RequestBody&) = delete;

    void Append(const char* data, std::size_t length);
    // Bytes that came beyond the limit.
    std::uint64_t Overflow() const { return m_overflow; }
    // Whether the body is kept in memory until it is whole (JSON), rather than written to disk.
    bool InMemory() const { return m_kind == Kind::Text; }

    // Raises the refusal or fault of a body that did not fit or could not be stored.
    void Check() const;
    const std::string& Text() const { return m_text; }
    UploadFile& File();

private:
    Kind m_kind;
    std::uint64_t m_limit;
    std::string m_tempDir;
    std::uint64_t m_received = 0;
    std::uint64_t m_overflow = 0;
    std::string m_text;
    std::unique_ptr<UploadFile> m_file;
    std::string m_writeError;
};

// One request as the server works on it: what its head asked for, who signed in and its body.
struct ServerRequest
{
    HttpRequest head;
    int route = -1;
    std::string segment; // the last path segment of routes that name a claim file or an auxiliary kind
    std::optional<Account> account;
    std::unique_ptr<RequestBody> body;
};

// The REST interface of the warehouse: every request the workstation tool makes, answered from
// the store and the blob folder under the data folder. Each request signs in with Basic
// authentication ("company/user" and the password). The HTTP layer drives a request in up to
// three steps: Begin from its head, Admit before a body is taken in, Finish once it is whole.
// Admit and Finish may block (key derivation, the store) and run off the network threads.
class WarehouseServer
{
public:
    // Removes the unfinished uploads that a server which ended without cleaning up left in the
    // incoming folder (only those no live server on the same folder is receiving).
    WarehouseServer(WarehouseStore& store, std::string dataDir, ServerLimits limits = {});

    // Largest JSON body accepted (summary documents and search queries are a few kilobytes).
    static constexpr std::size_t kMaxJsonBody = 1024 * 1024;
    // The shape of a JSON body: 32 levels and 10,000 members and elements at most; the documents
    // the tool sends are two levels deep with about a hundred members.
    static constexpr JsonShapeLimits kJsonShape {};
    // Longest stored or searched text member, in characters: the longest text field of the
    // product's tables.
    static constexpr std::size_t kMaxTextMember = 255;
    // Most claims a search answer lists; "total" still counts them all.
    static constexpr int kSearchLimit = 50;

    // The refusal a request earns from its head alone (route, body length), or nothing.
    std::optional<RequestError> RefusalBeforeBody(const HttpRequest& request) const;

    // The request of a head that RefusalBeforeBody let through.
    std::unique_ptr<ServerRequest> Begin(HttpRequest head) const;
    // Whether the request carries a body, and so signs in before the body is read.
    static bool TakesBody(const ServerRequest& request);
    // Signs in and checks what can be checked before the body; raises RequestError.
    void Admit(ServerRequest& request);
    // The answer to a whole request; refusals and faults become answers with "msg".
    HttpResponse Finish(ServerRequest& request);

    // The answer that carries a refusal.
    static HttpResponse RefusalAnswer(const RequestError& error);

private:
    Account SignIn(const HttpRequest& request);
    void Dispatch(ServerRequest& request, HttpResponse& response);

    void Status(const Account& account, HttpResponse& response);
    void ListClaims(const Account& account, HttpResponse& response);
    void NextClaimId(const Account& account, HttpResponse& response);
    void SearchClaims(const Account& account, const RequestBody& body, HttpResponse& response);
    void GetClaim(const Account& account, const std::string& fileName, HttpResponse& response);
    void PutClaim(const Account& account, const std::string& fileName, RequestBody& body, HttpResponse& response);
    void ListAux(const Account& account, HttpResponse& response);
    void GetAux(const Account& account, const std::string& kind, HttpResponse& response);
    void PutAux(const Account& account, const std::string& kind, RequestBody& body, HttpResponse& response);

    std::string CompanyDir(const Account& account) const;
    std::string TempDir() const;

    WarehouseStore& m_store;
    std::string m_dataDir;
    ServerLimits m_limits;

    // A password checked once is remembered by its SHA-256, so that the slow key derivation runs
    // once per account and password rather than on every request. The stored hash is part of the
    // entry: a password changed by add-user no longer matches.
    struct CheckedPassword
    {
        std::string storedHash;
        std::string passwordDigest;
    };
    std::mutex m_checkedMutex;
    std::map<std::int64_t, CheckedPassword> m_checked;

    // Guessing is slowed (see SignInGuard); refusals of unknown accounts take as long as those of
    // wrong passwords.
    SignInGuard m_guard;
    // One check of an account's password at a time (accounts share these locks by the digest of
    // their name): a try that comes while another is checked waits for its outcome, so that a
    // right password sent in several requests at once passes as soon as it is known, rather than
    // counting as guesses in flight, and guesses sent in parallel are checked one by one.
    std::array<std::mutex, 64> m_accountChecks;
    DerivationGate m_derivations;
    std::string m_unknownAccountHash;
};

} // namespace wh::server
