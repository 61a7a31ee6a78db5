#pragma once
// Scripted faults: a JSON file of rules, each a match on the command and
// one action on its answer. They apply to a planned answer (the lines a
// server is about to send for one command, with their delays), so that the
// replayed server and the demo server share them.
//
//     [ {"match": "^GoTo", "nth": 3,
//        "action": "error", "severity": 1, "number": 1008, "text": "Machine in error state"} ]

#include <QByteArray>
#include <QRegularExpression>
#include <QString>

#include <vector>

namespace replay {

struct PlannedLine {
    QByteArray line; // the whole line, tag included
    qint64 delayUs = 0; // from the command
};

// One command's answer.
struct FaultPlan {
    QByteArray tag;
    std::vector<PlannedLine> lines; // in the order they go out
    std::vector<PlannedLine> events; // on their own time, outside the order
    bool close = false; // the connection is closed instead
};

class FaultScript {
public:
    enum class Action { DelayAck, DelayDone, Error, Drop, Insert, Event, Close, Silence };
    struct Rule {
        QRegularExpression match;
        int nth = 0; // 0: every match; n: the n-th only
        Action action = Action::Error;
        qint64 ms = 0;
        int severity = 1, number = 0;
        QByteArray text; // the error's text, or the event line
        QList<QByteArray> data; // lines to insert
        int seen = 0; // matches so far
    };

    // Reads the file; false with `error` naming the file, the rule and the
    // field that can't be read.
    bool load(const QString &path, QString *error);
    bool loadJson(const QByteArray &json, const QString &name, QString *error);
    bool isEmpty() const { return rules.empty(); }

    // Applies every rule that matches `command` (the text after the tag) at
    // this occurrence; true when one did.
    bool apply(QByteArrayView command, FaultPlan &plan);

private:
    std::vector<Rule> rules;
};

} // namespace replay
