#pragma once
// What the command-line checkers print: the findings' JSON records, the
// end-of-run summary with its timing table, the JSON report, and the rule
// options they share. torvane-check prints it for each file it reads,
// torvane-tap for the traffic it relayed.

#include "check/logreader.h"
#include "check/protocolchecker.h"

#include <QByteArray>
#include <QCommandLineOption>
#include <QList>
#include <QString>

#include <QHash>
#include <QPair>
#include <QVector>

#include <cstdio>
#include <deque>
#include <functional>

class QCommandLineParser;

namespace check {

QByteArray JsonString(QByteArrayView s);
// Microseconds as milliseconds, "-" when unknown.
QByteArray Ms(qint64 us);

struct Options {
    RuleSet rules;
    ReadOptions read;
    bool json = false;
    Severity failOn = Severity::Error;
    qint64 maxPerRule = -1;
};

class Output {
public:
    explicit Output(FILE *f) : f_(f) { }
    // Into memory, for a part written later.
    explicit Output(QByteArray *buffer) : buffer_(buffer) { }
    void put(const QByteArray &s)
    {
        if (buffer_)
            buffer_->append(s);
        else
            std::fwrite(s.constData(), 1, size_t(s.size()), f_);
    }
    void flush()
    {
        if (f_)
            std::fflush(f_);
    }

private:
    FILE *f_ = nullptr;
    QByteArray *buffer_ = nullptr;
};

// --profile, --enable, --disable and --fail-on.
struct RuleOptions {
    RuleOptions();
    QList<QCommandLineOption> list() const { return {profile, enable, disable, failOn}; }
    // Fills `opt.rules` and `opt.failOn`; false with `error` set on a bad value.
    bool read(const QCommandLineParser &parser, Options &opt, QString *error) const;

    QCommandLineOption profile, enable, disable, failOn;
};

// The rules and profiles, for --help.
QString RulesHelp();

// One finding as a record of the JSON report's "findings" array; a follow-on
// names its root cause: "cause": {"rule": "R-TAG-UNIQUE", "line": 51}.
// `lineKey` names the positions ("frame" for a capture).
QByteArray FindingJson(const Finding &f, const char *lineKey = "line");

// Findings in the order to print them: each follow-on right under its root
// cause. A root cause waits until `window` findings wait behind it, or the
// end, so that the follow-ons found after it can join it; a follow-on whose
// root cause was printed already goes out on its own, in its turn. Memory
// stays within the window however many findings come.
class FindingGroups {
public:
    // `under`: a follow-on printed under its root cause.
    using Print = std::function<void(const Finding &f, bool under)>;
    explicit FindingGroups(Print print, int window = 2000) : print_(std::move(print)), window_(window) { }
    ~FindingGroups() { flush(); }
    FindingGroups(const FindingGroups &) = delete;
    FindingGroups &operator=(const FindingGroups &) = delete;

    void add(const Finding &f);
    void flush();

private:
    struct Group {
        Finding head; // a root cause, or a follow-on whose root cause went out
        QVector<Finding> followOns;
    };
    void printOldest();
    Print print_;
    int window_;
    std::deque<Group> groups_;
    qint64 firstGroup_ = 0; // the number of groups_.front()
    qint64 waiting_ = 0; // findings held
    // A root cause by (line, rule), to the number of its group.
    QHash<QPair<qint64, int>, qint64> roots_;
};

// The outcome of a run: 0, 1 or 2 (see torvane-check), and the problem that
// made it 2, if any.
int RunStatus(const ReadResult &r, const ProtocolChecker &checker, Severity failOn, QByteArray *problem);

// The rest of a file's JSON record after its findings (`firstFinding`: none
// was written).
void PutJsonTail(Output &out, const ProtocolChecker &checker, const ReadResult &r, const QByteArray &problem,
                 int status, bool firstFinding);

// The summary: the findings by rule, the timing per method, the legs and
// the errors the server reported.
void PutSummary(Output &out, const QByteArray &name, const ProtocolChecker &checker, const ReadResult &r,
                const Options &opt);
// The same without its first line (what was read): for a source that says
// that its own way.
void PutSummaryBody(Output &out, const ProtocolChecker &checker, const Options &opt);

} // namespace check
