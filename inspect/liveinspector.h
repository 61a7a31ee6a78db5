#pragma once
// Live inspection of the traffic on both legs. The window hands it every line
// as it passes a socket (sent or received, logged or kept out of the log by
// freeze and the exclude filter); a ProtocolChecker follows the transactions
// and reports findings. What the views show is kept here, bounded whatever
// is fed: the completed transactions of the last MaxCompleted, the open ones
// (the checker caps them), the last MaxFindings findings with a count of the
// ones dropped. No widgets: the views read it through the models of
// inspect/inspectormodels.h, told of changes at most every RefreshMs.

#include "check/protocolchecker.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QMultiHash>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QVector>

#include <array>
#include <climits>
#include <deque>
#include <vector>

namespace inspect {

// A line's place in the traffic log (its index, from 0), or why it has none.
constexpr int NotInLog = -1; // no line, or not known
constexpr int NotInLogFrozen = -2; // kept out by Freeze
constexpr int NotInLogFiltered = -3; // kept out by the exclude filter
// A log line as every view names it: the number the traffic log shows for
// it, counted from 1 (a saved log's line number), or why it has none.
QString LogLineText(int logLine); // "43", "not in the log: frozen"

// How a transaction shown in the views ended, or that it hasn't.
enum class TxnOutcome : quint8 { Open, Ok, Error, Aborted, Dropped };

struct TxnRow {
    check::Leg leg = check::Leg::Operator;
    // A command, a client line that is no command, or a server line that
    // matches none: each is a row.
    check::TxnKind kind = check::TxnKind::Command;
    TxnOutcome outcome = TxnOutcome::Open;
    bool acked = false;
    bool own = false; // the command was made up or rewritten by this program
    bool finding = false; // a finding names this transaction
    bool pipelined = false; // sent while the one before it on its leg had no '&' yet
    // A completed row's texts sit in the inspector's text ring: the command
    // line as sent (cut at MaxCommandChars), then its first error line's text
    // after the tag (cut at MaxErrorChars). LiveInspector::commandText() and
    // errorText() read them, open or completed.
    quint16 textLength = 0;
    quint16 errorLength = 0;
    quint32 key = 0; // check::TagKey
    quint32 lines = 0; // reply lines so far
    int logLine = NotInLog; // the command's line in the traffic log, or why none
    qint64 tSent = -1, tAck = -1, tDone = -1; // us on the inspector's clock
    qint64 position = -1; // the command's position in the stream
    quint64 textAt = 0;
    // The tag, empty for a line without a well-formed one.
    QByteArray tag() const { return key ? check::TagText(key) : QByteArray(); }
};
// A completed row is one cache line: a flood of completions writes no more.
static_assert(sizeof(TxnRow) <= 64, "TxnRow grew past a cache line");

struct FindingRow {
    check::Finding finding;
    qint64 timeUs = -1; // on the inspector's clock
    int logLine = NotInLog; // the line at fault in the traffic log, or why none
    int relatedLogLine = NotInLog;
    bool own = false; // the line at fault was made up or rewritten by this program
    bool fromServer = false; // the line at fault came from the server's side
    bool known = false; // own and fromServer are known (a recent line)
    // A follow-on: its root cause's serial among the findings, +1; 0 when it
    // is a root cause or its root cause is no longer kept. own and
    // fromServer then tell the side of the root cause's line.
    quint64 cause = 0;
    bool followOn() const { return finding.isFollowOn(); }
};

// A finding as the log view's gutter shows it.
struct LogLineFinding {
    check::Severity severity = check::Severity::Note;
    check::Rule rule = check::Rule::Order;
    QString text;
};

class LiveInspector : public QObject {
    Q_OBJECT
public:
    static constexpr int MaxCompleted = 100000;
    static constexpr int MaxFindings = 10000;
    static constexpr int MaxCommandChars = 200;
    static constexpr int MaxErrorChars = 160;
    // Client lines that are no command wait for the server's answer among
    // the open rows; past this many the oldest is given up as unanswered.
    static constexpr int MaxOpenMalformed = 10000;
    static constexpr int RefreshMs = 100;
    // A rule with more findings than this in one second is only counted for
    // the rest of that second: a flood costs no sentences and no rows.
    static constexpr int FloodPerSecond = 200;
    void setFloodLimit(int perSecond) { floodLimit_ = perSecond > 0 ? perSecond : INT_MAX; }

    explicit LiveInspector(QObject *parent = nullptr);
    ~LiveInspector() override;

    // One line that passed a leg's socket, without its line end. `own`: made
    // up or rewritten by this program (checked, but not blamed on a peer).
    // `logLine`: the traffic-log line it got, or why it got none (NotInLog...).
    // `end`: how it ended on the wire, when known.
    void feed(check::Leg leg, check::Direction dir, QByteArrayView line, bool own, int logLine,
              check::LineEnd end = check::LineEnd::Unknown);
    // The same; a command's text is then shared with `line`, not copied.
    void feed(check::Leg leg, check::Direction dir, const QByteArray &line, bool own, int logLine,
              check::LineEnd end = check::LineEnd::Unknown);
    // A leg's connection came or went: its stream starts afresh, outside a
    // session (the relay leg: in the server link's session).
    void connectionReset(check::Leg leg, int logLine = -1,
                         check::StreamStart start = check::StreamStart::Connection);
    // A finding of the traffic's source that its lines cannot show (bytes a
    // capture missed), at the line fed last.
    void reportSource(check::Leg leg, check::Rule rule, check::Severity severity, check::Party party,
                      const QString &text);
    // The end of a file's traffic: what is still open is reported.
    void finish();
    // The traffic log was emptied: no line refers into it any more.
    void logCleared();

    // Off, nothing is checked: the window's feed skips the inspector. Either
    // way both legs' streams start afresh, so that no transaction is left
    // open across the gap.
    void setLive(bool on);
    bool live() const { return live_; }

    void setRules(const check::RuleSet &rules);
    const check::RuleSet &rules() const { return checker_.rules(); }
    const check::ProtocolChecker &checker() const { return checker_; }

    // The lines of one burst arrived together: while the clock is held they
    // all get the time it was held at, read once.
    void holdClock() { heldUs_ = nowUs(); }
    void releaseClock() { heldUs_ = -1; }
    // Reading a file: the lines' times are the file's, set before each line
    // (-1: the line has none), and the clock stands at the latest of them.
    // `wallBaseMs`: the wall time of the file's time 0.
    void useFileClock(qint64 wallBaseMs)
    {
        fileClock_ = true;
        wallBaseMs_ = wallBaseMs;
    }
    void setFileTime(qint64 us)
    {
        fileUs_ = us;
        fileNowUs_ = qMax(fileNowUs_, us);
    }
    // The inspector's clock, in us since it was made, and wall time for it.
    qint64 nowUs() const { return fileClock_ ? fileNowUs_ : clock_.nsecsElapsed() / 1000; }
    qint64 wallMs(qint64 us) const { return wallBaseMs_ + us / 1000; }

    // Open transactions, in no particular order.
    int openCount() const { return int(open_.size()); }
    const TxnRow &openRow(int i) const;
    // Completed transactions by serial number, oldest first: serials from
    // completedBegin() up to completedEnd() are kept.
    quint64 completedBegin() const { return completedBase_; }
    quint64 completedEnd() const { return completedEnd_; }
    const TxnRow &completedRow(quint64 serial) const { return completed_[size_t(serial % MaxCompleted)]; }
    // A transaction's command line, open or completed, and the text of its
    // first error line after the tag (empty when none).
    QByteArray commandText(const TxnRow &row) const;
    QByteArray errorText(const TxnRow &row) const;
    // Findings the same way.
    quint64 findingsBegin() const { return findingsBase_; }
    quint64 findingsEnd() const { return findingsBase_ + findings_.size(); }
    const FindingRow &findingRow(quint64 serial) const { return findings_[size_t(serial - findingsBase_)]; }
    quint64 droppedFindings() const { return findingsBase_; }
    // Findings counted but never listed, because their rule was flooding.
    qint64 unlistedFindings() const { return checker_.findingCount() - qint64(findingsEnd()); }
    qint64 findingCount() const { return checker_.findingCount(); }
    // Of those, the ones that follow from an earlier finding, and the root
    // causes (the rest); by rule and severity as well.
    qint64 followOnCount() const { return checker_.followOnCount(); }
    qint64 rootCauseCount() const { return findingCount() - followOnCount(); }
    qint64 followOnCount(check::Rule r, check::Severity s) const
    {
        return followOnsBy_[size_t(r)][size_t(s)];
    }
    // Bumped whenever the open set or one of its rows changes.
    quint64 openGeneration() const { return openGeneration_; }

    // For the log view's gutter: the findings whose line at fault is this log
    // line (the kept ones), and the worst severity among them.
    QVector<LogLineFinding> findingsAtLogLine(int logLine) const;
    bool worstAtLogLine(int logLine, check::Severity *worst) const;

    // How the views name the line fed at `position` (a finding's line or
    // related line): "line 43" in the log's numbering, or why it has none.
    QString lineName(qint64 position) const;

    // Runs what the refresh timer would run now (the views' update).
    void flush();

Q_SIGNALS:
    // Something changed since the last signal; sent at most every RefreshMs.
    void updated();
    // Findings appeared for log lines in this range since the last signal.
    void logLineFindingsAdded(int firstLogLine, int lastLogLine);
    // Every log-line reference was dropped (the log was cleared).
    void logLinesForgotten();

private:
    struct LineRecord {
        qint64 position = -1;
        int logLine = -1;
        bool own = false;
        bool fromServer = false;
        bool isLine = true; // false for a connection reset
    };
    static constexpr int RecentLines = 1 << 16;

    void onFinding(const check::Finding &f);
    void onTransaction(check::TxnEvent event, const check::Transaction &t, qint64 position);
    const LineRecord *recent(qint64 position) const;
    // The checker's text with its stream positions ("line 12") named as the
    // log names the lines.
    QString numbered(const QString &text) const;
    void markFinding(check::Leg leg, const QByteArray &tag);
    void changed();
    static constexpr quint32 KeysPerLeg = check::TagKeyCount;
    static size_t openKey(check::Leg leg, quint32 key) { return size_t(leg) * KeysPerLeg + key; }

    bool live_ = true;
    check::ProtocolChecker checker_;
    QElapsedTimer clock_;
    qint64 wallBaseMs_ = 0;
    QTimer refresh_;
    qint64 position_ = 0; // of the line being fed
    qint64 timeUs_ = -1;
    qint64 heldUs_ = -1;
    bool fileClock_ = false;
    qint64 fileUs_ = -1, fileNowUs_ = 0;
    QByteArrayView current_;
    const QByteArray *currentBytes_ = nullptr; // the line being fed, when it came as a QByteArray
    bool lineFound_ = false; // a finding on the line being fed, before its row opens
    std::array<quint32, check::LegCount> lastOpened_{}; // each leg's newest command, +1; 0 for none
    qint64 floodWindowUs_ = 0; // start of the current second
    std::array<int, check::RuleCount> floodCount_{};
    bool muted_ = false; // some rule's details are off
    // Findings a rule may give in one second before the rest of that second
    // is only counted; INT_MAX for no limit.
    int floodLimit_ = FloodPerSecond;
    std::vector<LineRecord> recent_;

    mutable std::vector<TxnRow> open_; // openRow() brings a row's progress up to date
    // The open rows' texts, by the same index as open_.
    struct OpenText {
        QByteArray command, error;
    };
    std::vector<OpenText> openText_;
    const OpenText *openText(const TxnRow &row) const;
    std::vector<int> openSlot_; // openKey -> index in open_, -1 when not open
    // Open rows that are no command, by their line's position (they may share
    // a tag), and in the order they opened (closed ones are skipped there).
    QHash<qint64, int> otherSlot_;
    std::deque<qint64> otherOrder_;
    int openIndex(check::TxnKind kind, check::Leg leg, quint32 key, qint64 position) const;
    void setOpenIndex(const TxnRow &r, int index);
    QByteArray currentErrorText() const;
    void closeRow(int index, TxnRow done);
    quint64 openGeneration_ = 0;
    // The kept completed transactions: serial s in slot s % MaxCompleted.
    // Their texts are kept in completion order in a ring of bytes that has
    // room for MaxCompleted of the longest: a row and its text go together,
    // and dropping the oldest frees nothing line by line.
    std::vector<TxnRow> completed_;
    quint64 completedBase_ = 0, completedEnd_ = 0;
    static constexpr size_t TextRingSize = size_t(MaxCompleted) * (MaxCommandChars + MaxErrorChars);
    std::vector<char> textRing_;
    quint64 textWritten_ = 0;
    void keepText(TxnRow &row, const OpenText &text);
    void putText(QByteArrayView text);
    QByteArray ringText(quint64 at, qsizetype length) const;
    std::deque<FindingRow> findings_;
    quint64 findingsBase_ = 0;
    QMultiHash<int, quint64> byLogLine_; // log line -> finding serials
    std::array<std::array<qint64, 3>, check::RuleCount> followOnsBy_{};
    // The kept root cause at a line, for its follow-ons: a serial + 1, or 0.
    quint64 rootSerial(qint64 line, check::Rule rule) const;
    static constexpr int RootSearch = 1024; // findings looked back at for a root cause
    int addedFirst_ = -1, addedLast_ = -1;
};

} // namespace inspect
