#include "check/stats.h"

#include <cmath>

namespace check {

int DurationHistogram::binOf(qint64 us)
{
    if (us <= 0)
        return 0;
    // bin 0 holds 0 us; then PerOctave bins for each doubling from 1 us on.
    const double b = std::log2(double(us)) * PerOctave;
    const int bin = 1 + int(b);
    return bin >= Bins ? Bins - 1 : bin;
}

qint64 DurationHistogram::lowerEdge(int bin)
{
    if (bin <= 0)
        return 0;
    return qint64(std::exp2(double(bin - 1) / PerOctave));
}

void DurationHistogram::add(qint64 us)
{
    if (us < 0)
        return;
    ++bins_[size_t(binOf(us))];
    ++n_;
    if (us > max_)
        max_ = us;
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
