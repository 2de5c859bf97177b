#include "SignInGuard.h"

#include <algorithm>

namespace wh::server {
namespace {

std::chrono::seconds WaitAfter(int beyond)
{
    return std::min<std::chrono::seconds>(SignInThrottle::kLongestWait,
                                          SignInThrottle::kFirstWait * (1LL << std::min(beyond - 1, 10)));
}

} // namespace

SignInThrottle::SignInThrottle(int freeFailures, std::size_t maxKeys)
    : m_freeFailures(freeFailures)
    , m_maxKeys(std::max<std::size_t>(maxKeys, 1))
{
}

int SignInThrottle::RetryAfter(const std::string& key, Clock::time_point now) const
{
    const auto found = m_failures.find(key);
    if (found == m_failures.end()) {
        return 0;
    }
    const int beyond = found->second.count - m_freeFailures;
    if (beyond <= 0) {
        return 0;
    }
    const Clock::time_point blockedUntil = found->second.last + WaitAfter(beyond);
    if (blockedUntil <= now) {
        return 0;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(blockedUntil - now);
    return static_cast<int>((left.count() + 999) / 1000);
}

void SignInThrottle::Failed(const std::string& key, Clock::time_point now)
{
    ForgetOld(now);
    auto found = m_failures.find(key);
    if (found == m_failures.end()) {
        if (m_failures.size() >= m_maxKeys) {
            Erase(m_failures.find(*m_byAge.front()));
        }
        found = m_failures.emplace(key, Failures {}).first;
        found->second.age = m_byAge.insert(m_byAge.end(), &found->first);
    } else {
        m_byAge.splice(m_byAge.end(), m_byAge, found->second.age);
    }
    Failures& failures = found->second;
    if (failures.count > 0 && now - failures.last > kForgetAfter) {
        failures.count = 0;
    }
    ++failures.count;
    failures.last = now;
}

void SignInThrottle::WaitFrom(const std::string& key, Clock::time_point now)
{
    const auto found = m_failures.find(key);
    if (found != m_failures.end()) {
        found->second.last = std::max(found->second.last, now);
        m_byAge.splice(m_byAge.end(), m_byAge, found->second.age);
    }
}

void SignInThrottle::TakeBack(const std::string& key)
{
    const auto found = m_failures.find(key);
    if (found != m_failures.end() && --found->second.count <= 0) {
        Erase(found);
    }
}

void SignInThrottle::Succeeded(const std::string& key)
{
    const auto found = m_failures.find(key);
    if (found != m_failures.end()) {
        Erase(found);
    }
}

void SignInThrottle::ForgetOld(Clock::time_point now)
{
    // The oldest keys stand first; a key is forgotten long after its longest wait has passed.
    while (!m_byAge.empty()) {
        const auto oldest = m_failures.find(*m_byAge.front());
        if (now - oldest->second.last <= kForgetAfter) {
            break;
        }
        Erase(oldest);
    }
}

void SignInThrottle::Erase(std::unordered_map<std::string, Failures>::iterator entry)
{
    m_byAge.erase(entry->second.age);
    m_failures.erase(entry);
}

KnownAddresses::KnownAddresses(std::size_t accounts, std::size_t perAccount)
    : m_maxAccounts(std::max<std::size_t>(accounts, 1))
    , m_perAccount(std::max<std::size_t>(perAccount, 1))
{
}

void KnownAddresses::Remember(const std::string& account, const std::string& address)
{
    auto found = m_accounts.find(account);
    if (found == m_accounts.end()) {
        if (m_accounts.size() >= m_maxAccounts) {
            const auto oldest = m_accounts.find(*m_byAge.front());
            m_byAge.pop_front();
            m_accounts.erase(oldest);
        }
        found = m_accounts.emplace(account, Entry {}).first;
        found->second.age = m_byAge.insert(m_byAge.end(), &found->first);
    } else {
        m_byAge.splice(m_byAge.end(), m_byAge, found->second.age);
    }
    std::vector<std::string>& addresses = found->second.addresses;
    const auto known = std::find(addresses.begin(), addresses.end(), address);
    if (known != addresses.end()) {
        std::rotate(known, known + 1, addresses.end()); // now the one used last
        return;
    }
    if (addresses.size() >= m_perAccount) {
        addresses.erase(addresses.begin());
    }
    addresses.push_back(address);
}

bool KnownAddresses::Knows(const std::string& account, const std::string& address) const
{
    const auto found = m_accounts.find(account);
    return found != m_accounts.end()
        && std::find(found->second.addresses.begin(), found->second.addresses.end(), address)
        != found->second.addresses.end();
}

SignInGuard::SignInGuard()
    : SignInGuard(Limits {})
{
}

SignInGuard::SignInGuard(const Limits& limits)
    : m_pairs(limits.accountFreeFailures, limits.maxKeys)
    , m_accounts(limits.accountFreeFailures, limits.maxKeys)
    , m_addresses(limits.addressFreeFailures, limits.maxKeys)
    , m_known(limits.knownAccounts, limits.knownAddressesPerAccount)
{
}

std::string SignInGuard::PairKey(const std::string& account, const std::string& address)
{
    // The account's length first, so that no two pairs make the same key whatever bytes they hold.
    return std::to_string(account.size()) + ':' + account + address;
}

int SignInGuard::Begin(const std::string& account, const std::string& address, Clock::time_point now)
{
    const std::string pair = PairKey(account, address);
    std::lock_guard lock(m_mutex);
    int wait = std::max(m_pairs.RetryAfter(pair, now), m_addresses.RetryAfter(address, now));
    if (!m_known.Knows(account, address)) {
        wait = std::max(wait, m_accounts.RetryAfter(account, now));
    }
    if (wait > 0) {
        return wait;
    }
    m_pairs.Failed(pair, now);
    m_accounts.Failed(account, now);
    m_addresses.Failed(address, now);
    return 0;
}

void SignInGuard::Failed(const std::string& account, const std::string& address, Clock::time_point now)
{
    const std::string pair = PairKey(account, address);
    std::lock_guard lock(m_mutex);
    m_pairs.WaitFrom(pair, now);
    m_accounts.WaitFrom(account, now);
    m_addresses.WaitFrom(address, now);
}

void SignInGuard::Succeeded(const std::string& account, const std::string& address)
{
    const std::string pair = PairKey(account, address);
    std::lock_guard lock(m_mutex);
    m_pairs.Succeeded(pair);
    m_accounts.TakeBack(account);
    m_addresses.TakeBack(address);
    m_known.Remember(account, address);
}

void SignInGuard::SignedIn(const std::string& account, const std::string& address)
{
    std::lock_guard lock(m_mutex);
    m_known.Remember(account, address);
}

std::size_t SignInGuard::LargestTable() const
{
    std::lock_guard lock(m_mutex);
    return std::max({ m_pairs.Size(), m_accounts.Size(), m_addresses.Size() });
}

std::size_t SignInGuard::KnownAccounts() const
{
    std::lock_guard lock(m_mutex);
    return m_known.Accounts();
}

} // namespace wh::server
