#pragma once

#include <chrono>
#include <cstddef>
#include <list>
#include <mutex>
#include <semaphore>
#include <string>
#include <unordered_map>
#include <vector>

namespace wh::server {

// Slows down password guessing. Each key (an account, an address) may fail a few times freely;
// after that it must wait before its next try, one second at first and twice as long after each
// further failure, up to a minute. A success clears the key; a key that has not failed for a
// quarter of an hour is forgotten, and when the table is full the key that failed longest ago
// makes room. Not locked: SignInGuard uses its tables under its own lock.
class SignInThrottle
{
public:
    using Clock = std::chrono::steady_clock;

    static constexpr std::size_t kDefaultMaxKeys = 10000;

    // `freeFailures`: failures in a row before the waits begin; `maxKeys`: keys remembered at most.
    explicit SignInThrottle(int freeFailures, std::size_t maxKeys = kDefaultMaxKeys);

    // Whole seconds the key must still wait; 0 when it may try now.
    int RetryAfter(const std::string& key, Clock::time_point now) const;
    // Counts a failure, or a try that is about to be checked and counts as one until TakeBack;
    // its wait, if it earns one, runs from `now`.
    void Failed(const std::string& key, Clock::time_point now);
    // The wait the key has earned runs from `now`, when its last counted try was found wrong.
    void WaitFrom(const std::string& key, Clock::time_point now);
    // A try counted by Failed was right after all: it no longer counts, nor does its wait.
    void TakeBack(const std::string& key);
    // Forgets the key.
    void Succeeded(const std::string& key);

    std::size_t Size() const { return m_failures.size(); }

    static constexpr std::chrono::seconds kFirstWait { 1 };
    static constexpr std::chrono::seconds kLongestWait { 60 };
    static constexpr std::chrono::minutes kForgetAfter { 15 };

private:
    struct Failures
    {
        int count = 0;
        Clock::time_point last; // the last failure counted, or the end of its check
        std::list<const std::string*>::iterator age; // its place among the keys, oldest first
    };
    void ForgetOld(Clock::time_point now);
    void Erase(std::unordered_map<std::string, Failures>::iterator entry);

    int m_freeFailures;
    std::size_t m_maxKeys;
    std::unordered_map<std::string, Failures> m_failures;
    // The keys of m_failures by the time of their last failure, oldest first.
    std::list<const std::string*> m_byAge;
};

// Addresses from which an account signed in with its password, a few per account and for a
// bounded number of accounts, those used longest ago forgotten first.
class KnownAddresses
{
public:
    static constexpr std::size_t kDefaultAccounts = 4096;
    static constexpr std::size_t kDefaultPerAccount = 16;

    explicit KnownAddresses(std::size_t accounts = kDefaultAccounts, std::size_t perAccount = kDefaultPerAccount);

    void Remember(const std::string& account, const std::string& address);
    bool Knows(const std::string& account, const std::string& address) const;
    std::size_t Accounts() const { return m_accounts.size(); }

private:
    struct Entry
    {
        std::vector<std::string> addresses; // the one used last at the end
        std::list<const std::string*>::iterator age;
    };
    std::size_t m_maxAccounts;
    std::size_t m_perAccount;
    std::unordered_map<std::string, Entry> m_accounts;
    std::list<const std::string*> m_byAge; // accounts, the one used longest ago first
};

// The waits of the sign-in. Guessing is slowed per account and address first, so that a stranger's
// guesses do not lock out the account's owner; per account as a whole, but only for addresses that
// never signed in to it, so that guesses spread over many addresses get no more tries; and, more
// leniently (an office shares one address), per address. A try is counted as a failure before its
// password is checked, so that tries made in parallel get no more checks than tries one by one.
// Accounts and addresses are keys of any bytes (the server gives a digest of the account's name).
// Safe to use from several threads.
class SignInGuard
{
public:
    using Clock = SignInThrottle::Clock;

    struct Limits
    {
        int accountFreeFailures = 5; // per account and address, and per account as a whole
        int addressFreeFailures = 20;
        std::size_t maxKeys = SignInThrottle::kDefaultMaxKeys; // per table
        std::size_t knownAccounts = KnownAddresses::kDefaultAccounts;
        std::size_t knownAddressesPerAccount = KnownAddresses::kDefaultPerAccount;
    };

    SignInGuard();
    explicit SignInGuard(const Limits& limits);

    // Whole seconds the try must wait before its password may be checked. When 0 the try goes
    // ahead and counts as a failure at once; Failed or Succeeded must follow.
    int Begin(const std::string& account, const std::string& address, Clock::time_point now);
    void Failed(const std::string& account, const std::string& address, Clock::time_point now);
    void Succeeded(const std::string& account, const std::string& address);
    // An account signed in from the address without a new check (its password was known).
    void SignedIn(const std::string& account, const std::string& address);

    // Keys held, for tests: the largest of the three tables, and the accounts with known addresses.
    std::size_t LargestTable() const;
    std::size_t KnownAccounts() const;

private:
    static std::string PairKey(const std::string& account, const std::string& address);

    mutable std::mutex m_mutex;
    SignInThrottle m_pairs;
    SignInThrottle m_accounts;
    SignInThrottle m_addresses;
    KnownAddresses m_known;
};

// Password derivations are made slow on purpose; more than two at a time would let guessers take
// every core from the requests of signed-in users.
class DerivationGate
{
public:
    static constexpr int kAtOnce = 2;

    class Pass
    {
    public:
        explicit Pass(DerivationGate& gate)
            : m_gate(gate)
        {
            m_gate.m_slots.acquire();
        }
        ~Pass() { m_gate.m_slots.release(); }
        Pass(const Pass&) = delete;
        Pass& operator=(const Pass&) = delete;

    private:
        DerivationGate& m_gate;
    };

private:
    std::counting_semaphore<kAtOnce> m_slots { kAtOnce };
};

} // namespace wh::server
