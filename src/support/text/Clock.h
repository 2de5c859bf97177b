#pragma once

#include "support/text/DateTime.h"

namespace wh::text {

// Where "now" comes from: log time stamps, register dates and restore decisions all ask a clock,
// so tests can fix the time.
class Clock
{
public:
    virtual ~Clock() = default;
    virtual DateTime Now() const = 0;
};

// The local wall-clock time of the workstation.
class SystemClock : public Clock
{
public:
    DateTime Now() const override;
};

// A clock that says what it is told; for tests and replays.
class FixedClock : public Clock
{
public:
    explicit FixedClock(DateTime now)
        : m_now(now)
    {
    }
    DateTime Now() const override { return m_now; }
    void Set(DateTime now) { m_now = now; }

private:
    DateTime m_now;
};

} // namespace wh::text
