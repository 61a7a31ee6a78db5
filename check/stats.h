#pragma once
// Bounded-memory timing statistics: a log-scale histogram of durations in
// microseconds (16 bins an octave, about 4 % resolution) with the exact maximum.

#include <QtGlobal>

#include <array>

namespace check {

class DurationHistogram {
public:
    void add(qint64 us)
    {
        if (us < 0)
            return;
        ++bins_[size_t(binOf(us))];
        ++n_;
        if (us > max_)
            max_ = us;
    }
    qint64 count() const { return n_; }
    qint64 max() const { return max_; }
    // The q-quantile (0..1) as the middle of its bin; -1 when empty.
    qint64 quantile(double q) const;

private:
    static constexpr int PerOctave = 16;
    static constexpr int Bins = 40 * PerOctave + 1; // up to 2^40 us, about 12 days
    static int binOf(qint64 us);
    static qint64 lowerEdge(int bin);
    std::array<quint32, Bins> bins_{};
    qint64 n_ = 0;
    qint64 max_ = -1;
};

struct MethodStats {
    qint64 count = 0; // completed transactions
    qint64 errors = 0; // of them with at least one '!'
    DurationHistogram toAck; // command to '&'
    DurationHistogram toDone; // command to '%'
};

} // namespace check
