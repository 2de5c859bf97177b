// The sign-in throttle on its own, on a clock the test moves.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "SignInGuard.h"

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
