#pragma once
// The command catalogue: the methods each reading of the protocol knows, what
// their '#' lines carry and, where the standard fixes it, the shape of that
// data. The checker and torvane-check's help both read it.

#include "check/rules.h"

#include <QByteArray>
#include <QByteArrayView>

#include <vector>

namespace check {

// What a method's transaction carries between its '&' and its '%'.
enum class DataKind : quint8 {
    Unknown, // the standard leaves it open (or no public source says)
    None, // no '#' line
    Data, // at least one '#' line
    Daemon, // its events come as '#' lines with its tag after its '%'
    Report, // what the last OnPtMeasReport or OnScanReport asked for
};

// The shape of each data line, where the standard fixes it.
enum class DataShape : quint8 {
    Free, // not fixed
    Items, // the items the arguments name, in their order: Get(X(),Y()) -> X(..), Y(..)
    PtMeasReport, // the items of the last OnPtMeasReport
    ScanPoints, // values only, whole points of the last OnScanReport, several a line
    Bool, // Reply(0) or Reply(1)
    Call, // Reply(a, ...) with a fixed number of arguments
    Quoted, // one quoted string a line: "RefTool"
    Vectors, // three numbers for each vector the command gave, optionally in brackets
};

// The reading of the protocol a method first appeared in.
enum class Since : quint8 { V143, V2 };

struct MethodInfo {
    const char *name;
    DataKind kind;
    DataShape shape;
    bool event; // an event command: it goes with an event tag to the fast queue
    const char *reply; // Bool and Call: the reply's name ("IsHomed"); "" otherwise
    // Call: the reply's argument count (-1 any). Vectors: the command's
    // arguments for each vector (AlignTool: i, j, k and an angle, 4).
    qint8 count;
    Since since;
    const char *source; // where its data kind comes from
};

// The method `name` as `profile` knows it; nullptr when the profile does not.
const MethodInfo *FindMethod(QByteArrayView name, Profile profile);
// Every method `profile` knows, sorted by name.
std::vector<const MethodInfo *> Catalogue(Profile profile);
// A vendor's method in its own name space: two upper-case letters and a dot
// ("CZ.ScanSpecial"), as the standard reserves them.
bool IsVendorMethod(QByteArrayView name);
// The data a method returns, in words: "IsHomed(Bool)", "values of the last
// OnScanReport, whole points", "none".
QByteArray DataDescription(const MethodInfo &m);

// The number of values one scan point holds for an OnScanReport argument
// list: IJK() holds three, every other item one. 0 for an empty list.
int ScanPointValues(QByteArrayView reportArguments);

} // namespace check
