#include "check/stats.h"

#include <QtAlgorithms>

#include <cmath>

namespace check {

int DurationHistogram::binOf(qint64 us)
{
    if (us <= 0)
        return 0;
    // bin 0 holds 0 us; then PerOctave bins for each doubling from 1 us on:
    // 1 + floor(log2(us) * PerOctave), in integers. The octave is the top
    // bit; the bin within it comes from the next bits, against the edges
    // 2^(k / PerOctave) scaled by 2^32.
    static_assert(PerOctave == 16, "the edges below are for 16 bins an octave");
    static constexpr quint64 Edges[PerOctave] = {4294967296ULL, 4485121744ULL, 4683695048ULL, 4891059944ULL,
                                                 5107605668ULL, 5333738690ULL, 5569883476ULL, 5816483285ULL,
                                                 6074001000ULL, 6342919999ULL, 6623745059ULL, 6917003307ULL,
                                                 7223245206ULL, 7543045593ULL, 7877004752ULL, 8225749547ULL};
    const int octave = 63 - qCountLeadingZeroBits(quint64(us));
    const quint64 m = octave >= 32 ? quint64(us) >> (octave - 32) : quint64(us) << (32 - octave);
    int k = m >= Edges[8] ? 8 : 0;
    k += m >= Edges[k + 4] ? 4 : 0;
    k += m >= Edges[k + 2] ? 2 : 0;
    k += m >= Edges[k + 1] ? 1 : 0;
    const int bin = 1 + octave * PerOctave + k;
    return bin >= Bins ? Bins - 1 : bin;
}

qint64 DurationHistogram::lowerEdge(int bin)
{
    if (bin <= 0)
        return 0;
    return qint64(std::exp2(double(bin - 1) / PerOctave));
}

qint64 DurationHistogram::quantile(double q) const
{
    if (n_ == 0)
        return -1;
    qint64 rank = qint64(std::ceil(q * double(n_)));
    if (rank < 1)
        rank = 1;
    qint64 seen = 0;
    for (int i = 0; i < Bins; ++i) {
        seen += bins_[size_t(i)];
        if (seen >= rank) {
            if (i == 0)
                return 0;
            const qint64 lo = lowerEdge(i), hi = lowerEdge(i + 1);
            const qint64 mid = (lo + hi) / 2;
            return mid > max_ ? max_ : mid;
        }
    }
    return max_;
}

} // namespace check
