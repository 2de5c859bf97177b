#pragma once

#include <chrono>
#include <map>
#include <mutex>
#include <semaphore>
#include <string>

namespace wh::server {

// Slows down password guessing. Each key (an account, an address) may fail a few times freely;
// after that it must wait before its next try, one second at first and twice as long after each
// further failure, up to a minute. A success clears the key; a key that has not failed for a
// quarter of an hour is forgotten.
class SignInThrottle
{
public:
    using Clock = std::chrono::steady_clock;

    // `freeFailures`: failures in a row before the waits begin.
    explicit SignInThrottle(int freeFailures);

    // Whole seconds the key must still wait; 0 when it may try now.
    int RetryAfter(const std::string& key, Clock::time_point now);
    void Failed(const std::string& key, Clock::time_point now);
    void Succeeded(const std::string& key);

    static constexpr std::chrono::seconds kFirstWait { 1 };
    static constexpr std::chrono::seconds kLongestWait { 60 };
    static constexpr std::chrono::minutes kForgetAfter { 15 };

private:
    struct Failures
    {
        int count = 0;
        Clock::time_point last;
        Clock::time_point blockedUntil;
    };
    void ForgetOld(Clock::time_point now);

    int m_freeFailures;
    std::mutex m_mutex;
    std::map<std::string, Failures> m_failures;
    Clock::time_point m_lastSweep;
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
