#pragma once
// How a replayed command is held against a recorded one, and a reply line
// against a recorded reply line: blanks outside quotes don't count, and
// numbers may differ by a tolerance.

#include <QByteArray>
#include <QByteArrayView>

namespace replay {

// The command without its blanks outside quoted strings.
QByteArray Normalise(QByteArrayView text);
// The same, sharing `text` when it has no such blank.
QByteArray Normalise(const QByteArray &text);
inline QByteArray Normalise(const char *text)
{
    return Normalise(QByteArrayView(text));
}
// The method name: what comes before the first '(' (blanks left out).
QByteArray MethodName(QByteArrayView command);
// Two texts, each normalised, are the same apart from numbers that differ by
// at most `tolerance` (0: equal in value, so "10" and "10.0" are the same).
// Quoted strings are compared as they are.
bool SameText(QByteArrayView a, QByteArrayView b, double tolerance);
// The command moves the machine (or a tool): client replay asks first.
bool IsMotion(QByteArrayView method);
// The severity of an error line's body ("! Error(3, 0501, ...)"), -1 when
// the body is no error.
int ErrorSeverity(QByteArrayView body);

} // namespace replay
