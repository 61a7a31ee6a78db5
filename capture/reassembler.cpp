#include "capture/reassembler.h"

#include <cstring>

namespace capture {

namespace {
bool Digit(char c)
{
    return c >= '0' && c <= '9';
}
bool Letter(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
} // namespace

bool LooksLikeTaggedLine(const char *b, qsizetype n)
{
    if (n < 7 || b[5] != ' ')
        return false;
    if (!(Digit(b[0]) || b[0] == 'E'))
        return false;
    return Digit(b[1]) && Digit(b[2]) && Digit(b[3]) && Digit(b[4]);
}

bool LooksLikeCommand(const char *b, qsizetype n)
{
    return LooksLikeTaggedLine(b, n) && Letter(b[6]);
}

void Reassembler::start(quint32 seq)
{
    started_ = true;
    nextSeq_ = seq;
    next_ = 0;
    historyEnd_ = 0;
    historyStart_ = 0;
    finOffset_ = -1;
}

void Reassembler::segment(quint32 seq, const char *bytes, qsizetype size, qint64 frame, qint64 timeUs)
{
    if (!started_ || size <= 0)
        return;
    const qint64 offset = offsetOf(seq);
    const qint64 end = offset + size;
    if (end <= next_) {
        compare(offset, bytes, size, frame, timeUs);
        return;
    }
    if (offset > next_) {
        hold(offset, bytes, size, frame, timeUs);
        return;
    }
    const qint64 old = next_ - offset;
    compare(offset, bytes, old, frame, timeUs);
    take(next_, bytes + old, size - old, frame, timeUs);
    drain();
}

void Reassembler::acknowledged(quint32 ack, qint64 frame, qint64 timeUs)
{
    if (!started_)
        return;
    qint64 acked = offsetOf(ack);
    if (finOffset_ >= 0 && acked > finOffset_)
        acked = finOffset_;
    if (acked <= next_ || acked - next_ > MaxAckJump)
        return;
    // The peer has everything before `acked`: a hole below it will not be
    // filled any more.
    while (next_ < acked) {
        if (!held_.empty() && held_.begin()->first <= next_) {
            drain();
            continue;
        }
        const qint64 to = held_.empty() ? acked : qMin(acked, held_.begin()->first);
        skipTo(to, frame, timeUs);
        drain();
    }
}

void Reassembler::fin(quint32 seq)
{
    if (started_ && finOffset_ < 0)
        finOffset_ = offsetOf(seq);
}

void Reassembler::finish(qint64 frame, qint64 timeUs)
{
    while (!held_.empty()) {
        const auto first = held_.begin();
        if (first->first > next_)
            skipTo(first->first, first->second.frame, first->second.timeUs);
        drain();
    }
    Q_UNUSED(frame);
    Q_UNUSED(timeUs);
}

void Reassembler::take(qint64 offset, const char *bytes, qint64 size, qint64 frame, qint64 timeUs)
{
    Q_ASSERT(offset == next_);
    Q_UNUSED(offset);
    if (size <= 0)
        return;
    // Keep the last bytes for comparing retransmissions.
    if (history_.isEmpty())
        history_.resize(HistoryBytes);
    const qint64 keep = qMin(size, HistoryBytes);
    const char *from = bytes + (size - keep);
    qint64 at = (next_ + size - keep) % HistoryBytes;
    qint64 left = keep;
    while (left > 0) {
        const qint64 n = qMin(left, HistoryBytes - at);
        std::memcpy(history_.data() + at, from, size_t(n));
        from += n;
        left -= n;
        at = (at + n) % HistoryBytes;
    }
    next_ += size;
    nextSeq_ += quint32(size);
    historyEnd_ = next_;
    sink_.data(bytes, qsizetype(size), frame, timeUs);
}

void Reassembler::compare(qint64 offset, const char *bytes, qint64 size, qint64 frame, qint64 timeUs)
{
    // Only what history still holds can be compared.
    const qint64 from = qMax(offset, qMax(historyStart_, historyEnd_ - HistoryBytes));
    const qint64 to = qMin(offset + size, historyEnd_);
    qint64 differing = 0;
    for (qint64 o = from; o < to; ++o)
        if (history_.at(o % HistoryBytes) != bytes[o - offset])
            ++differing;
    if (differing)
        sink_.differs(differing, frame, timeUs);
}

void Reassembler::hold(qint64 offset, const char *bytes, qint64 size, qint64 frame, qint64 timeUs)
{
    // Store only the parts no held segment covers yet; compare the rest.
    qint64 pos = offset;
    const qint64 end = offset + size;
    auto it = held_.upper_bound(pos);
    if (it != held_.begin()) {
        auto prev = std::prev(it);
        if (prev->first + prev->second.bytes.size() > pos)
            it = prev;
    }
    qint64 differing = 0;
    while (pos < end) {
        if (it == held_.end() || it->first >= end) {
            held_.emplace(pos, Held{QByteArray(bytes + (pos - offset), end - pos), frame, timeUs});
            heldBytes_ += end - pos;
            break;
        }
        if (it->first > pos) {
            held_.emplace(pos, Held{QByteArray(bytes + (pos - offset), it->first - pos), frame, timeUs});
            heldBytes_ += it->first - pos;
            pos = it->first;
        }
        const QByteArray &have = it->second.bytes;
        const qint64 overlapEnd = qMin(end, it->first + have.size());
        for (qint64 o = pos; o < overlapEnd; ++o)
            if (have.at(o - it->first) != bytes[o - offset])
                ++differing;
        pos = overlapEnd;
        ++it;
    }
    if (differing)
        sink_.differs(differing, frame, timeUs);
    // Over the bound, the first hole is given up.
    while (heldBytes_ > MaxHeldBytes || int(held_.size()) > MaxHeldSegments) {
        const auto first = held_.begin();
        skipTo(first->first, first->second.frame, first->second.timeUs);
        drain();
    }
}

void Reassembler::drain()
{
    while (!held_.empty() && held_.begin()->first <= next_) {
        const auto first = held_.begin();
        const Held h = std::move(first->second);
        const qint64 offset = first->first;
        held_.erase(first);
        heldBytes_ -= h.bytes.size();
        const qint64 end = offset + h.bytes.size();
        if (end <= next_)
            continue; // covered meanwhile (compared when it was held)
        const qint64 old = next_ - offset;
        take(next_, h.bytes.constData() + old, h.bytes.size() - old, h.frame, h.timeUs);
    }
}

void Reassembler::skipTo(qint64 offset, qint64 frame, qint64 timeUs)
{
    if (offset <= next_)
        return;
    const qint64 missing = offset - next_;
    nextSeq_ += quint32(missing);
    next_ = offset;
    historyStart_ = offset;
    historyEnd_ = offset;
    sink_.gap(missing, frame, timeUs);
}

} // namespace capture
