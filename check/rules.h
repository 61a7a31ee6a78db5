#pragma once
// The wire rules the protocol checker enforces, their identifiers, the three
// readings (profiles) and the switches that turn single rules on and off.

#include <QByteArrayView>
#include <QString>

#include <array>
#include <optional>

namespace check {

enum class Severity : quint8 { Note, Warning, Error };

enum class Rule : quint8 {
    Charset,
    Crlf,
    Length,
    TagFormat,
    TagUnique,
    EventTag,
    E0000,
    ReplyFormat,
    ErrorFormat,
    Order,
    AckFirst,
    Overlap,
    UnknownTag,
    Data,
    DataMatch,
    ErrorState,
    ErrorText,
    Session,
    Abort,
    Daemon,
    OpenLimit,
    Method,
    // Of the recording, not of the peers: what a packet capture lacks.
    CaptureGap,
    CaptureDiff,
    Count
};
constexpr int RuleCount = int(Rule::Count);

struct RuleInfo {
    Rule rule;
    const char *id; // "R-ORDER"
    const char *summary; // one line for --help
};

const RuleInfo &InfoFor(Rule rule);
const char *RuleId(Rule rule);
std::optional<Rule> RuleFromId(QByteArrayView id); // letter case ignored, "R-" optional

// The side whose line broke a rule.
enum class Party : quint8 { Client, Server };
const char *PartyName(Party p); // "client", "server"

// What a rule means to the engineer who has to fix it.
struct Explanation {
    // Who breaks it, as a sentence: "The client: ...".
    const char *who;
    // What it leads to on a real controller.
    const char *effect;
    // What to change.
    const char *fix;
};
const Explanation &RuleExplanation(Rule rule);

const char *SeverityName(Severity s); // "error", "warning", "note"
std::optional<Severity> SeverityFromName(QByteArrayView name);

// Where the readings of the protocol differ.
enum class Profile : quint8 { Spec143, Nist, V2 };
const char *ProfileName(Profile p); // "1.4.3", "nist", "2.x"
std::optional<Profile> ProfileFromName(QByteArrayView name);

struct RuleSet {
    Profile profile = Profile::Spec143;
    std::array<bool, RuleCount> enabled;

    RuleSet();
    explicit RuleSet(Profile p);
    bool on(Rule r) const { return enabled[size_t(r)]; }
    void set(Rule r, bool on) { enabled[size_t(r)] = on; }

    // The lowest error severity that aborts pending transactions and asks for
    // ClearAllErrors: 3 for the strict text ("higher than 2"), 2 otherwise.
    int errorStateSeverity() const { return profile == Profile::Spec143 ? 3 : 2; }
    // Whether an event command may carry a command tag.
    bool eventCommandWithCommandTag() const { return profile == Profile::V2; }
    // Whether severity 0 (information) is a valid F1.
    bool acceptsSeverityZero() const { return profile != Profile::Nist; }
    // The length limit counts the line end in the NIST reading.
    int lengthLimitOverhead() const { return profile == Profile::Nist ? 2 : 0; }
    // Whether data items must come in the order they were asked for (the
    // NIST server, like many, answers in its own fixed order).
    bool dataInRequestOrder() const { return profile == Profile::Spec143; }
    // The error number a server should answer StartSession inside a session with.
    int nestedStartSessionError() const { return profile == Profile::Nist ? 507 : 8; }
};

// The predefined errors, decoded.
struct ErrorDecoding {
    int number = -1;
    const char *text = nullptr; // the table's text, nullptr when not in the table
    int defaultSeverity = -1; // -1 when not in the table
    const char *owner = ""; // "protocol and syntax", "DME", ...
    bool reserved = false; // 5000-7999, or a "Reserved" entry
};
ErrorDecoding DecodeErrorNumber(int number);
const char *SeverityMeaning(int f1); // "information", "warning", ..., nullptr when invalid
bool NeedsClearAllErrors(int f1, const RuleSet &rules);

// Protocol text compared without regard to letter case (ASCII only).
bool EqualsNoCase(QByteArrayView a, QByteArrayView b);

} // namespace check
