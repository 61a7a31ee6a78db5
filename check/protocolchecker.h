#pragma once
// A streaming checker of I++ DME traffic. It is fed every line of one or two
// legs (the operator's link to the server, and the relay client's) in the
// order they passed, follows each transaction by leg and tag, and reports
// findings against the wire rules. Memory stays bounded whatever is fed:
// completed transactions go to a ring, open ones are capped, statistics are
// aggregated.
//
//     check::ProtocolChecker checker(check::RuleSet(check::Profile::Nist));
//     checker.setFindingHandler([](const check::Finding &f) { ... });
//     checker.connectionReset(check::Leg::Operator); // a fresh connection
//     checker.feed(check::Leg::Operator, check::Direction::ToServer, -1, "00001 StartSession()");
//     checker.feed(check::Leg::Operator, check::Direction::FromServer, -1, "00001 &");
//     checker.feed(check::Leg::Operator, check::Direction::FromServer, -1, "00001 %");
//     checker.finish();

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
#include <memory>
#include <type_traits>
#include <utility>
#include <vector>

namespace check {

// Tag keys: a tag as one number. Command tags 00001-99999 are 1-99999, event
// tags E0000-E9999 are EventKeyBase + 0-9999; every key is below TagKeyCount.
constexpr quint32 EventKeyBase = 100000;
constexpr quint32 TagKeyCount = EventKeyBase + 10000;

// The longest line the standard allows (R-LENGTH), its line end not counted.
// (The links' wire limit, past which they drop a connection, is their own.)
constexpr qsizetype RuleLineLimit = 65536;
// How much of a longer line the log reader and the live inspector keep: the
// rest is counted, not checked.
constexpr qsizetype KeptLineLength = RuleLineLimit + 1024;

enum class Leg : quint8 { Operator, Relay };
constexpr int LegCount = 2;
const char *LegName(Leg leg); // "operator", "relay"

enum class Direction : quint8 { ToServer, FromServer };

// How the line ended on the wire, when the source recorded it.
enum class LineEnd : quint8 { Unknown, CrLf, Lf, Cr, LfCr, Missing };

// Where a leg's stream begins, for the session rule.
enum class StreamStart : quint8 {
    // Somewhere in a conversation: the session is learnt from what follows.
    Unknown,
    // At a connection: outside a session. The relay leg shares the server's
    // one connection, so it starts in the operator leg's session state.
    Connection,
    // Inside a session.
    InSession,
};

struct Finding {
    Rule rule = Rule::Order;
    Severity severity = Severity::Error;
    Leg leg = Leg::Operator;
    QByteArray tag; // empty when the line had none
    qint64 line = -1; // position in the stream of the line at fault
    qint64 relatedLine = -1; // e.g. the command the reply belongs to; -1 when none
    Party party = Party::Client; // the side whose line broke the rule
    QString text; // "00017: '#' line after the transaction completed (line 12)"
    // A finding that follows from an earlier one (its root cause) names it:
    // the rule and the position of the root cause's line, in the numbering of
    // `line`. Its `party` is the root cause's, and its text ends with
    // "(follows from R-XXX at line N)". causeLine is -1 for a root cause.
    Rule causeRule = Rule::Order; // meaningful only for a follow-on
    qint64 causeLine = -1;
    bool isFollowOn() const { return causeLine >= 0; }
};

enum class TxnState : quint8 { Sent, Acked, Done, Aborted };

// What a transaction record stands for. Every line a client sends has a
// record, and so has every server line that belongs to no command:
//  - Command: a well-formed command and its replies.
//  - Malformed: a client line that is no command (no tag, a bad tag, no
//    blank after it, a line led by a CR, an empty line). `key` is its tag's
//    key when the first five bytes make one, else 0, and `method` is -1.
//    It opens on its line (TxnEvent::Opened) and waits for the server's
//    "Illegal tag" error, which is its reply (TxnEvent::Error; counted in
//    errorLines, here and in LegTotals): it then closes (TxnEvent::Closed)
//    as Done, doneLine the error's line. One that gets no such error closes
//    as Sent (unanswered) once the server answers a later command, at a
//    connection reset or at the end. Several may be open at once and share a
//    key: tell them apart by commandLine. They are not in
//    openTransaction() and do not count as open commands.
//  - Stray: a server line that matches no command (a reply for a tag never
//    sent, or a line without a usable tag). Opened and Closed on that one
//    line: commandLine and doneLine are its position, state Done,
//    errorLines 1 for a '!' line. Replies that belong to a command that
//    already closed (its late remains, a line after its '%') are not stray:
//    they are the command's, told by their findings.
// Closed Malformed and Stray records go to the ring of completed ones too,
// and a line whose command was malformed names no other command: a command
// sent before the server's answer to it is no finding.
enum class TxnKind : quint8 { Command, Malformed, Stray };

// One transaction, as kept in the ring once it is complete.
struct Transaction {
    quint32 key = 0; // TagKey()
    int method = -1; // index into methodName(); -1 for Malformed and Stray
    TxnKind kind = TxnKind::Command;
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
    qint64 malformed = 0, stray = 0; // Malformed and Stray records
    // '!' lines: of commands, of E0000 ("Illegal tag" ones included) and stray ones.
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

// One cause behind many findings of a leg, said once: "the client never waits
// for '&'".
struct RepeatedCause {
    Rule rule = Rule::AckFirst;
    Leg leg = Leg::Operator;
    Party party = Party::Client;
    qint64 count = 0;
    QString sentence;
};

struct OpenTxn; // checker internals
struct MethodInfo;
enum class MethodRole : quint8;

class ProtocolChecker {
public:
    static constexpr int RingSize = 100000;
    static constexpr int DefaultOpenCap = 10000;
    static constexpr int MaxMethods = 512;
    static constexpr int MaxMethodName = 64; // longer names are kept cut

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
    // The connection of a leg went up or down, or its stream begins: open
    // transactions are reported and the leg starts afresh, in `start`'s
    // session state. Until then a leg's session state is unknown.
    void connectionReset(Leg leg, qint64 position = -1, StreamStart start = StreamStart::Connection);
    // End of the stream: reports what is still open.
    void finish(qint64 position = -1);
    // A finding of the traffic's source that the lines cannot show (a hole
    // in a capture): counted and handed on like the checker's own.
    void reportSource(Leg leg, Rule rule, Severity severity, Party party, qint64 position,
                      const QString &text);

    // Results.
    qint64 findingCount(Rule r, Severity s) const { return counts_[size_t(r)][size_t(s)]; }
    qint64 findingCount(Rule r, Party p) const { return byParty_[size_t(r)][size_t(p)]; }
    qint64 findingCount(Severity s) const;
    qint64 findingCount() const;
    // Of those, the findings that follow from an earlier one (by the side
    // at fault in their root cause); the rest are root causes.
    qint64 followOnCount(Rule r, Party p) const { return followOns_[size_t(r)][size_t(p)]; }
    qint64 followOnCount() const;
    const LegTotals &totals(Leg leg) const;
    int methodCount() const { return int(methods_.size()); }
    const QByteArray &methodName(int index) const;
    const MethodStats &methodStats(int index) const;
    QVector<ErrorSeen> errorsSeen() const;
    // Causes that explain most findings of a rule on a leg at once.
    QVector<RepeatedCause> repeatedCauses() const;
    // The completed transactions, oldest first (at most RingSize). A caller
    // that keeps its own (the live view) turns the ring off.
    void setKeepCompleted(bool keep) { keepCompleted_ = keep; }
    int completedCount() const { return int(ringFill_); }
    const Transaction &completed(int i) const;
    // An open transaction of a leg by its tag's key; nullptr when none is open.
    const Transaction *openTransaction(Leg leg, quint32 key) const;
    qint64 linesFed() const { return fed_; }

private:
    struct LegState;
    struct MethodEntry {
        QByteArray name;
        MethodStats stats;
        bool shared = false; // "(other)": the names past MaxMethods
        const MethodInfo *info[3] = {}; // in the catalogue of each profile
        MethodRole role = {};
    };
    struct Command; // a client line taken apart

    // A client line, in its steps.
    void onClientLine(LegState &s, qint64 t, QByteArrayView line, quint32 key, qint64 pos);
    bool checkPacing(LegState &s, QByteArrayView line, qint64 pos);
    bool parseCommand(LegState &s, QByteArrayView line, quint32 key, qint64 pos, Command &c);
    void checkCommandRules(LegState &s, const Command &c, qint64 pos);
    void checkTagReuse(LegState &s, const Command &c, qint64 pos);
    void keepWithinCap(LegState &s, const Command &c, qint64 pos);
    void openCommand(LegState &s, const Command &c, qint64 t, qint64 pos);

    // A server line, in its steps.
    void onServerLine(LegState &s, qint64 t, QByteArrayView line, quint32 key, qint64 pos);
    bool parseReply(LegState &s, QByteArrayView line, quint32 key, qint64 pos, char *type,
                    QByteArrayView *body);
    void onUnsolicited(LegState &s, QByteArrayView tag, char type, QByteArrayView body, qint64 t, qint64 pos);
    void onReplyWithoutTxn(LegState &s, quint32 key, QByteArrayView tag, char type, qint64 t, qint64 pos);
    void checkReplyOrder(LegState &s, OpenTxn &o, QByteArrayView tag, char type, qint64 pos);
    void onDataLine(LegState &s, OpenTxn &o, QByteArrayView tag, QByteArrayView body, qint64 t, qint64 pos);
    void checkDataShape(LegState &s, OpenTxn &o, QByteArrayView tag, QByteArrayView body, qint64 pos);

    bool checkLineBytes(LegState &s, QByteArrayView line, qint64 pos, LineEnd end, QByteArrayView tag);
    // `answersMalformed`: it carries the tag of the oldest malformed line.
    void onErrorLine(LegState &s, Transaction *txn, QByteArrayView tag, QByteArrayView body, qint64 t,
                     qint64 pos, bool answersMalformed = false);
    bool answersMalformedTag(LegState &s, quint32 key);
    void checkErrorText(LegState &s, int number, int sev, QByteArrayView f2, QByteArrayView text,
                        QByteArrayView tag, qint64 pos, qint64 related);
    void complete(LegState &s, Transaction &txn, qint64 t, qint64 pos);
    void noteCompletion(LegState &s, const OpenTxn &o, bool ok);
    void keepCompleted(const Transaction &txn);
    void windUpAbort(LegState &s, qint64 pos);
    enum class AbortMode : quint8 { ByError, ByAbortE };
    void abortPendingCommands(LegState &s, quint32 exceptKey, AbortMode mode);
    void reportOpen(LegState &s, qint64 pos, const char *why);
    Transaction *openTxn(LegState &s, quint32 key);
    void dropTxn(LegState &s, quint32 key);
    int internMethod(QByteArrayView name);
    int internNew(QByteArrayView name);
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
    // What findings of the line being fed follow from: the root cause's rule,
    // line and side, for the rules in `rules` (a bit each). Set as the line
    // is taken apart, cleared for each line.
    struct Cause {
        qint64 line = -1;
        Rule rule = Rule::Order;
        Party party = Party::Client;
        quint32 rules = 0;
    };
    static_assert(RuleCount <= 32, "a rule mask is 32 bits");
    static constexpr quint32 Bit(Rule r) { return 1u << unsigned(r); }
    void setCause(Rule root, qint64 line, Party party, quint32 rules);
    bool followsOn(Rule r) const { return cause_.line >= 0 && (cause_.rules & Bit(r)); }
    Cause cause_;
    // A client line that is no command, and its end.
    void openMalformed(LegState &s, QByteArrayView line, quint32 key, qint64 t, qint64 pos);
    void closeMalformed(LegState &s, qint64 t, qint64 pos, bool answered);
    void closeUnanswered(LegState &s, qint64 before);
    // A server line that belongs to no command.
    void onStray(LegState &s, quint32 key, bool error, qint64 t, qint64 pos);
    void keepInRing(const Transaction &txn);
    qint64 curPos_ = -1; // the line being fed, for the transaction handler
    Party curParty_ = Party::Server; // the side of the line being fed
    bool lineCut_ = false; // the line being fed was cut short
    std::unique_ptr<LegState> legs_[LegCount];
    qint64 counts_[RuleCount][3] = {};
    qint64 byParty_[RuleCount][2] = {};
    qint64 followOns_[RuleCount][2] = {};
    qint64 fed_ = 0;
    std::vector<MethodEntry> methods_;
    QHash<QByteArray, int> methodIndex_;
    int lastMethod_ = -1; // the method interned last
    QHash<int, ErrorSeen> errors_;
    std::vector<Transaction> ring_;
    size_t ringHead_ = 0, ringFill_ = 0;
    bool keepCompleted_ = true;
};

// Tag helpers, shared with the log reader.
// The key of a tag: 1-99999 for command tags, EventKeyBase + n for E0000-
// E9999; 0 when the text is no valid tag (00000 included).
quint32 TagKey(QByteArrayView tag);
QByteArray TagText(quint32 key);

} // namespace check
