#include "LatencyHistogram.h"

void LatencyHistogram::merge(const LatencyHistogram &other)
{
    if (other.m_counts.size() > m_counts.size())
        m_counts.resize(other.m_counts.size(), 0);
    for (size_t bin = 0; bin < other.m_counts.size(); ++bin)
        m_counts[bin] += other.m_counts[bin];
    m_count += other.m_count;
    m_largest = qMax(m_largest, other.m_largest);
}

qint64 LatencyHistogram::lowestOf(size_t bin)
{
    const qint64 exact = qint64(1) << ExactBits;
    if (qint64(bin) < exact)
        return qint64(bin);
    const qint64 octave = ExactBits + ((qint64(bin) - exact) >> StepBits);
    const qint64 step = (qint64(bin) - exact) & ((qint64(1) << StepBits) - 1);
    return (qint64(1) << octave) + (step << (octave - StepBits));
}

qint64 LatencyHistogram::percentileNs(double share) const
{
    if (m_count == 0)
        return 0;
    if (share >= 1.0)
        return m_largest;
    const qint64 rank = qint64(share * double(m_count - 1)); // 0-based, as in a sorted list
    qint64 seen = 0;
    for (size_t bin = 0; bin < m_counts.size(); ++bin) {
        seen += m_counts[bin];
        if (seen > rank)
            return qMin(m_largest, (lowestOf(bin) + lowestOf(bin + 1) - 1) / 2);
    }
    return m_largest;
}

qint64 LatencyHistogram::countLongerThan(qint64 ns) const
{
    qint64 longer = 0;
    for (size_t bin = binOf(qMax<qint64>(0, ns)) + 1; bin < m_counts.size(); ++bin)
        longer += m_counts[bin];
    return longer;
}
