#pragma once
// The simulated machine behind the demo server: a measuring machine with a
// position, a tool rack and tool parameters, driven by I++ DME commands.
// No sockets here: one command in, the reply lines out.

#include <QHash>
#include <QRandomGenerator>
#include <QString>
#include <QStringList>

// One parsed call such as GoTo(X(1), Y(2)) or "Probe1": the name before the
// parenthesis and the arguments split at top-level commas (trimmed). A plain
// argument without parentheses has `hasParens` false.
struct DemoCall {
    QString name;
    QStringList args;
    bool hasParens = false;
};

// Parses one call; false for unbalanced parentheses or quotes, characters
// after the closing parenthesis, or a name with characters outside
// letters, digits, '.' and '_'.
bool ParseDemoCall(const QString &text, DemoCall *call);

struct DemoTool {
    QString name;
    double avrRadius = 1.5;
    double gotoSpeed = 100, gotoAccel = 50;
    double measSpeed = 10, measAccel = 20, measApproach = 2, measSearch = 4, measRetract = 2;
    double rackX = 0, rackY = 0, rackZ = 0; // where the tool sits in the rack
};

class DemoMachine {
public:
    DemoMachine();

    // Checks the frame of a received line: a tag of five digits, or "E" and
    // four digits, then a blank. Returns the error line's body (empty when
    // the frame is sound) and the tag to answer with: the line's own, or
    // "00000" when it has none.
    QString checkFrame(const QString &line, QString *tag, QString *command) const;

    // Runs one command and returns the lines that follow its acknowledge: data
    // and error lines, then the completion line. Every line carries `tag`.
    QStringList execute(const QString &tag, const QString &command);

    // Aborts the given queued commands: each gets an error line and its
    // completion line. Afterwards the machine wants ClearAllErrors.
    QStringList abortLines(const QString &tag, const QString &command) const;

    // An unasked position report, as an event line.
    QString positionEvent(const QString &tag = QStringLiteral("E9003")) const;

    static QString formatNumber(double v);

    // Machine state, public for tests and the server.
    double x = 0, y = 0, z = 0, toolA = 0, toolB = 0;
    bool homed = false;
    bool sessionOpen = false;
    bool userEnabled = true;
    bool needsClear = false; // after an abort: motion wants ClearAllErrors
    double noise = 0.002; // scatter of measured points, mm
    QList<DemoTool> tools;
    int currentTool = 1; // index into tools
    int foundTool = -1; // set by FindTool

private:
    QString error(const QString &tag, int severity, const QString &code, const QString &command,
                  const QString &text) const;
    DemoTool *toolFor(const QString &object);
    QString getProps(const QStringList &args, bool *ok, QString *bad);
    bool setProps(const QStringList &args, QString *bad, QString *why);
    int findTool(const QString &quotedName) const;
    QRandomGenerator random;
};
