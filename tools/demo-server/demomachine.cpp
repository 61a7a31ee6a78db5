// The simulated machine behind the demo server.

#include "demomachine.h"

#include <QtMath>

namespace {

bool IsNameChar(QChar c)
{
    return c.isLetterOrNumber() || c == QLatin1Char('.') || c == QLatin1Char('_');
}

// A number argument such as X(12.5): true with the value when `arg` is
// `name(number)`.
bool NumberArg(const QString &arg, const QString &name, double *value)
{
    DemoCall c;
    if (!ParseDemoCall(arg, &c) || !c.hasParens || c.name != name || c.args.size() != 1)
        return false;
    bool ok = false;
    *value = c.args.first().toDouble(&ok);
    return ok && qIsFinite(*value);
}

bool EmptyArg(const QString &arg, QString *name)
{
    DemoCall c;
    if (!ParseDemoCall(arg, &c) || !c.hasParens || !c.args.isEmpty())
        return false;
    *name = c.name;
    return true;
}

} // namespace

bool ParseDemoCall(const QString &text, DemoCall *call)
{
    const QString t = text.trimmed();
    *call = DemoCall();
    int i = 0;
    while (i < t.size() && IsNameChar(t.at(i)))
        ++i;
    call->name = t.left(i);
    if (i == t.size()) {
        // A bare word or number, or a quoted string.
        if (!call->name.isEmpty())
            return true;
        if (t.size() >= 2 && t.startsWith(QLatin1Char('"')) && t.endsWith(QLatin1Char('"'))
            && !t.mid(1, t.size() - 2).contains(QLatin1Char('"'))) {
            call->name = t;
            return true;
        }
        return false;
    }
    if (call->name.isEmpty() || t.at(i) != QLatin1Char('(') || !t.endsWith(QLatin1Char(')')))
        return false;
    call->hasParens = true;
    const QString inner = t.mid(i + 1, t.size() - i - 2);
    int depth = 0;
    bool quoted = false;
    QString current;
    for (QChar c : inner) {
        if (c == QLatin1Char('"'))
            quoted = !quoted;
        else if (!quoted && c == QLatin1Char('('))
            ++depth;
        else if (!quoted && c == QLatin1Char(')') && --depth < 0)
            return false;
        if (!quoted && depth == 0 && c == QLatin1Char(',')) {
            call->args << current.trimmed();
            current.clear();
            continue;
        }
        current += c;
    }
    if (quoted || depth != 0)
        return false;
    if (!current.trimmed().isEmpty() || !call->args.isEmpty())
        call->args << current.trimmed();
    for (const QString &a : call->args)
        if (a.isEmpty())
            return false;
    return true;
}

DemoMachine::DemoMachine() : random(20240611)
{
    auto tool = [this](const QString &name, double r, double rx) {
        DemoTool t;
        t.name = name;
        t.avrRadius = r;
        t.rackX = rx;
        t.rackY = 600;
        t.rackZ = 350;
        tools << t;
    };
    tool(QStringLiteral("RefTool"), 0, 0);
    tool(QStringLiteral("Probe1"), 1.5, 50);
    tool(QStringLiteral("Probe2"), 1.0, 100);
    tool(QStringLiteral("ProbeN"), 2.5, 150);
    tool(QStringLiteral("Star_1"), 0.75, 200);
    currentTool = 1;
}

QString DemoMachine::formatNumber(double v)
{
    QString s = QString::number(v, 'f', 4);
    if (s == QLatin1String("-0.0000"))
        s = QStringLiteral("0.0000");
    return s;
}

QString DemoMachine::checkFrame(const QString &line, QString *tag, QString *command) const
{
    const QString head = line.left(5);
    bool valid = head.size() == 5;
    for (int i = 0; valid && i < 5; ++i) {
        const QChar c = head.at(i);
        valid = (c >= QLatin1Char('0') && c <= QLatin1Char('9')) || (i == 0 && c == QLatin1Char('E'));
    }
    // A line without a tag is answered by an unsolicited error: E0000, alone.
    *tag = valid ? head : QStringLiteral("E0000");
    *command = line.mid(6).trimmed();
    if (!valid)
        return QStringLiteral("Error(2, 0001, ,\"Illegal tag\")");
    if (line.size() < 6 || line.at(5) != QLatin1Char(' '))
        return QStringLiteral("Error(2, 0002, ,\"No space at pos. 6\")");
    return QString();
}

QString DemoMachine::error(const QString &tag, int severity, const QString &code, const QString &command,
                           const QString &text) const
{
    return QStringLiteral("%1 ! Error(%2, %3, %4,\"%5\")")
        .arg(tag, QString::number(severity), code, command, text);
}

QStringList DemoMachine::abortLines(const QString &tag, const QString &command) const
{
    DemoCall c;
    const QString name = ParseDemoCall(command, &c) ? c.name : QString();
    return {error(tag, 2, QStringLiteral("0006"), name, QStringLiteral("Transaction aborted")),
            tag + QStringLiteral(" %")};
}

QString DemoMachine::positionEvent(const QString &tag) const
{
    return QStringLiteral("%1 # X(%2), Y(%3), Z(%4)")
        .arg(tag, formatNumber(x), formatNumber(y), formatNumber(z));
}

int DemoMachine::findTool(const QString &quotedName) const
{
    if (quotedName.size() < 2 || !quotedName.startsWith(QLatin1Char('"'))
        || !quotedName.endsWith(QLatin1Char('"')))
        return -2;
    const QString name = quotedName.mid(1, quotedName.size() - 2);
    for (int i = 0; i < tools.size(); ++i)
        if (tools.at(i).name == name)
            return i;
    return -1;
}

DemoTool *DemoMachine::toolFor(const QString &object)
{
    if (object == QLatin1String("Tool"))
        return &tools[currentTool];
    if (object == QLatin1String("FoundTool") && foundTool >= 0)
        return &tools[foundTool];
    return nullptr;
}

namespace {

// The numeric tool parameters by their property path after "Tool.".
double *Parameter(DemoTool *t, const QString &path)
{
    static const char *const names[] = {"GoToPar.Speed",    "GoToPar.Accel",      "PtMeasPar.Speed",
                                        "PtMeasPar.Accel",  "PtMeasPar.Approach", "PtMeasPar.Search",
                                        "PtMeasPar.Retract"};
    double *fields[] = {&t->gotoSpeed,    &t->gotoAccel,  &t->measSpeed,  &t->measAccel,
                        &t->measApproach, &t->measSearch, &t->measRetract};
    for (int i = 0; i < 7; ++i)
        if (path == QLatin1String(names[i]))
            return fields[i];
    return nullptr;
}

} // namespace

QString DemoMachine::getProps(const QStringList &args, bool *ok, QString *bad)
{
    QStringList parts;
    *ok = false;
    for (const QString &arg : args) {
        QString prop;
        *bad = arg;
        if (!EmptyArg(arg, &prop))
            return QString();
        const int dot = prop.indexOf(QLatin1Char('.'));
        DemoTool *t = dot > 0 ? toolFor(prop.left(dot)) : nullptr;
        if (!t)
            return QString();
        const QString path = prop.mid(dot + 1);
        QString value;
        if (path == QLatin1String("Name"))
            value = QLatin1Char('"') + t->name + QLatin1Char('"');
        else if (path == QLatin1String("AvrRadius"))
            value = formatNumber(t->avrRadius);
        else if (double *p = Parameter(t, path))
            value = formatNumber(*p);
        else
            return QString();
        parts << prop + QLatin1Char('(') + value + QLatin1Char(')');
    }
    *ok = !parts.isEmpty();
    return parts.join(QStringLiteral(", "));
}

bool DemoMachine::setProps(const QStringList &args, QString *bad, QString *why)
{
    // Checked first and applied only when every argument is sound.
    QList<QPair<double *, double>> changes;
    for (const QString &arg : args) {
        *bad = arg;
        DemoCall c;
        if (!ParseDemoCall(arg, &c) || !c.hasParens || c.args.size() != 1) {
            *why = QStringLiteral("Incorrect arguments");
            return false;
        }
        const int dot = c.name.indexOf(QLatin1Char('.'));
        DemoTool *t = dot > 0 ? toolFor(c.name.left(dot)) : nullptr;
        const QString path = c.name.mid(dot + 1);
        if (t && (path == QLatin1String("Name") || path == QLatin1String("AvrRadius"))) {
            *why = QStringLiteral("Property is read-only");
            return false;
        }
        double *p = t ? Parameter(t, path) : nullptr;
        bool number = false;
        const double v = c.args.first().toDouble(&number);
        if (!p) {
            *why = QStringLiteral("Unknown property");
            return false;
        }
        if (!number || !qIsFinite(v) || v < 0) {
            *why = QStringLiteral("Incorrect arguments");
            return false;
        }
        changes.append({p, v});
    }
    if (changes.isEmpty()) {
        *bad = QString();
        *why = QStringLiteral("Incorrect arguments");
        return false;
    }
    for (const auto &c : changes)
        *c.first = c.second;
    return true;
}

QStringList DemoMachine::execute(const QString &tag, const QString &command)
{
    const QString done = tag + QStringLiteral(" %");
    DemoCall call;
    if (!ParseDemoCall(command, &call) || !call.hasParens)
        return {error(tag, 2, QStringLiteral("0008"), QString(), QStringLiteral("Protocol error")), done};
    const QString &name = call.name;
    const QStringList &args = call.args;
    auto fail = [&](const QString &code, const QString &text) {
        return QStringList{error(tag, 2, code, name, text), done};
    };
    auto data = [&](const QString &body) { return QStringList{tag + QStringLiteral(" # ") + body, done}; };

    if (tag.startsWith(QLatin1Char('E')) && !name.endsWith(QLatin1Char('E')))
        return fail(QStringLiteral("0001"), QStringLiteral("Illegal tag"));

    static const QStringList plain = {
        QStringLiteral("StartSession"),  QStringLiteral("EndSession"),     QStringLiteral("EnableUser"),
        QStringLiteral("DisableUser"),   QStringLiteral("ClearAllErrors"), QStringLiteral("Home"),
        QStringLiteral("IsHomed"),       QStringLiteral("EnumTools"),      QStringLiteral("AbortE"),
        QStringLiteral("GetErrStatusE"), QStringLiteral("GetDMEVersion")};
    if (plain.contains(name) && !args.isEmpty())
        return fail(QStringLiteral("0502"), QStringLiteral("Incorrect arguments"));
    static const QStringList motion = {QStringLiteral("Home"), QStringLiteral("GoTo"),
                                       QStringLiteral("PtMeas"), QStringLiteral("ChangeTool")};
    if (needsClear && motion.contains(name))
        return fail(QStringLiteral("1009"), QStringLiteral("Use ClearAllErrors to continue"));

    if (name == QLatin1String("StartSession")) {
        sessionOpen = true;
    } else if (name == QLatin1String("EndSession")) {
        sessionOpen = false;
    } else if (name == QLatin1String("EnableUser")) {
        userEnabled = true;
    } else if (name == QLatin1String("DisableUser")) {
        userEnabled = false;
    } else if (name == QLatin1String("ClearAllErrors")) {
        needsClear = false;
    } else if (name == QLatin1String("AbortE")) {
        // The server aborts the queue; nothing else to do here.
    } else if (name == QLatin1String("Home")) {
        homed = true;
        x = y = z = 0;
    } else if (name == QLatin1String("IsHomed")) {
        return data(QStringLiteral("IsHomed(%1)").arg(homed ? 1 : 0));
    } else if (name == QLatin1String("GetErrStatusE")) {
        return data(QStringLiteral("ErrStatus(%1)").arg(needsClear ? 1 : 0));
    } else if (name == QLatin1String("GetDMEVersion")) {
        return data(QStringLiteral("DMEVersion(\"1.4\")"));
    } else if (name == QLatin1String("GoTo")) {
        double nx = x, ny = y, nz = z, na = toolA, nb = toolB;
        if (args.isEmpty())
            return fail(QStringLiteral("0502"), QStringLiteral("Incorrect arguments"));
        for (const QString &a : args) {
            double v;
            if (NumberArg(a, QStringLiteral("X"), &v))
                nx = v;
            else if (NumberArg(a, QStringLiteral("Y"), &v))
                ny = v;
            else if (NumberArg(a, QStringLiteral("Z"), &v))
                nz = v;
            else if (NumberArg(a, QStringLiteral("Tool.A"), &v))
                na = v;
            else if (NumberArg(a, QStringLiteral("Tool.B"), &v))
                nb = v;
            else
                return fail(QStringLiteral("0502"), QStringLiteral("Incorrect arguments"));
        }
        x = nx, y = ny, z = nz, toolA = na, toolB = nb;
    } else if (name == QLatin1String("Get")) {
        QStringList parts;
        for (const QString &a : args) {
            QString axis;
            if (!EmptyArg(a, &axis))
                return fail(QStringLiteral("0502"), QStringLiteral("Incorrect arguments"));
            double v;
            if (axis == QLatin1String("X"))
                v = x;
            else if (axis == QLatin1String("Y"))
                v = y;
            else if (axis == QLatin1String("Z"))
                v = z;
            else if (axis == QLatin1String("R"))
                v = tools.at(currentTool).avrRadius;
            else if (axis == QLatin1String("Tool.A"))
                v = toolA;
            else if (axis == QLatin1String("Tool.B"))
                v = toolB;
            else
                return fail(QStringLiteral("0502"), QStringLiteral("Incorrect arguments"));
            parts << axis + QLatin1Char('(') + formatNumber(v) + QLatin1Char(')');
        }
        if (parts.isEmpty())
            return fail(QStringLiteral("0502"), QStringLiteral("Incorrect arguments"));
        return data(parts.join(QStringLiteral(", ")));
    } else if (name == QLatin1String("PtMeas")) {
        double tx = x, ty = y, tz = z, i = 0, j = 0, k = 1;
        for (const QString &a : args) {
            DemoCall ijk;
            double v;
            if (NumberArg(a, QStringLiteral("X"), &v))
                tx = v;
            else if (NumberArg(a, QStringLiteral("Y"), &v))
                ty = v;
            else if (NumberArg(a, QStringLiteral("Z"), &v))
                tz = v;
            else if (ParseDemoCall(a, &ijk) && ijk.name == QLatin1String("IJK") && ijk.args.size() == 3) {
                bool o1, o2, o3;
                i = ijk.args.at(0).toDouble(&o1);
                j = ijk.args.at(1).toDouble(&o2);
                k = ijk.args.at(2).toDouble(&o3);
                if (!o1 || !o2 || !o3)
                    return fail(QStringLiteral("0502"), QStringLiteral("Incorrect arguments"));
            } else {
                return fail(QStringLiteral("0502"), QStringLiteral("Incorrect arguments"));
            }
        }
        const double len = std::sqrt(i * i + j * j + k * k);
        if (!(len > 1e-9) || !qIsFinite(len))
            i = 0, j = 0, k = 1;
        else
            i /= len, j /= len, k /= len;
        // The surface is found a little off the nominal point, along the normal.
        const double off = noise * (2 * random.generateDouble() - 1);
        const double mx = tx + off * i, my = ty + off * j, mz = tz + off * k;
        const double retract = tools.at(currentTool).measRetract;
        x = mx + retract * i, y = my + retract * j, z = mz + retract * k;
        return data(
            QStringLiteral("X(%1), Y(%2), Z(%3)").arg(formatNumber(mx), formatNumber(my), formatNumber(mz)));
    } else if (name == QLatin1String("GetProp")) {
        bool ok;
        QString bad;
        const QString body = getProps(args, &ok, &bad);
        if (!ok)
            return fail(QStringLiteral("0507"), QStringLiteral("Unknown property"));
        return data(body);
    } else if (name == QLatin1String("SetProp")) {
        QString bad, why;
        if (!setProps(args, &bad, &why))
            return fail(why == QLatin1String("Unknown property")            ? QStringLiteral("0507")
                            : why == QLatin1String("Property is read-only") ? QStringLiteral("0508")
                                                                            : QStringLiteral("0502"),
                        why);
    } else if (name == QLatin1String("EnumTools")) {
        QStringList out;
        for (const DemoTool &t : tools)
            out << tag + QStringLiteral(" # \"") + t.name + QLatin1Char('"');
        out << done;
        return out;
    } else if (name == QLatin1String("ChangeTool") || name == QLatin1String("FindTool")
               || name == QLatin1String("GetChangeToolAction")) {
        const int t = args.size() == 1 ? findTool(args.first()) : -2;
        if (t == -2)
            return fail(QStringLiteral("0502"), QStringLiteral("Incorrect arguments"));
        if (t < 0)
            return fail(QStringLiteral("0506"), QStringLiteral("Tool not defined"));
        if (name == QLatin1String("ChangeTool")) {
            currentTool = t;
        } else if (name == QLatin1String("FindTool")) {
            foundTool = t;
        } else {
            const DemoTool &tool = tools.at(t);
            if (t == currentTool)
                return data(QStringLiteral("ChangeToolAction(None, X(%1), Y(%2), Z(%3))")
                                .arg(formatNumber(x), formatNumber(y), formatNumber(z)));
            return data(
                QStringLiteral("ChangeToolAction(Switch, X(%1), Y(%2), Z(%3))")
                    .arg(formatNumber(tool.rackX), formatNumber(tool.rackY), formatNumber(tool.rackZ)));
        }
    } else {
        return fail(QStringLiteral("0501"), QStringLiteral("Unsupported command"));
    }
    return {done};
}
