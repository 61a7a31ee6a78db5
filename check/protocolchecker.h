#pragma once
// A streaming checker of I++ DME traffic. It is fed every line of one or two
// legs (the operator's link to the server, and the relay client's) in the
// order they passed, follows each transaction by leg and tag, and reports
// findings against the wire rules. Memory stays bounded whatever is fed:
// completed transactions go to a ring, open ones are capped, statistics are
// aggregated.

#include "check/rules.h"
#include "check/stats.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QHash>
#include <QString>
#include <QVector>

#include <array>
#include <deque>
#include <functional>
#include <type_traits>
#include <utility>
#include <memory>
#include <vector>

namespace check {

enum class Leg : quint8 { Operator, Relay };
constexpr int LegCount = 2;
const char *LegName(Leg leg); // "operator", "relay"

enum class Direction : quint8 { ToServer, FromServer };

// How the line ended on the wire, when the source recorded it.
enum class LineEnd : quint8 { Unknown, CrLf, Lf, Cr, LfCr, Missing };

struct Finding {
    Rule rule = Rule::Order;
    Severity severity = Severity::Error;
    Leg leg = Leg::Operator;
    QByteArray tag; // empty when the line had none
    qint64 line = -1; // position in the stream of the line at fault
    qint64 relatedLine = -1; // e.g. the command the reply belongs to; -1 when none
    QString text; // "00017: data line after the transaction completed"
};

enum class TxnState : quint8 { Sent, Acked, Done, Aborted };

// One transaction, as kept in the ring once it is complete.
struct Transaction {
    quint32 key = 0; // 1-99999 command tags, 100000 + n event tags
    int method = -1; // index into methodName()
    Leg leg = Leg::Operator;
    TxnState state = TxnState::Sent;
    qint64 commandLine = -1, doneLine = -1;
    qint64 tSent = -1, tAck = -1, tFirstData = -1, tDone = -1; // us, -1 unknown
    quint32 dataLines = 0, errorLines = 0;
    QByteArray tag() const;
};

// What happened to a transaction, for a live view of the open ones.
enum class TxnEvent : quint8 {
    Opened, // its command was fed
    Acked, // its '&'
    Data, // a '#' line
    Error, // a '!' line
    Closed, // it left the open set: completed (Done), aborted (Aborted), or
    // dropped (still Sent or Acked: tag reused, over the cap, rejected,
    // connection reset)
};

struct LegTotals {
    qint64 linesToServer = 0, linesFromServer = 0;
    qint64 commands = 0, completed = 0, aborted = 0;
    qint64 errorLines = 0, events = 0;
    qint64 findings = 0;
    int open = 0;
};

// An error number seen in '!' lines, with its count.
struct ErrorSeen {
    int number = -1;
    int severity = -1;
    qint64 count = 0;
};

class ProtocolChecker {
public:
    static constexpr int RingSize = 100000;
    static constexpr int DefaultOpenCap = 10000;
    static constexpr int MaxMethods = 512;
    static constexpr int MaxLineLength = 65536;

    explicit ProtocolChecker(RuleSet rules = RuleSet());
    ~ProtocolChecker();
    ProtocolChecker(const ProtocolChecker &) = delete;
    ProtocolChecker &operator=(const ProtocolChecker &) = delete;

    void setRules(const RuleSet &rules) { rules_ = rules; }
    const RuleSet &rules() const { return rules_; }
    void setOpenCap(int cap) { openCap_ = cap < 1 ? 1 : cap; }
    void setFindingHandler(std::function<void(const Finding &)> handler) { onFinding_ = std::move(handler); }
    // With a rule's details off, its findings are counted but not handed to
    // the handler (nor is their sentence made): for a live view under a flood.
    void setFindingDetail(Rule r, bool on) { detail_[size_t(r)] = on; }
    bool findingDetail(Rule r) const { return detail_[size_t(r)]; }
    // Told of every change to an open transaction, with the position of the
    // line that caused it (the reset's position when a reset drops it).
    using TransactionHandler = std::function<void(TxnEvent, const Transaction &, qint64 position)>;
    void setTransactionHandler(TransactionHandler handler) { onTxn_ = std::move(handler); }

    // One protocol line, without its line end. `position` names the line in
    // findings (a file line number); -1 counts the fed lines from 1. `timeUs`
    // is -1 when unknown.
    void feed(Leg leg, Direction dir, qint64 timeUs, QByteArrayView line, qint64 position = -1,
              LineEnd end = LineEnd::Unknown);
    // The same for a line the reader had to cut short: `line` holds its start,
    // `fullLength` its real length.
    void feedLong(Leg leg, Direction dir, qint64 timeUs, QByteArrayView line, qint64 fullLength,
                  qint64 position = -1, LineEnd end = LineEnd::Unknown);
    // The connection of a leg went up or down: open transactions are reported
    // and the leg starts afresh.
    void connectionReset(Leg leg, qint64 position = -1);
    // End of the stream: reports what is still open.
    void finish(qint64 position = -1);

    // Results.
    qint64 findingCount(Rule r, Severity s) const { return counts_[size_t(r)][size_t(s)]; }
    qint64 findingCount(Severity s) const;
    qint64 findingCount() const;
    const LegTotals &totals(Leg leg) const;
    int methodCount() const { return int(methods_.size()); }
    const QByteArray &methodName(int index) const;
    const MethodStats &methodStats(int index) const;
    QVector<ErrorSeen> errorsSeen() const;
    // The completed transactions, oldest first (at most RingSize).
    int completedCount() const { return int(ringFill_); }
    const Transaction &completed(int i) const;
    qint64 linesFed() const { return fed_; }

private:
    struct LegState;
    struct MethodEntry {
        QByteArray name;
        MethodStats stats;
    };

    void onClientLine(LegState &s, qint64 t, QByteArrayView line, qint64 pos);
    void onServerLine(LegState &s, qint64 t, QByteArrayView line, qint64 pos);
    bool checkLineBytes(LegState &s, QByteArrayView line, qint64 pos, LineEnd end, QByteArrayView tag);
    void onErrorLine(LegState &s, Transaction *txn, QByteArrayView tag, QByteArrayView body, qint64 pos);
    void complete(LegState &s, Transaction &txn, qint64 t, qint64 pos);
    void abortPending(LegState &s, quint32 exceptKey, quint8 how);
    void reportOpen(LegState &s, qint64 pos, const char *why);
    Transaction *openTxn(LegState &s, quint32 key);
    void dropTxn(LegState &s, quint32 key);
    int internMethod(QByteArrayView name);
    // A finding. Its sentence is made only when it is passed on: `text` is
    // the sentence or a callable that makes it, so that a flood of counted
    // findings costs no strings.
    template <typename Text>
    void report(LegState &s, Rule r, Severity sev, QByteArrayView tag, qint64 line, qint64 related,
                Text &&text)
    {
        if (!counted(s, r, sev))
            return;
        if constexpr (std::is_invocable_v<Text>)
            pass(s, r, sev, tag, line, related, text());
        else
            pass(s, r, sev, tag, line, related, QString(std::forward<Text>(text)));
    }
    // Counts a finding; true when it goes on to the handler.
    bool counted(LegState &s, Rule r, Severity sev);
    void pass(LegState &s, Rule r, Severity sev, QByteArrayView tag, qint64 line, qint64 related,
              const QString &text);

    RuleSet rules_;
    int openCap_ = DefaultOpenCap;
    std::function<void(const Finding &)> onFinding_;
    TransactionHandler onTxn_;
    std::array<bool, RuleCount> detail_ = MakeAllOn();
    static constexpr std::array<bool, RuleCount> MakeAllOn()
    {
        std::array<bool, RuleCount> a{};
        for (bool &b : a)
            b = true;
        return a;
    }
    qint64 curPos_ = -1; // the line being fed, for the transaction handler
    std::unique_ptr<LegState> legs_[LegCount];
    qint64 counts_[RuleCount][3] = {};
    qint64 fed_ = 0;
    std::vector<MethodEntry> methods_;
    QHash<QByteArray, int> methodIndex_;
    QHash<int, ErrorSeen> errors_;
    std::vector<Transaction> ring_;
    size_t ringHead_ = 0, ringFill_ = 0;
};

// Tag helpers, shared with the log reader.
// The key of a tag: 1-99999 for command tags, 100000 + n for E0001-E9999,
// 100000 for E0000; 0 when the text is no valid tag (00000 included).
quint32 TagKey(QByteArrayView tag);
QByteArray TagText(quint32 key);

} // namespace check
