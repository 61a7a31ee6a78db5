#include "inspect/inspectorsettings.h"

#include "app/profile.h"

#include <climits>

namespace inspect {

namespace {
const QString Section = QStringLiteral("Inspector");
constexpr int MaxPos = 16384;
constexpr int MaxSize = 8192;
// A missing or unreadable number: outside every bound below.
constexpr int NoValue = INT_MIN;

bool Within(int value, int low, int high)
{
    return value >= low && value <= high;
}
} // namespace

void ReadInspectorSettings(const ProfileFile &ini, InspectorSettings &out)
{
    out = InspectorSettings();
    out.present = !ini.keys(Section).isEmpty();
    if (!out.present)
        return;
    // The geometry, when all four keys are there and within bounds; else the
    // window's own (a null rectangle).
    const int left = ini.readInteger(Section, QStringLiteral("Left"), NoValue);
    const int top = ini.readInteger(Section, QStringLiteral("Top"), NoValue);
    const int width = ini.readInteger(Section, QStringLiteral("Width"), NoValue);
    const int height = ini.readInteger(Section, QStringLiteral("Height"), NoValue);
    if (Within(left, -MaxPos, MaxPos) && Within(top, -MaxPos, MaxPos) && Within(width, 1, MaxSize)
        && Within(height, 1, MaxSize))
        out.geometry = QRect(left, top, width, height);
    const QString profile = ini.readString(Section, QStringLiteral("Profile"), QString());
    check::RuleSet rules(check::ProfileFromName(profile.toLatin1()).value_or(check::Profile::Spec143));
    for (int r = 0; r < check::RuleCount; ++r) {
        const QString id = QLatin1String(check::RuleId(check::Rule(r)));
        rules.set(check::Rule(r), ini.readInteger(Section, id, 1) != 0);
    }
    out.rules = rules;
    out.live = ini.readInteger(Section, QStringLiteral("Live"), 1) != 0;
    out.folder = ini.readString(Section, QStringLiteral("Folder"), QString());
}

void WriteInspectorSettings(ProfileFile &ini, const InspectorSettings &in)
{
    if (!in.geometry.isNull()) {
        ini.writeInteger(Section, QStringLiteral("Left"), in.geometry.x());
        ini.writeInteger(Section, QStringLiteral("Top"), in.geometry.y());
        ini.writeInteger(Section, QStringLiteral("Width"), in.geometry.width());
        ini.writeInteger(Section, QStringLiteral("Height"), in.geometry.height());
    }
    ini.writeInteger(Section, QStringLiteral("Live"), in.live ? 1 : 0);
    if (!in.folder.isEmpty())
        ini.writeString(Section, QStringLiteral("Folder"), in.folder);
    ini.writeString(Section, QStringLiteral("Profile"), QLatin1String(check::ProfileName(in.rules.profile)));
    for (int r = 0; r < check::RuleCount; ++r)
        ini.writeInteger(Section, QLatin1String(check::RuleId(check::Rule(r))),
                         in.rules.on(check::Rule(r)) ? 1 : 0);
}

} // namespace inspect
