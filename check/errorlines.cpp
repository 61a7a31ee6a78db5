// The protocol checker: the server's error lines and what they abort.

#include "check/legstate.h"

#include <cstring>

namespace check {

namespace {

struct ErrorFields {
    QByteArrayView f1, f2, f3, text; // severity, number, method, text
};

// The four fields of "Error(F1, F2, F3, \"Text\")"; nullptr when the body is
// of that form, else what is wrong with it.
const char *SplitErrorLine(QByteArrayView body, ErrorFields *out)
{
    const QByteArrayView b = body.trimmed();
    if (!b.startsWith("Error(") || !b.endsWith(')'))
        return "error line not of the form Error(F1, F2, F3, \"Text\")";
    const QByteArrayView inner = b.sliced(6, b.size() - 7);
    const qsizetype c1 = inner.indexOf(',');
    const qsizetype c2 = c1 < 0 ? -1 : inner.indexOf(',', c1 + 1);
    const QByteArrayView trimmedInner = inner.trimmed();
    qsizetype textStart = -1;
    if (trimmedInner.endsWith('"') && trimmedInner.size() >= 2) {
        const qsizetype closeQuote = inner.lastIndexOf('"');
        textStart = inner.lastIndexOf('"', closeQuote - 1);
    }
    if (c2 < 0 || textStart <= c2)
        return "error line without the four fields F1, F2, F3 and \"Text\"";
    QByteArrayView f3 = inner.sliced(c2 + 1, textStart - c2 - 1).trimmed();
    if (!f3.endsWith(','))
        return "no comma before the error text";
    f3.chop(1);
    out->f1 = inner.first(c1).trimmed();
    out->f2 = inner.sliced(c1 + 1, c2 - c1 - 1).trimmed();
    out->f3 = f3.trimmed();
    out->text = inner.sliced(textStart + 1, inner.lastIndexOf('"') - textStart - 1);
    return nullptr;
}

} // namespace

// ---------------------------------------------------------------- errors

void ProtocolChecker::onErrorLine(LegState &s, Transaction *txn, QByteArrayView tag, QByteArrayView body,
                                  qint64 t, qint64 pos, bool answersMalformed)
{
    ++s.totals.errorLines;
    if (txn)
        ++txn->errorLines;
    const qint64 related = txn ? txn->commandLine : -1;
    ErrorFields fields;
    if (const char *why = SplitErrorLine(body, &fields)) {
        report(s, Rule::ErrorFormat, Severity::Error, tag, pos, related, QLatin1String(why));
        if (answersMalformed)
            closeMalformed(s, t, pos, true);
        return;
    }
    const QByteArrayView f1 = fields.f1, f2 = fields.f2, text = fields.text;
    int sev = -1;
    if (f1.size() == 1 && IsDigit(f1[0]))
        sev = f1[0] - '0';
    if (!SeverityMeaning(sev) || (sev == 0 && !rules_.acceptsSeverityZero())) {
        report(s, Rule::ErrorFormat, Severity::Error, tag, pos, related,
               [&] { return QStringLiteral("\"%1\" is no valid severity").arg(Printable(f1)); });
        sev = -1;
    }
    int number = -1;
    if (f2.size() == 4 && IsDigit(f2[0]) && IsDigit(f2[1]) && IsDigit(f2[2]) && IsDigit(f2[3]))
        number = QByteArray(f2.data(), 4).toInt();
    else
        report(s, Rule::ErrorFormat, Severity::Error, tag, pos, related,
               [&] { return QStringLiteral("\"%1\" is no four-digit error number").arg(Printable(f2)); });
    if (number >= 0)
        checkErrorText(s, number, sev, f2, text, tag, pos, related);

    // "Illegal tag" or "No space at pos. 6" answers a line that could not be
    // tagged: it closes that line's record (or the command the server could
    // not read). So does any error under a malformed line's own tag.
    const bool tagError = number == 1 || number == 2 || EqualsNoCase(text, "Illegal tag")
        || EqualsNoCase(text, "No space at pos. 6");
    qint64 answers = -1;
    Rule answersRoot = Rule::TagFormat;
    if (!txn && (tagError || answersMalformed)) {
        if (!s.malformed.empty()) {
            answers = s.malformed.front().txn.commandLine;
            answersRoot = s.malformed.front().root;
            closeMalformed(s, t, pos, true);
        } else if (s.awaiting) {
            const OpenTxn *o = s.open.find(s.awaitKey);
            if (o && o->seq == s.awaitSeq && o->t.state == TxnState::Sent) {
                s.mark[s.awaitKey] = TagMark::ClosedQuietly;
                s.closedAt[s.awaitKey] = pos;
                dropTxn(s, s.awaitKey);
            }
            s.awaiting = false;
        }
    }

    if (sev >= 0 && NeedsClearAllErrors(sev, rules_)) {
        s.errorState = true;
        s.errorLine = pos;
        s.errorFromMalformed = answers;
        s.errorFromRule = answersRoot;
        abortPendingCommands(s, txn ? txn->key : 0, AbortMode::ByError);
    }
}

// R-ERROR-TEXT: the table's text and default severity, or a number of the
// right range.
void ProtocolChecker::checkErrorText(LegState &s, int number, int sev, QByteArrayView f2, QByteArrayView text,
                                     QByteArrayView tag, qint64 pos, qint64 related)
{
    ErrorSeen &seen = errors_[number * 16 + (sev < 0 ? 15 : sev)];
    if (errors_.size() > MaxErrorsSeen)
        errors_.clear();
    seen.number = number;
    seen.severity = sev;
    ++seen.count;
    const ErrorDecoding d = DecodeErrorNumber(number);
    if (d.text) {
        if (text != QByteArrayView(d.text)) {
            if (EqualsNoCase(text, QByteArrayView(d.text)))
                report(s, Rule::ErrorText, Severity::Note, tag, pos, related, [&] {
                    return QStringLiteral("error %1 text \"%2\" differs from \"%3\" in letter case")
                        .arg(QString::fromLatin1(f2), Printable(text, 80), QLatin1String(d.text));
                });
            else
                report(s, Rule::ErrorText, Severity::Error, tag, pos, related, [&] {
                    return QStringLiteral("error %1 text \"%2\" is not \"%3\"")
                        .arg(QString::fromLatin1(f2), Printable(text, 80), QLatin1String(d.text));
                });
        }
        if (sev >= 0 && sev != d.defaultSeverity)
            report(s, Rule::ErrorText, Severity::Warning, tag, pos, related, [&] {
                return QStringLiteral("error %1 with severity %2; its default is %3")
                    .arg(QString::fromLatin1(f2))
                    .arg(sev)
                    .arg(d.defaultSeverity);
            });
    } else if (number < 3000 || d.reserved) {
        report(s, Rule::ErrorText, Severity::Warning, tag, pos, related, [&] {
            return QStringLiteral("error %1 is no predefined error (%2 range)")
                .arg(QString::fromLatin1(f2), QLatin1String(d.owner));
        });
    } else if (number < 5000) {
        report(s, Rule::ErrorText, Severity::Warning, tag, pos, related, [&] {
            return QStringLiteral("error %1 lies in an unassigned range").arg(QString::fromLatin1(f2));
        });
    }
}

// Closes every open command transaction but `exceptKey`, as the server aborts
// them: by an error their remains may still follow; by AbortE's '%' nothing
// may. Walks the open commands only.
void ProtocolChecker::abortPendingCommands(LegState &s, quint32 exceptKey, AbortMode mode)
{
    if (s.open.commands.isEmpty())
        return;
    const TagMark mark = mode == AbortMode::ByError ? TagMark::ClosedQuietly : TagMark::ClosedByAbort;
    for (quint32 key : s.open.commands.keys()) {
        if (key == exceptKey)
            continue;
        s.open.commands.find(key)->t.state = TxnState::Aborted;
        ++s.totals.aborted;
        s.mark[key] = mark;
        dropTxn(s, key);
    }
}

} // namespace check
