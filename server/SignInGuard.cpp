#include "SignInGuard.h"

#include <algorithm>

namespace wh::server {

SignInThrottle::SignInThrottle(int freeFailures)
    : m_freeFailures(freeFailures)
{
}

int SignInThrottle::RetryAfter(const std::string& key, Clock::time_point now)
{
    std::lock_guard lock(m_mutex);
    const auto found = m_failures.find(key);
    if (found == m_failures.end() || found->second.blockedUntil <= now) {
        return 0;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(found->second.blockedUntil - now);
    return static_cast<int>((left.count() + 999) / 1000);
}

void SignInThrottle::Failed(const std::string& key, Clock::time_point now)
{
    std::lock_guard lock(m_mutex);
    ForgetOld(now);
    Failures& failures = m_failures[key];
    if (failures.count > 0 && now - failures.last > kForgetAfter) {
        failures = Failures {};
    }
    ++failures.count;
    failures.last = now;
    const int beyond = failures.count - m_freeFailures;
    if (beyond > 0) {
        const auto wait = std::min<std::chrono::seconds>(kLongestWait, kFirstWait * (1LL << std::min(beyond - 1, 10)));
        failures.blockedUntil = now + wait;
    }
}

void SignInThrottle::Succeeded(const std::string& key)
{
    std::lock_guard lock(m_mutex);
    m_failures.erase(key);
}

void SignInThrottle::ForgetOld(Clock::time_point now)
{
    // At most once a minute, so that a flood of failing keys costs a sweep now and then only.
    if (now - m_lastSweep < std::chrono::minutes(1)) {
        return;
    }
    m_lastSweep = now;
    std::erase_if(m_failures, [now](const auto& entry) {
        return now - entry.second.last > kForgetAfter && entry.second.blockedUntil <= now;
    });
}

} // namespace wh::server
