#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include <httplib.h>

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

// The REST interface of the warehouse: every request the workstation tool makes, answered from
// the store and the blob folder under the data folder. Handlers run on the HTTP library's thread
// pool; each request signs in with Basic authentication ("company/user" and the password).
class WarehouseServer
{
public:
    WarehouseServer(WarehouseStore& store, std::string dataDir, ServerLimits limits = {});

    // Registers every route and the error answers on `http`.
    void Install(httplib::Server& http);

    // Largest JSON body accepted (summary documents and search queries are a few kilobytes).
    static constexpr std::size_t kMaxJsonBody = 1024 * 1024;
    // Deepest nesting of a JSON body; the documents the tool sends are two levels deep.
    static constexpr int kMaxJsonDepth = 32;
    // Longest stored or searched text member, in characters: the longest text field of the
    // product's tables.
    static constexpr std::size_t kMaxTextMember = 255;
    // Most claims a search answer lists; "total" still counts them all.
    static constexpr int kSearchLimit = 50;

    // The refusal a request earns from its head alone (route, body length), or nothing.
    std::optional<RequestError> RefusalBeforeBody(const httplib::Request& request) const;

private:
    Account SignIn(const httplib::Request& request);

    void Status(const httplib::Request& request, httplib::Response& response);
    void ListClaims(const httplib::Request& request, httplib::Response& response);
    void NextClaimId(const httplib::Request& request, httplib::Response& response,
                     const httplib::ContentReader& reader);
    void SearchClaims(const httplib::Request& request, httplib::Response& response,
                      const httplib::ContentReader& reader);
    void GetClaim(const httplib::Request& request, httplib::Response& response);
    void PutClaim(const httplib::Request& request, httplib::Response& response, const httplib::ContentReader& reader);
    void ListAux(const httplib::Request& request, httplib::Response& response);
    void GetAux(const httplib::Request& request, httplib::Response& response);
    void PutAux(const httplib::Request& request, httplib::Response& response, const httplib::ContentReader& reader);

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

    // Guessing is slowed per account and, more leniently (an office shares one address), per
    // address; refusals of unknown accounts take as long as those of wrong passwords.
    SignInThrottle m_accountThrottle { 5 };
    SignInThrottle m_addressThrottle { 20 };
    DerivationGate m_derivations;
    std::string m_unknownAccountHash;
};

} // namespace wh::server
