#pragma once
// What a command asks for and what a data line holds: argument lists, item
// names and values, and the fixed shapes of the catalogue's replies.

#include "check/catalogue.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

namespace check {

// Nothing but blanks (or nothing at all).
bool IsBlank(QByteArrayView s);

// The text between a command's first '(' and its last ')', or empty.
QByteArrayView ArgsOf(QByteArrayView command);

// The item names of a list such as "X(1), Y(2), Tool.A()": "X,Y,Tool.A".
// Commas inside brackets or quotes do not split.
QByteArray ItemNames(QByteArrayView list);
// Whether the list's item names are `names` ("X,Y,Z"), without building them.
bool HasItemNames(QByteArrayView list, QByteArrayView names);

// The values of a list, split at commas outside brackets and quotes; 0 for a
// blank list.
qsizetype CountValues(QByteArrayView list);

// A data line against the fixed shape of its method (Bool, Call, Quoted,
// Vectors): empty when it fits, else what is wrong. `vectors` is the number
// of vectors the command gave (Vectors only).
QString ShapeMismatch(const MethodInfo &m, QByteArrayView body, int vectors);

// Printable text of protocol bytes for findings: other bytes as \xNN, cut
// after `max` characters.
QString Printable(QByteArrayView s, int max = 40);

} // namespace check
