#pragma once
// Checker internals shared by the parts of the protocol checker: the state it
// keeps for each leg, a command taken apart, the per-tag marks, and the
// constants of the rules it follows.

#include "check/catalogue.h"
#include "check/opentable.h"
#include "check/protocolchecker.h"
#include "check/replydata.h"

#include <QHash>

#include <algorithm>
#include <cstring>
#include <deque>
#include <vector>
#include <utility>

namespace check {

inline constexpr int EventNumbers = 10000; // E0000-E9999
inline constexpr int MaxReportsPerSecond = 10; // OnMoveReportE
inline constexpr qint64 OneSecondUs = 1000000;
inline constexpr double MinReportPeriod = 0.1; // seconds
// What a session reports until OnPtMeasReport or OnScanReport says otherwise.
inline constexpr const char *DefaultPtMeasReport = "X,Y,Z";
inline constexpr int DefaultScanPointValues = 4; // X(), Y(), Z(), Q()
// A peer inventing error numbers cannot grow the table past this.
inline constexpr int MaxErrorsSeen = 20000;
// Malformed client lines kept waiting for their answer; past this the oldest
// is closed unanswered.
inline constexpr int MaxMalformedOpen = 64;
// Tags of malformed lines remembered for the replies that may follow.
inline constexpr int MaxMalformedTags = 1024;

// What a tag's last transaction left behind once it is no longer open.
enum class TagMark : quint8 {
    Unused, // never used, or in use again
    Completed, // its '%' came: any further line for it is out of order
    ClosedQuietly, // aborted by an error, replaced or rejected: its remains may follow
    ClosedByAbort, // wound up by AbortE's '%': nothing may follow
    SetAside, // dropped over the cap on open transactions: maybe still open
};

enum class DaemonState : quint8 { None, Running, Stopped, EndedWithSession };

enum class SessionState : quint8 { Unknown, Inside, Ending, Outside };

// The methods the checker follows by name, told apart once when a name is
// first seen.
enum class MethodRole : quint8 {
    Other,
    StartSession,
    EndSession,
    ClearAllErrors,
    AbortE,
    ErrorQuery, // GetErrStatusE, GetXtdErrStatus: allowed in the error state
    OnPtMeasReport,
    OnScanReport,
    StopDaemon,
    StopAllDaemons,
};

inline MethodRole RoleOf(QByteArrayView name)
{
    static constexpr std::pair<const char *, MethodRole> Roles[] = {
        {"StartSession", MethodRole::StartSession},     {"EndSession", MethodRole::EndSession},
        {"ClearAllErrors", MethodRole::ClearAllErrors}, {"AbortE", MethodRole::AbortE},
        {"GetErrStatusE", MethodRole::ErrorQuery},      {"GetXtdErrStatus", MethodRole::ErrorQuery},
        {"OnPtMeasReport", MethodRole::OnPtMeasReport}, {"OnScanReport", MethodRole::OnScanReport},
        {"StopDaemon", MethodRole::StopDaemon},         {"StopAllDaemons", MethodRole::StopAllDaemons},
    };
    for (const auto &r : Roles)
        if (name == QByteArrayView(r.first))
            return r.second;
    return MethodRole::Other;
}

// The report times of one daemon, to find more than ten a second.
struct DaemonRate {
    qint64 times[MaxReportsPerSecond + 1] = {};
    int n = 0, head = 0;
    bool reported = false;
};

inline bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

// The key of the five characters at `tag` (TagKey without the length check).
inline quint32 TagKeyOf(const char *tag)
{
    const uchar *p = reinterpret_cast<const uchar *>(tag);
    const unsigned d1 = p[1] - unsigned('0'), d2 = p[2] - unsigned('0'), d3 = p[3] - unsigned('0'),
                   d4 = p[4] - unsigned('0');
    if (d1 > 9 || d2 > 9 || d3 > 9 || d4 > 9)
        return 0;
    const quint32 low = d1 * 1000 + d2 * 100 + d3 * 10 + d4;
    if (p[0] == 'E')
        return EventKeyBase + low;
    const unsigned d0 = p[0] - unsigned('0');
    return d0 > 9 ? 0 : d0 * 10000 + low;
}

// Whether all `n` bytes at `p` are printable (32-126): eight at a time, the
// last eight overlapping the ones before; a short run in two overlapping
// halves.
inline bool AllPrintable(const char *p, qsizetype n)
{
    constexpr quint64 Ones = 0x0101010101010101ULL, Highs = 0x8080808080808080ULL;
    const auto clean = [](quint64 w) { return !((((w - 32 * Ones) & ~w) | (w + Ones) | w) & Highs); };
    if (n >= 8) {
        quint64 w;
        qsizetype i = 0;
        for (; i + 8 <= n; i += 8) {
            std::memcpy(&w, p + i, 8);
            if (!clean(w))
                return false;
        }
        if (i == n)
            return true;
        std::memcpy(&w, p + n - 8, 8);
        return clean(w);
    }
    if (n >= 4) {
        quint32 lo, hi;
        std::memcpy(&lo, p, 4);
        std::memcpy(&hi, p + n - 4, 4);
        return clean(lo | quint64(hi) << 32);
    }
    for (qsizetype i = 0; i < n; ++i)
        if (uchar(p[i]) < 32 || uchar(p[i]) > 126)
            return false;
    return true;
}

inline bool SameBytes(QByteArrayView a, QByteArrayView b)
{
    return a.size() == b.size() && (a.isEmpty() || std::memcmp(a.data(), b.data(), size_t(a.size())) == 0);
}

inline bool IsIdentifier(QByteArrayView s)
{
    if (s.isEmpty())
        return false;
    for (char c : s)
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || IsDigit(c) || c == '_' || c == '.'))
            return false;
    return true;
}

inline QByteArray TagPrefix(QByteArrayView tag)
{
    return tag.isEmpty() ? QByteArray() : QByteArray(tag.data(), tag.size()) + ": ";
}

inline QString Plural(qint64 n, const char *word)
{
    return QStringLiteral("%1 %2%3").arg(n).arg(QLatin1String(word),
                                                n == 1 ? QString() : QStringLiteral("s"));
}

// Tags in send order: a ring of (key, send order) that grows by doubling and
// keeps its room, as every command passes through it.
class OrderQueue {
public:
    using Entry = std::pair<quint32, quint64>;

    bool empty() const { return n_ == 0; }
    size_t size() const { return n_; }
    const Entry &front() const { return ring_[head_]; }
    const Entry &operator[](size_t i) const { return ring_[(head_ + i) & (ring_.size() - 1)]; }
    void pop_front()
    {
        head_ = (head_ + 1) & (ring_.size() - 1);
        --n_;
    }
    void emplace_back(quint32 key, quint64 seq)
    {
        if (n_ == ring_.size())
            grow();
        ring_[(head_ + n_) & (ring_.size() - 1)] = {key, seq};
        ++n_;
    }
    void clear() { head_ = n_ = 0; }
    void swap(OrderQueue &other)
    {
        ring_.swap(other.ring_);
        std::swap(head_, other.head_);
        std::swap(n_, other.n_);
    }

private:
    void grow()
    {
        std::vector<Entry> bigger(ring_.empty() ? 64 : 2 * ring_.size());
        for (size_t i = 0; i < n_; ++i)
            bigger[i] = (*this)[i];
        ring_.swap(bigger);
        head_ = 0;
    }
    std::vector<Entry> ring_; // a power of two long
    size_t head_ = 0, n_ = 0;
};

// A client line taken apart.
struct ProtocolChecker::Command {
    QByteArrayView tag; // "00017"
    QByteArrayView text; // from column 7: "Get(X())"
    QByteArrayView name; // "Get"
    quint32 key = 0;
    int methodIndex = -1;
    const MethodInfo *method = nullptr; // nullptr when the profile does not know it
    MethodRole role = MethodRole::Other;
    bool eventTag = false, eventMethod = false;
    bool isStart = false, isEnd = false, isClear = false, isAbort = false;
    bool unpaced = false; // sent before the '&' it had to wait for, and found so
};

struct ProtocolChecker::LegState {
    Leg leg = Leg::Operator;
    OpenSet open;
    OrderQueue order; // command tags, in send order
    OrderQueue eventOrder; // event tags, in send order
    quint64 nextSeq = 1;
    std::vector<TagMark> mark; // by tag key
    std::vector<qint64> closedAt; // by tag key: the line that closed it (set aside: its command)
    std::vector<DaemonState> daemon; // by event number
    QHash<quint32, DaemonRate> rates;
    SessionState session = SessionState::Unknown;
    bool errorState = false;
    qint64 errorLine = -1;
    bool abortRunning = false; // AbortE sent, its '%' not yet seen
    qint64 abortLine = -1;
    bool afterAbort = false; // AbortE completed; ClearAllErrors must come next
    // The command the next one waits for: its '&' (StartSession: its '%').
    bool awaiting = false, awaitPercent = false;
    quint32 awaitKey = 0;
    quint64 awaitSeq = 0;
    qint64 awaitLine = -1;
    // Client lines that were no command, oldest first, waiting for their
    // E0000 "Illegal tag" (at most MaxMalformedOpen).
    struct Malformed {
        Transaction txn;
        Rule root = Rule::TagFormat; // its root-cause finding, on its line
    };
    std::deque<Malformed> malformed;
    // The tags of malformed lines that had one, with their lines: a reply
    // with such a tag follows from the malformed line.
    QHash<quint32, qint64> malformedTags;
    // Tags reused while open, with the line of the reuse: what the server
    // sends for them follows from it, until the tag is sent afresh.
    QHash<quint32, qint64> reusedTags;
    // The error state came from the answer to a malformed line: its line and
    // root cause.
    qint64 errorFromMalformed = -1;
    Rule errorFromRule = Rule::TagFormat;
    // Outside a session because the StartSession was malformed: its line and
    // root cause.
    qint64 sessionFromMalformed = -1;
    Rule sessionFromRule = Rule::TagFormat;
    QByteArray ptMeasReport = DefaultPtMeasReport;
    QByteArray lastItemsAsked, lastItemNames; // the last Get's arguments and their item names
    int scanPointValues = DefaultScanPointValues;
    bool anyCommand = false;
    bool limitReported = false;
    qint64 setAside = 0; // transactions set aside over the cap
    // The operator leg: the relay client opened a session on the server's
    // one connection. A saved log shows the relay client's lines on its leg
    // only, so the operator's commands are inside that session too.
    bool relaySessionOpen = false;
    // For repeated causes: commands that followed another, and of them those
    // sent before its '&'; transactions that got a reply, and of them those
    // whose first reply was '#'.
    qint64 followers = 0, unpaced = 0;
    qint64 replied = 0, dataFirst = 0;
    LegTotals totals;

    LegState()
        : mark(TagKeyCount, TagMark::Unused), closedAt(TagKeyCount, -1),
          daemon(EventNumbers, DaemonState::None)
    { }

    void startSessionDefaults()
    {
        ptMeasReport = DefaultPtMeasReport;
        scanPointValues = DefaultScanPointValues;
    }

    // A new connection: nothing of the last one holds. The totals and the
    // counts behind repeated causes go on.
    void restart(SessionState start)
    {
        open.clear();
        order.clear();
        eventOrder.clear();
        std::fill(mark.begin(), mark.end(), TagMark::Unused);
        std::fill(daemon.begin(), daemon.end(), DaemonState::None);
        rates.clear();
        session = start;
        errorState = abortRunning = afterAbort = awaiting = false;
        malformed.clear();
        malformedTags.clear();
        reusedTags.clear();
        errorFromMalformed = sessionFromMalformed = -1;
        startSessionDefaults();
        anyCommand = false;
        limitReported = false;
        setAside = 0;
        relaySessionOpen = false;
    }
};

} // namespace check
