#pragma once
// LinePacer: how many bytes a serial line has had time to carry.
//
// Credit accrues with elapsed time at the line rate and is spent as bytes go out; the fraction of a byte
// carries over from tick to tick, so a 10 ms tick at 960 bytes/s yields 9 or 10 bytes and exactly 960 a
// second. Credit is capped at a short burst, so a late timer catches up a little but an idle line never
// saves up a flood. Pure arithmetic on elapsed nanoseconds: no clock of its own.

#include <QtGlobal>

#include <algorithm>

class LinePacer
{
public:
    static constexpr qint64 kNsPerSecond = 1'000'000'000;
    static constexpr qint64 kMaxBurstNs = 50'000'000;
    static constexpr qint64 kMaxRate = 10'000'000;

    explicit LinePacer(qint64 bytesPerSecond) { setRate(bytesPerSecond); }

    void setRate(qint64 bytesPerSecond) { m_rate = std::clamp<qint64>(bytesPerSecond, 1, kMaxRate); }
    qint64 rate() const { return m_rate; }

    // The line was idle and has work again: the first byte may start at once.
    void restart() { m_credit = kNsPerSecond; }

    // Adds `elapsedNs` of line time; returns the whole bytes now due.
    qint64 advance(qint64 elapsedNs)
    {
        const qint64 ns = std::clamp<qint64>(elapsedNs, 0, kMaxBurstNs);
        const qint64 cap = std::max(kNsPerSecond, m_rate * kMaxBurstNs);
        m_credit = std::min(m_credit + m_rate * ns, cap);
        return due();
    }

    qint64 due() const { return m_credit / kNsPerSecond; }

    // `bytes` went out (never more than due()).
    void consume(qint64 bytes) { m_credit -= std::min(bytes, due()) * kNsPerSecond; }

private:
    qint64 m_rate = 960;
    qint64 m_credit = 0; // in byte-nanoseconds: kNsPerSecond is one byte
};
