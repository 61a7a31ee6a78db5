#include "replay/faults.h"

#include "replay/match.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace replay {

namespace {

struct ActionName {
    const char *name;
    FaultScript::Action action;
};

const ActionName Actions[] = {
    {"delay-ack", FaultScript::Action::DelayAck}, {"delay-done", FaultScript::Action::DelayDone},
    {"error", FaultScript::Action::Error},        {"drop", FaultScript::Action::Drop},
    {"insert", FaultScript::Action::Insert},      {"event", FaultScript::Action::Event},
    {"close", FaultScript::Action::Close},        {"silence", FaultScript::Action::Silence},
};

} // namespace

bool FaultScript::load(const QString &path, QString *error)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("%1: %2").arg(path, f.errorString());
        return false;
    }
    return loadJson(f.readAll(), path, error);
}

bool FaultScript::loadJson(const QByteArray &json, const QString &name, QString *error)
{
    QJsonParseError pe;
    const QJsonDocument doc = QJsonDocument::fromJson(json, &pe);
    if (pe.error != QJsonParseError::NoError) {
        *error =
            QStringLiteral("%1: not JSON at offset %2: %3").arg(name).arg(pe.offset).arg(pe.errorString());
        return false;
    }
    const QJsonArray list =
        doc.isArray() ? doc.array() : doc.object().value(QLatin1String("rules")).toArray();
    if (!doc.isArray() && !doc.object().value(QLatin1String("rules")).isArray()) {
        *error = QStringLiteral("%1: a list of rules, or an object with \"rules\", is wanted").arg(name);
        return false;
    }
    rules.clear();
    for (int i = 0; i < list.size(); ++i) {
        auto fail = [&](const char *field, const QString &why) {
            *error = QStringLiteral("%1: rule %2: field \"%3\": %4")
                         .arg(name)
                         .arg(i + 1)
                         .arg(QLatin1String(field), why);
            rules.clear();
            return false;
        };
        if (!list[i].isObject())
            return fail("", QStringLiteral("a rule is an object"));
        const QJsonObject o = list[i].toObject();
        Rule r;
        const QJsonValue match = o.value(QLatin1String("match"));
        if (!match.isString())
            return fail("match", QStringLiteral("a regular expression is wanted"));
        r.match.setPattern(match.toString());
        if (!r.match.isValid())
            return fail("match", QStringLiteral("bad regular expression: %1").arg(r.match.errorString()));
        if (o.contains(QLatin1String("nth"))) {
            const int n = o.value(QLatin1String("nth")).toInt(0);
            if (n < 1)
                return fail("nth", QStringLiteral("a count from 1 is wanted"));
            r.nth = n;
        }
        const QString action = o.value(QLatin1String("action")).toString();
        bool known = false;
        for (const ActionName &a : Actions)
            if (action == QLatin1String(a.name)) {
                r.action = a.action;
                known = true;
            }
        if (!known)
            return fail(
                "action",
                QStringLiteral("unknown action \"%1\" (delay-ack, delay-done, error, drop, insert, event, "
                               "close, silence)")
                    .arg(action));
        auto number = [&](const char *field, qint64 *into, qint64 lo, qint64 hi) {
            const QJsonValue v = o.value(QLatin1String(field));
            if (!v.isDouble() || v.toDouble() < double(lo) || v.toDouble() > double(hi))
                return fail(field, QStringLiteral("a number from %1 to %2 is wanted").arg(lo).arg(hi));
            *into = qint64(v.toDouble());
            return true;
        };
        qint64 v = 0;
        switch (r.action) {
        case Action::DelayAck:
        case Action::DelayDone:
            if (!number("ms", &r.ms, 0, 3600000))
                return false;
            break;
        case Action::Error:
            if (!number("severity", &v, 0, 9))
                return false;
            r.severity = int(v);
            if (!number("number", &v, 0, 9999))
                return false;
            r.number = int(v);
            if (!o.value(QLatin1String("text")).isString())
                return fail("text", QStringLiteral("the error's text is wanted"));
            r.text = o.value(QLatin1String("text")).toString().toLatin1();
            break;
        case Action::Insert: {
            const QJsonValue d = o.value(QLatin1String("data"));
            if (!d.isArray() || d.toArray().isEmpty())
                return fail("data", QStringLiteral("a list of data lines is wanted"));
            for (const QJsonValue &l : d.toArray()) {
                if (!l.isString())
                    return fail("data", QStringLiteral("each data line is a string"));
                r.data.append(l.toString().toLatin1());
            }
            break;
        }
        case Action::Event:
            if (!o.value(QLatin1String("line")).isString())
                return fail("line", QStringLiteral("the event line is wanted"));
            r.text = o.value(QLatin1String("line")).toString().toLatin1();
            if (!r.text.startsWith('E'))
                r.text = "E0000 " + r.text;
            if (o.contains(QLatin1String("ms")) && !number("ms", &r.ms, 0, 3600000))
                return false;
            break;
        default:
            break;
        }
        rules.push_back(std::move(r));
    }
    return true;
}

bool FaultScript::apply(QByteArrayView command, FaultPlan &plan)
{
    bool any = false;
    const QString text = QString::fromLatin1(command);
    for (Rule &r : rules) {
        if (!r.match.match(text).hasMatch())
            continue;
        ++r.seen;
        if (r.nth != 0 && r.seen != r.nth)
            continue;
        any = true;
        auto typeOf = [](const PlannedLine &l) { return l.line.size() >= 7 ? l.line[6] : '\0'; };
        auto beforeDone = [&] {
            auto it = plan.lines.begin();
            while (it != plan.lines.end() && typeOf(*it) != '%')
                ++it;
            return it;
        };
        const qint64 us = r.ms * 1000;
        switch (r.action) {
        case Action::DelayAck:
            // Everything after waits as long: the order stays.
            for (PlannedLine &l : plan.lines)
                l.delayUs += us;
            break;
        case Action::DelayDone:
            for (auto it = beforeDone(); it != plan.lines.end(); ++it)
                it->delayUs += us;
            break;
        case Action::Error:
        case Action::Drop:
        case Action::Insert: {
            qint64 at = 0;
            std::vector<PlannedLine> kept;
            for (const PlannedLine &l : plan.lines) {
                const char t = typeOf(l);
                if (t == '#' || (t == '!' && r.action == Action::Error)) {
                    at = qMax(at, l.delayUs);
                    if (r.action != Action::Insert)
                        continue;
                }
                kept.push_back(l);
            }
            plan.lines = std::move(kept);
            auto it = beforeDone();
            const qint64 delay = it != plan.lines.end() ? it->delayUs : at;
            if (r.action == Action::Error) {
                const QByteArray method = MethodName(command);
                plan.lines.insert(it,
                                  {plan.tag + " ! Error(" + QByteArray::number(r.severity) + ", "
                                       + QByteArray::number(r.number).rightJustified(4, '0') + ", " + method
                                       + ", \"" + r.text + "\")",
                                   delay});
            } else if (r.action == Action::Insert) {
                std::vector<PlannedLine> add;
                for (const QByteArray &d : r.data)
                    add.push_back({plan.tag + " # " + d, delay});
                plan.lines.insert(it, add.begin(), add.end());
            }
            break;
        }
        case Action::Event:
            plan.events.push_back({r.text, us});
            break;
        case Action::Close:
            plan.close = true;
            plan.lines.clear();
            break;
        case Action::Silence:
            plan.lines.clear();
            break;
        }
    }
    return any;
}

} // namespace replay
