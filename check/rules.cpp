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
    {Rule::OpenLimit, "R-OPEN-LIMIT",
     "too many transactions left open on a leg; the oldest are set aside, their tags still checked"},
    {Rule::Method, "R-METHOD", "a method the profile's catalogue does not know (vendor XX.Name aside)"},
    {Rule::CaptureGap, "R-CAPTURE-GAP", "bytes the capture missed; that side is taken up at its next line"},
    {Rule::CaptureDiff, "R-CAPTURE-DIFF", "a retransmitted copy differs from the first, which is kept"},
};

// Who breaks each rule, what it does to a real controller, and what to change.
constexpr Explanation Explanations[RuleCount] = {
    {"Either side: the line at fault names it. Usually a client that builds lines from "
     "unchecked text, or a server that passes on a byte from its controller.",
     "Controllers reject the line with error 0007 \"Illegal character\" or cut it at the odd byte; "
     "a NUL often ends the line early in C-based servers.",
     "Send only printable ASCII (32-126); end each line with CR LF and nothing else."},
    {"Either side: whoever wrote the line with the wrong end.",
     "A server that splits on CR LF sees two lines glued together, or waits for a line that never "
     "ends; its reply then comes late or as error 0008 \"Protocol error\".",
     "End every line with CR followed by LF; no bare LF, lone CR or LF CR."},
    {"Either side: the line at fault is too long.",
     "Servers and relays read lines into fixed buffers: a longer line is cut, rejected, or closes "
     "the connection.",
     "Keep lines within 65,536 characters: split long scans over several data lines."},
    {"The client, for commands; the server, for replies.",
     "The server cannot tag its answer: it replies E0000 with error 0001 \"Illegal tag\" or 0002 "
     "\"No space at pos. 6\", and the client waits for an answer that never comes.",
     "Use five-digit tags 00001-99999 (event tags E0001-E9999) and a blank in column 6."},
    {"The client: it used a tag again while the server still worked on it.",
     "The server can no longer tell the two transactions apart: replies go to the wrong command, "
     "and many controllers reject the second one.",
     "Reuse a tag only after its '%'. Count tags up and skip those still open."},
    {"The client: an event command without an event tag, or an event tag on a normal command.",
     "Event commands go to the server's fast queue by their tag; with the wrong tag they wait "
     "behind a slow move, or the server answers error 0001.",
     "Send the commands ending in E (AbortE, GetErrStatusE, OnMoveReportE, GetPropE) with E0001-"
     "E9999 tags, and only those."},
    {"The server: E0000 belongs to unsolicited events and errors and never completes.",
     "A client that waits for a transaction on E0000 hangs; one that counts it as an answer "
     "loses track of its commands.",
     "Send '&' and '%' only with the command's own tag; use E0000 only for '#' and '!' lines."},
    {"The server, usually: a reply line without tag, blank and one of & # ! %.",
     "Clients parse replies by position; a malformed one is dropped or taken as another type, "
     "and the transaction never completes on the client's side.",
     "Write tag, blank, type; put data only on '#' and '!' lines, nothing after '&' and '%'."},
    {"The server: an error line not of the form Error(F1, F2, F3, \"Text\").",
     "The client cannot tell how grave the error is, so it cannot decide whether ClearAllErrors "
     "is needed: it stops or carries on wrongly.",
     "Write ! Error(severity, four-digit number, method, \"text\") with severity 0-3 or 9."},
    {"The server: lines of a transaction out of order, or after its '%'.",
     "A client that closes a transaction on '%' drops what follows, or hands it to the next "
     "command with the same tag.",
     "Send '&' first, then '#' and '!', then '%', and nothing for the tag afterwards."},
    {"The client: it sent a command before the '&' of the one before (StartSession: its '%').",
     "The server's input buffer fills: on a real controller that is error 0000 \"Buffer full\", "
     "lost commands, or a connection the server closes.",
     "Wait for '&' after each command before the next one, and for the '%' of StartSession."},
    {"The server: it answered a later command before the earlier one completed.",
     "Clients that expect commands to complete in order attach the data to the wrong command.",
     "Finish transactions in the order their commands came; only event-tagged lines may "
     "overtake."},
    {"The server: a reply for a tag this leg never sent.",
     "The client has no command for it and drops it, or a relay hands it to the wrong client.",
     "Answer only tags the client sent on this connection; use E0000 for unsolicited lines."},
    {"The server: data for a command that returns none, or none for one that returns data.",
     "A client that waits for the data hangs or reads an empty value; stray data is taken as "
     "the answer of another command.",
     "Send '#' lines exactly for the commands whose data the standard defines."},
    {"The server: data that is not what the command asked for.",
     "The client reads the wrong numbers: a coordinate taken for another, or a scan point cut "
     "in half, which silently corrupts the measurement.",
     "Return the items asked for, in their order; for PtMeas and scans, what the last "
     "OnPtMeasReport or OnScanReport asked for, whole points only."},
    {"The client: after a grave error it went on without ClearAllErrors.",
     "The server refuses every command with error 0514 until ClearAllErrors; the program's "
     "later steps all fail.",
     "After an error of severity 2 or more, send only GetErrStatusE, GetXtdErrStatus or "
     "ClearAllErrors, then go on."},
    {"The server: an error number with another text or severity than the table's.",
     "Clients that look errors up by text or severity misread them: a warning handled as fatal, "
     "or the other way round.",
     "Use the predefined texts and severities; put your own errors in 8000-8999."},
    {"The client, for commands outside a session or a second StartSession; the server, for "
     "events after EndSession.",
     "The server rejects the command (error 0008 or 0507) and nothing of the program runs; "
     "events after EndSession reach a client that no longer expects them.",
     "Start with StartSession, end with EndSession, and send nothing else outside a session."},
    {"The client for what it sends after AbortE; the server for what it sends after AbortE's "
     "'%'.",
     "The server answers error 0514 to every command until ClearAllErrors; late lines after "
     "AbortE's '%' confuse the client's recovery.",
     "After AbortE wait for its '%', then send ClearAllErrors first."},
    {"The server, for events after StopDaemon or too many reports; the client, for a report "
     "period below 0.1 s.",
     "Too many reports flood the client's input and delay every other answer.",
     "Ask for Time(0.1) or more; stop sending a daemon's events once StopDaemon completed."},
    {"The server, by leaving transactions open; the client, by never waiting for them.",
     "A server that never completes what it acknowledged leaves the client waiting; the checker "
     "sets the oldest aside and keeps only their tags.",
     "Complete every acknowledged command with '%'."},
    {"The client: a method this profile does not define.",
     "The server answers error 0501 \"Unsupported command\", or the command works only with one "
     "vendor's controller.",
     "Use the profile's methods; put vendor methods in their name space (XX.Method)."},
    {"Neither side: the capture. The recording machine dropped packets (a busy interface, a small "
     "buffer, a mirror port over its bandwidth), or the snapshot length cut them short.",
     "The lines in the hole go unchecked; the transactions they belonged to may look open, or their "
     "replies may look like answers to unknown tags. Those findings are the capture's, not the peers'.",
     "Record on the controller's PC itself, with the full snapshot length and a larger buffer "
     "(tcpdump -s 0 -B 16384), filtered to the I++ DME port."},
    {"Neither peer, usually: a retransmission with other bytes than the first copy points to "
     "segmentation offload on the recording machine or to faulty network equipment; rarely to a "
     "sender that changed its buffer before sending it again.",
     "Which copy the receiver took cannot be told from the capture; the checker keeps the first, so it "
     "may check other bytes than the receiver read.",
     "Record again with offloading off (ethtool -K IFACE tso off gso off gro off), or on the other "
     "machine; check the network path."},
};

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

bool EqualsNoCase(QByteArrayView a, QByteArrayView b)
{
    if (a.size() != b.size())
        return false;
    for (qsizetype i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'a' && x <= 'z')
            x = char(x - 32);
        if (y >= 'a' && y <= 'z')
            y = char(y - 32);
        if (x != y)
            return false;
    }
    return true;
}

const Explanation &RuleExplanation(Rule rule)
{
    return Explanations[size_t(rule) < size_t(RuleCount) ? size_t(rule) : 0];
}

const char *PartyName(Party p)
{
    return p == Party::Client ? "client" : "server";
}

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
        if (EqualsNoCase(id, info.id) || EqualsNoCase(id, QByteArrayView(info.id + 2)))
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
