#include "log/logcolours.h"

#include "check/markers.h"

#include <QLatin1String>
#include <cmath>

namespace {

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

// "hh.nn.ss:zzz  ": the separator before the milliseconds is the locale's.
bool HasTimeStampPrefix(QLatin1String s)
{
    if (s.size() < 14)
        return false;
    for (int i : {0, 1, 3, 4, 6, 7, 9, 10, 11})
        if (!IsDigit(s[i].toLatin1()))
            return false;
    return s[2] == QLatin1Char('.') && s[5] == QLatin1Char('.') && !IsDigit(s[8].toLatin1())
        && s[12] == QLatin1Char(' ') && s[13] == QLatin1Char(' ');
}

// The reply type of a protocol line: the character after the tag and one
// blank ('&', '%', '#' or '!'), followed by the end or a blank; 0 otherwise.
char ReplyType(QLatin1String s)
{
    qsizetype i = 0;
    while (i < s.size() && s[i] != QLatin1Char(' '))
        ++i;
    if (i == 0 || i + 1 >= s.size())
        return 0;
    const char type = s[i + 1].toLatin1();
    if (type != '&' && type != '%' && type != '#' && type != '!')
        return 0;
    return i + 2 == s.size() || s[i + 2] == QLatin1Char(' ') ? type : 0;
}

const QLatin1String EventPrefix("---------- ");

double Channel(int v)
{
    const double c = v / 255.0;
    return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
}

QColor Mix(const QColor &a, const QColor &b, double share)
{
    return QColor::fromRgbF(float(a.redF() * (1 - share) + b.redF() * share),
                            float(a.greenF() * (1 - share) + b.greenF() * share),
                            float(a.blueF() * (1 - share) + b.blueF() * share));
}

// Moves `c` towards black (on a light background) or white (on a dark one)
// until it keeps the minimum contrast against every given background. The
// chosen colours pass on the usual palettes as they are; this is for the
// palettes nobody tried.
QColor WithContrast(QColor c, bool lightBackground, std::initializer_list<QColor> backgrounds)
{
    const QColor goal = lightBackground ? QColor(0, 0, 0) : QColor(255, 255, 255);
    for (int step = 0; step < 40; ++step) {
        bool ok = true;
        for (const QColor &b : backgrounds)
            ok = ok && LogColours::contrast(c, b) >= LogColours::MinContrast;
        if (ok)
            break;
        c = Mix(c, goal, 0.1);
    }
    return c;
}

} // namespace

LogLineKind ClassifyLogLine(const char *data, qsizetype length)
{
    QLatin1String s(data, length);
    if (s.startsWith(EventPrefix))
        return LogLineKind::Event;
    if (HasTimeStampPrefix(s))
        s = s.mid(14);
    if (s.startsWith(LogMarker::Operator))
        return LogLineKind::Operator;
    if (s.startsWith(LogMarker::FromRelay))
        // The relay time-out is an event written under the client's marker.
        return s.mid(LogMarker::FromRelay.size()).startsWith(EventPrefix) ? LogLineKind::Event
                                                                          : LogLineKind::RelayClient;
    if (s.startsWith(LogMarker::FakedReply) || s.startsWith(LogMarker::Rewritten))
        return LogLineKind::Program; // "<F<" also covers "<F< "
    if (s.startsWith(LogMarker::Server) || s.startsWith(LogMarker::ToRelay)) {
        switch (ReplyType(s.mid(LogMarker::Server.size()))) {
        case '!':
            return LogLineKind::ServerError;
        case '&':
        case '%':
            return LogLineKind::Quiet;
        default:
            return LogLineKind::Data;
        }
    }
    return LogLineKind::Plain;
}

double LogColours::luminance(const QColor &c)
{
    const QColor rgb = c.toRgb();
    return 0.2126 * Channel(rgb.red()) + 0.7152 * Channel(rgb.green()) + 0.0722 * Channel(rgb.blue());
}

double LogColours::contrast(const QColor &a, const QColor &b)
{
    const double la = luminance(a);
    const double lb = luminance(b);
    return (qMax(la, lb) + 0.05) / (qMin(la, lb) + 0.05);
}

LogColours::LogColours(const QColor &background, const QColor &defaultText) : bg(background)
{
    // Black and white text have equal contrast at this luminance.
    const bool light = luminance(background) > 0.179;
    plain = contrast(defaultText, background) >= MinContrast ? defaultText
        : light                                              ? QColor(0, 0, 0)
                                                             : QColor(255, 255, 255);

    QColor program;
    auto set = [this](LogLineKind kind, const QColor &c) { colours[int(kind)] = c; };
    if (light) {
        set(LogLineKind::Operator, QColor(0, 70, 170));
        set(LogLineKind::RelayClient, QColor(0, 105, 110));
        set(LogLineKind::ServerError, QColor(180, 0, 0));
        set(LogLineKind::Quiet, QColor(96, 96, 96));
        set(LogLineKind::Event, QColor(125, 80, 0));
        program = QColor(130, 0, 130);
        programBand = Mix(background, QColor(190, 60, 190), 0.12);
    } else {
        set(LogLineKind::Operator, QColor(120, 180, 255));
        set(LogLineKind::RelayClient, QColor(100, 210, 210));
        set(LogLineKind::ServerError, QColor(255, 135, 135));
        set(LogLineKind::Quiet, QColor(165, 165, 165));
        set(LogLineKind::Event, QColor(230, 190, 90));
        program = QColor(230, 150, 255);
        programBand = Mix(background, QColor(200, 90, 220), 0.16);
    }
    set(LogLineKind::Plain, plain);
    set(LogLineKind::Data, plain);
    set(LogLineKind::Program, program);
    for (QColor &c : colours)
        c = WithContrast(c, light, {background});
    colours[int(LogLineKind::Program)] = WithContrast(program, light, {background, programBand});
}

QColor LogColours::text(LogLineKind kind) const
{
    return colours[int(kind)];
}

QColor LogColours::band(LogLineKind kind) const
{
    return kind == LogLineKind::Program ? programBand : bg;
}
