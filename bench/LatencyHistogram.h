#pragma once

#include <QtGlobal>

#include <vector>

// Counts of latencies in nanoseconds, for percentiles of millions of
// deliveries at a fixed cost each. Below 256 ns a latency is kept exactly;
// above, in 128 steps per power of two, so a percentile is within 0.4% of
// the true value. The largest is kept exactly. Negative latencies count as
// zero.
class LatencyHistogram
{
public:
    void add(qint64 ns)
    {
        const qint64 value = qMax<qint64>(0, ns);
        const size_t bin = binOf(value);
        if (bin >= m_counts.size())
            m_counts.resize(bin + 1, 0);
        ++m_counts[bin];
        ++m_count;
        m_largest = qMax(m_largest, value);
    }
    void merge(const LatencyHistogram &other);

    qint64 count() const { return m_count; }
    // The latency at `share` (0..1) of the counted ones in ascending order,
    // the middle of its step; 0 when none was counted, the largest for 1.
    qint64 percentileNs(double share) const;
    // How many were longer than `ns` (to the step that holds `ns`).
    qint64 countLongerThan(qint64 ns) const;

private:
    static constexpr int ExactBits = 8;
    static constexpr int StepBits = 7;

    static size_t binOf(qint64 value)
    {
        if (value < (qint64(1) << ExactBits))
            return size_t(value);
        const int octave = 63 - __builtin_clzll(quint64(value)); // >= ExactBits
        const qint64 step = (value >> (octave - StepBits)) & ((qint64(1) << StepBits) - 1);
        return size_t((qint64(1) << ExactBits) + (qint64(octave - ExactBits) << StepBits) + step);
    }
    static qint64 lowestOf(size_t bin);

    std::vector<qint64> m_counts; // up to the highest step used
    qint64 m_count = 0;
    qint64 m_largest = 0;
};
