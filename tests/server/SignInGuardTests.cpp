// The sign-in throttle on its own, on a clock the test moves.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "SignInGuard.h"

using wh::server::KnownAddresses;
using wh::server::SignInGuard;
using wh::server::SignInThrottle;
using namespace std::chrono_literals;

TEST(SignInThrottleTest, FreeFailuresThenWaitsThatDoubleUpToAMinute)
{
    SignInThrottle throttle(3);
    SignInThrottle::Clock::time_point now {};
    for (int i = 0; i < 3; ++i) {
        throttle.Failed("acme/jdoe", now);
        EXPECT_EQ(throttle.RetryAfter("acme/jdoe", now), 0) << "failure " << i + 1 << " is free";
    }
    const int expected[] = { 1, 2, 4, 8, 16, 32, 60, 60 };
    for (const int wait : expected) {
        throttle.Failed("acme/jdoe", now);
        EXPECT_EQ(throttle.RetryAfter("acme/jdoe", now), wait);
        EXPECT_EQ(throttle.RetryAfter("acme/jdoe", now + std::chrono::seconds(wait) - 1ms), 1);
        EXPECT_EQ(throttle.RetryAfter("acme/jdoe", now + std::chrono::seconds(wait)), 0);
        EXPECT_EQ(throttle.RetryAfter("acme/ann", now), 0) << "another key is not held up";
        now += std::chrono::seconds(wait);
    }
    throttle.Succeeded("acme/jdoe");
    throttle.Failed("acme/jdoe", now);
    EXPECT_EQ(throttle.RetryAfter("acme/jdoe", now), 0) << "a success starts the count again";
}

TEST(SignInThrottleTest, AKeyThatStoppedFailingIsForgotten)
{
    SignInThrottle throttle(1);
    SignInThrottle::Clock::time_point now {};
    throttle.Failed("10.0.0.9", now);
    throttle.Failed("10.0.0.9", now);
    EXPECT_EQ(throttle.RetryAfter("10.0.0.9", now), 1);
    now += SignInThrottle::kForgetAfter + 1s;
    throttle.Failed("10.0.0.9", now);
    EXPECT_EQ(throttle.RetryAfter("10.0.0.9", now), 0) << "the old failures no longer count";
}

// However many connections guess at once, a try is counted before its password is checked: as
// many go ahead as would one after the other, five free tries and the sixth that earns the wait.
TEST(SignInGuardTest, TriesInFlightCountSoParallelGuessingGetsNoMoreChecks)
{
    const SignInGuard::Clock::time_point now {};
    const auto checksOf = [&](bool parallel) {
        SignInGuard guard;
        int checked = 0;
        for (int i = 0; i < 50; ++i) {
            if (guard.Begin("acme/jdoe", "10.0.0.1", now) == 0) {
                ++checked;
                if (!parallel) {
                    guard.Failed("acme/jdoe", "10.0.0.1", now);
                }
            }
        }
        return checked;
    };
    EXPECT_EQ(checksOf(false), 6);
    EXPECT_EQ(checksOf(true), 6) << "tries still being checked count";
}

// A try that is counted before its check and then turns out right is no failure: an office whose
// workstations all sign in from one address never waits for its own successes.
TEST(SignInGuardTest, ARightPasswordIsNotCountedAsAFailure)
{
    SignInGuard guard;
    const SignInGuard::Clock::time_point now {};
    for (int i = 0; i < 60; ++i) {
        const std::string account = "acme/user" + std::to_string(i);
        ASSERT_EQ(guard.Begin(account, "192.0.2.1", now), 0) << "sign-in " << i << " waits";
        guard.Succeeded(account, "192.0.2.1");
    }
    // The same for one account signing in over and over while guesses from elsewhere fail.
    for (int i = 0; i < 4; ++i) {
        ASSERT_EQ(guard.Begin("acme/jdoe", "198.51.100.7", now), 0);
        guard.Failed("acme/jdoe", "198.51.100.7", now);
        ASSERT_EQ(guard.Begin("acme/jdoe", "192.0.2.1", now), 0);
        guard.Succeeded("acme/jdoe", "192.0.2.1");
    }
    EXPECT_EQ(guard.Begin("acme/jdoe", "203.0.113.5", now), 0)
        << "four failures in all leave the account's free tries to a new address";
}

// A stranger's guesses make the account wait for the stranger, and for every address the account
// never signed in from, but not for the owner at an address the owner signed in from before.
TEST(SignInGuardTest, AStrangersGuessesDoNotLockOutTheOwner)
{
    SignInGuard guard;
    SignInGuard::Clock::time_point now {};
    ASSERT_EQ(guard.Begin("acme/jdoe", "192.0.2.1", now), 0);
    guard.Succeeded("acme/jdoe", "192.0.2.1");

    now += std::chrono::hours(1);
    int strangerChecks = 0;
    for (int i = 0; i < 20; ++i) {
        if (guard.Begin("acme/jdoe", "198.51.100.7", now) == 0) {
            ++strangerChecks;
            guard.Failed("acme/jdoe", "198.51.100.7", now);
        }
    }
    EXPECT_EQ(strangerChecks, 6);
    EXPECT_GT(guard.Begin("acme/jdoe", "198.51.100.7", now), 0) << "the stranger waits";
    EXPECT_GT(guard.Begin("acme/jdoe", "203.0.113.5", now), 0) << "so does any address new to the account";
    EXPECT_EQ(guard.Begin("acme/jdoe", "192.0.2.1", now), 0) << "the owner's own address does not";
    guard.Succeeded("acme/jdoe", "192.0.2.1");
    EXPECT_EQ(guard.Begin("acme/ann", "203.0.113.5", now), 0) << "another account does not";
    guard.Failed("acme/ann", "203.0.113.5", now);

    // Guesses spread over many addresses, one each, get no more than one address gets.
    int spreadChecks = 0;
    for (int i = 0; i < 40; ++i) {
        const std::string address = "10.1.0." + std::to_string(i);
        if (guard.Begin("other/eve", address, now) == 0) {
            ++spreadChecks;
            guard.Failed("other/eve", address, now);
        }
    }
    EXPECT_EQ(spreadChecks, 6);
}

// Every table holds a bounded number of keys: when one is full, the key that failed longest ago
// is forgotten first, and a key that fails again is young again.
TEST(SignInThrottleTest, TheTableIsBoundedAndForgetsTheOldestKeyFirst)
{
    SignInThrottle throttle(1, 3);
    SignInThrottle::Clock::time_point now {};
    for (const char* key : { "a", "b", "c" }) {
        throttle.Failed(key, now);
        throttle.Failed(key, now);
        EXPECT_EQ(throttle.RetryAfter(key, now), 1) << key;
        now += 1ms;
    }
    throttle.Failed("a", now); // "a" is now the youngest, "b" the oldest
    now += 1ms;
    throttle.Failed("d", now);
    EXPECT_EQ(throttle.Size(), 3u);
    EXPECT_EQ(throttle.RetryAfter("b", now), 0) << "the oldest key is forgotten";
    EXPECT_GT(throttle.RetryAfter("a", now), 0);
    EXPECT_GT(throttle.RetryAfter("c", now), 0);

    SignInGuard::Limits limits;
    limits.maxKeys = 100;
    SignInGuard guard(limits);
    for (int i = 0; i < 5000; ++i) {
        const std::string n = std::to_string(i);
        if (guard.Begin("co/user" + n, "10.2." + n, now) == 0) {
            guard.Failed("co/user" + n, "10.2." + n, now);
        }
    }
    EXPECT_EQ(guard.LargestTable(), 100u);
}

TEST(KnownAddressesTest, AFewAddressesPerAccountForABoundedNumberOfAccounts)
{
    KnownAddresses known(2, 2);
    known.Remember("acme/jdoe", "10.0.0.1");
    known.Remember("acme/jdoe", "10.0.0.2");
    known.Remember("acme/jdoe", "10.0.0.1"); // used again: 10.0.0.2 is now the older
    known.Remember("acme/jdoe", "10.0.0.3");
    EXPECT_TRUE(known.Knows("acme/jdoe", "10.0.0.1"));
    EXPECT_FALSE(known.Knows("acme/jdoe", "10.0.0.2"));
    EXPECT_TRUE(known.Knows("acme/jdoe", "10.0.0.3"));
    EXPECT_FALSE(known.Knows("acme/ann", "10.0.0.1"));

    known.Remember("acme/ann", "10.0.0.9");
    known.Remember("acme/jdoe", "10.0.0.3"); // jdoe used last
    known.Remember("other/eve", "10.0.0.8");
    EXPECT_EQ(known.Accounts(), 2u);
    EXPECT_FALSE(known.Knows("acme/ann", "10.0.0.9")) << "the account used longest ago is forgotten";
    EXPECT_TRUE(known.Knows("acme/jdoe", "10.0.0.3"));
    EXPECT_TRUE(known.Knows("other/eve", "10.0.0.8"));
}
