#include "check/rules.h"

#include <cstring>

namespace check {

namespace {

constexpr RuleInfo Rules[RuleCount] = {
    {Rule::Charset, "R-CHARSET", "bytes 32-126 only; CR LF only as the line end"},
    {Rule::Crlf, "R-CRLF", "a line ends in CR LF: no bare LF, lone CR or LF CR"},
    {Rule::Length, "R-LENGTH", "a line holds at most 65536 characters"},
    {Rule::TagFormat, "R-TAG-FORMAT", "tag 00001-99999 or E0001-E9999, then a blank in column 6"},
    {Rule::TagUnique, "R-TAG-UNIQUE", "a tag is used again only after its transaction's '%'"},
    {Rule::EventTag, "R-EVENT-TAG", "event commands (name ending in E) and only they use event tags"},
    {Rule::E0000, "R-E0000", "E0000 is the server's, for events and errors; it completes nothing"},
    {Rule::ReplyFormat, "R-REPLY-FORMAT", "reply: tag, blank, & # ! or %; '&' and '%' carry nothing else"},
    {Rule::ErrorFormat, "R-ERROR-FORMAT", "error line: ! Error(F1, F2, F3, \"Text\") with valid F1 and F2"},
    {Rule::Order, "R-ORDER", "'&' first, then '#' and '!', then '%'; nothing before '&' or after '%'"},
    {Rule::AckFirst, "R-ACK-FIRST", "next command only after the '&' (StartSession: the '%') of the last"},
    {Rule::Overlap, "R-OVERLAP", "no '#', '!' or '%' of a later transaction before an earlier one's '%'"},
    {Rule::UnknownTag, "R-UNKNOWN-TAG", "every reply belongs to a command sent on this leg (E0000 aside)"},
    {Rule::Data, "R-DATA", "commands without data get no '#'; data commands get theirs"},
    {Rule::DataMatch, "R-DATA-MATCH", "Get and PtMeas data hold exactly the items asked for, in order"},
    {Rule::ErrorState, "R-ERROR-STATE",
     "after a grave error only GetErrStatusE, GetXtdErrStatus, ClearAllErrors"},
    {Rule::ErrorText, "R-ERROR-TEXT", "error text and severity as in the table of predefined errors"},
    {Rule::Session, "R-SESSION",
     "commands inside a session; no nested StartSession; no events after EndSession"},
    {Rule::Abort, "R-ABORT", "AbortE completes last; nothing sent until then; then ClearAllErrors"},
    {Rule::Daemon, "R-DAEMON", "no events after StopDaemon; OnMoveReportE at most 10 a second, Time >= 0.1"},
    {Rule::OpenLimit, "R-OPEN-LIMIT", "too many transactions left open on a leg; the oldest are dropped"},
};

bool EqualsNoCase(QByteArrayView a, const char *b)
{
    const size_t n = std::strlen(b);
    if (size_t(a.size()) != n)
        return false;
    for (size_t i = 0; i < n; ++i) {
        char x = a[qsizetype(i)], y = b[i];
        if (x >= 'a' && x <= 'z')
            x = char(x - 32);
        if (y >= 'a' && y <= 'z')
            y = char(y - 32);
        if (x != y)
            return false;
    }
    return true;
}

struct TableEntry {
    int number;
    int severity;
    const char *text;
};

// The predefined errors and their default severities.
constexpr TableEntry ErrorTable[] = {
    {0, 0, "Buffer full"},
    {1, 2, "Illegal tag"},
    {2, 2, "No space at pos. 6"},
    {3, 2, "Reserved"},
    {4, 2, "Reserved"},
    {5, 2, "Reserved"},
    {6, 2, "Transaction aborted (Use ClearAllErrors To Continue)"},
    {7, 3, "Illegal character"},
    {8, 3, "Protocol error"},
    {500, 3, "Emergency stop"},
    {501, 3, "Unsupported command"},
    {502, 3, "Incorrect arguments"},
    {503, 9, "Controller communications failure"},
    {504, 1, "Argument out of range"},
    {505, 3, "Argument not recognized"},
    {506, 3, "Argument not supported"},
    {507, 3, "Illegal command"},
    {508, 3, "Bad context"},
    {509, 3, "Bad argument"},
    {510, 3, "Bad property"},
    {511, 3, "Error processing method"},
    {512, 1, "No daemons are active"},
    {513, 2, "Daemon does not exist"},
    {514, 2, "Use ClearAllErrors to continue"},
    {515, 2, "Daemon already exists"},
    {1000, 3, "Machine in error state"},
    {1001, 2, "Illegal touch"},
    {1002, 9, "Axis does not exist"},
    {1003, 2, "No touch"},
    {1004, 9, "Number of angles not supported on current device"},
    {1005, 3, "Error during home"},
    {1006, 2, "Surface not found"},
    {1007, 3, "Theta out of range"},
    {1008, 3, "Target position out of machine volume"},
    {1009, 3, "Air pressure out of range"},
    {1010, 2, "Vector has no norm"},
    {1011, 2, "Unable to move"},
    {1012, 2, "Bad lock combinations"},
    {1500, 3, "Failed to re-seat head"},
    {1501, 3, "Probe not armed"},
    {1502, 3, "Tool not found"},
    {1503, 3, "Tool not defined"},
    {2000, 3, "Tool not calibrated"},
    {2001, 2, "Head error excessive force"},
    {2002, 3, "Type of probe does not allow this operation"},
    {2500, 3, "Machine limit encountered [Move Out Of Limits]"},
    {2501, 3, "Axis not active"},
    {2502, 3, "Axis position error"},
    {2503, 9, "Scale read head failure"},
    {2504, 3, "Collision"},
    {2505, 2, "Specified angle out of range"},
    {2506, 2, "Part not aligned"},
};

} // namespace

const RuleInfo &InfoFor(Rule rule)
{
    return Rules[size_t(rule) < size_t(RuleCount) ? size_t(rule) : 0];
}
const char *RuleId(Rule rule)
{
    return InfoFor(rule).id;
}

std::optional<Rule> RuleFromId(QByteArrayView id)
{
    id = id.trimmed();
    for (const RuleInfo &info : Rules) {
        if (EqualsNoCase(id, info.id) || EqualsNoCase(id, info.id + 2))
            return info.rule;
    }
    return std::nullopt;
}

const char *SeverityName(Severity s)
{
    switch (s) {
    case Severity::Note:
        return "note";
    case Severity::Warning:
        return "warning";
    case Severity::Error:
        return "error";
    }
    return "error";
}

std::optional<Severity> SeverityFromName(QByteArrayView name)
{
    for (Severity s : {Severity::Note, Severity::Warning, Severity::Error})
        if (EqualsNoCase(name, SeverityName(s)))
            return s;
    return std::nullopt;
}

const char *ProfileName(Profile p)
{
    switch (p) {
    case Profile::Spec143:
        return "1.4.3";
    case Profile::Nist:
        return "nist";
    case Profile::V2:
        return "2.x";
    }
    return "1.4.3";
}

std::optional<Profile> ProfileFromName(QByteArrayView name)
{
    for (Profile p : {Profile::Spec143, Profile::Nist, Profile::V2})
        if (EqualsNoCase(name, ProfileName(p)))
            return p;
    if (EqualsNoCase(name, "2") || EqualsNoCase(name, "2.0"))
        return Profile::V2;
    return std::nullopt;
}

RuleSet::RuleSet()
{
    enabled.fill(true);
}
RuleSet::RuleSet(Profile p) : profile(p)
{
    enabled.fill(true);
}

ErrorDecoding DecodeErrorNumber(int number)
{
    ErrorDecoding d;
    d.number = number;
    if (number < 0 || number > 9999) {
        d.owner = "invalid";
        return d;
    }
    if (number < 500)
        d.owner = "protocol and syntax";
    else if (number < 1000)
        d.owner = "DME";
    else if (number < 1500)
        d.owner = "Cartesian CMM";
    else if (number < 2000)
        d.owner = "tool changer";
    else if (number < 2500)
        d.owner = "tool";
    else if (number < 3000)
        d.owner = "axis";
    else if (number < 5000)
        d.owner = "unassigned";
    else if (number < 8000) {
        d.owner = "reserved";
        d.reserved = true;
    } else if (number < 9000)
        d.owner = "server-defined";
    else
        d.owner = "client-defined";
    for (const TableEntry &e : ErrorTable) {
        if (e.number == number) {
            d.text = e.text;
            d.defaultSeverity = e.severity;
            d.reserved = d.reserved || std::strcmp(e.text, "Reserved") == 0;
            break;
        }
    }
    return d;
}

const char *SeverityMeaning(int f1)
{
    switch (f1) {
    case 0:
        return "information";
    case 1:
        return "warning";
    case 2:
        return "error the client can repair";
    case 3:
        return "error that needs the user";
    case 9:
        return "fatal error";
    default:
        return nullptr;
    }
}

bool NeedsClearAllErrors(int f1, const RuleSet &rules)
{
    return SeverityMeaning(f1) && f1 >= rules.errorStateSeverity();
}

} // namespace check
