#pragma once
// Helpers for the checker tests: run a file or a transcript through a checker
// and collect what it finds.

#include "check/logreader.h"
#include "check/protocolchecker.h"

#include <QBuffer>
#include <QFile>
#include <QVector>

#include <initializer_list>

// A transcript of "C: " and "S: " lines, one line each.
inline QByteArray Transcript(std::initializer_list<const char *> lines)
{
    QByteArray t;
    for (const char *l : lines)
        t += QByteArray(l) + '\n';
    return t;
}

struct CheckRun {
    QVector<check::Finding> findings;
    check::ReadResult result;
    std::unique_ptr<check::ProtocolChecker> checker;

    int count(check::Rule r) const
    {
        int n = 0;
        for (const auto &f : findings)
            n += f.rule == r;
        return n;
    }
    int count(check::Severity s) const
    {
        int n = 0;
        for (const auto &f : findings)
            n += f.severity == s;
        return n;
    }
    QString dump() const
    {
        QString s;
        for (const auto &f : findings)
            s += QStringLiteral("%1: %2 %3 %4\n")
                     .arg(f.line)
                     .arg(QLatin1String(check::RuleId(f.rule)),
                          QLatin1String(check::SeverityName(f.severity)), f.text);
        return s;
    }
};

inline CheckRun CheckDevice(QIODevice &dev, check::RuleSet rules = check::RuleSet(),
                            check::ReadOptions options = {})
{
    CheckRun run;
    run.checker = std::make_unique<check::ProtocolChecker>(rules);
    run.checker->setFindingHandler([&run](const check::Finding &f) { run.findings.append(f); });
    run.result = check::LogReader::Read(dev, *run.checker, options);
    return run;
}

inline CheckRun CheckText(const QByteArray &text, check::RuleSet rules = check::RuleSet(),
                          check::ReadOptions options = {})
{
    QBuffer buf;
    buf.setData(text);
    buf.open(QIODevice::ReadOnly);
    return CheckDevice(buf, rules, options);
}

// A transcript cut from the middle of a session.
inline CheckRun CheckMidSession(const QByteArray &text, check::RuleSet rules = check::RuleSet())
{
    check::ReadOptions options;
    options.midSession = true;
    return CheckText(text, rules, options);
}

inline CheckRun CheckFile(const QString &path, check::RuleSet rules = check::RuleSet())
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        CheckRun run;
        run.result.readError = true;
        return run;
    }
    return CheckDevice(f, rules);
}
