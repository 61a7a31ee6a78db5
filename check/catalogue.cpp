#include "check/catalogue.h"

#include <algorithm>
#include <cstring>

namespace check {

namespace {

using K = DataKind;
using S = DataShape;

// Where the data kinds come from.
constexpr const char *Std = "1.4.3 method text (Data entry)";
constexpr const char *StdScan = "1.4.3 scanning chapter: data as defined by OnScanReport";
constexpr const char *StdModel = "1.4.3 object model only, no Data entry";
constexpr const char *PyServer = "pyippdme (MPL-2.0) server: answers a list";
constexpr const char *PyName = "name only: pyippdme command list";
constexpr const char *PyTemp = "pyippdme simulation: answers its sensors' readings";
constexpr const char *PyClient = "name and kind: a public Python I++ client's method notes";
constexpr const char *Named = "name only: pyippdme list and a public Python I++ client";

// The commands, that is. The properties the standard allows only as
// arguments of Get, GetProp or an On...Report (X(), IJK(), Q(), ER(),
// Tool.A(), Name(), AvrRadius(), ...) are no commands of their own.
// clang-format off
constexpr MethodInfo Methods[] = {
    // Server methods.
    {"StartSession",          K::None,    S::Free,         false, "", 0, Since::V143, Std},
    {"EndSession",            K::None,    S::Free,         false, "", 0, Since::V143, Std},
    {"StopDaemon",            K::None,    S::Free,         false, "", 0, Since::V143, Std},
    {"StopAllDaemons",        K::None,    S::Free,         false, "", 0, Since::V143, Std},
    {"AbortE",                K::None,    S::Free,         true,  "", 0, Since::V143, Std},
    {"GetErrorInfo",          K::Data,    S::Free,         false, "", 0, Since::V143, Std},
    {"ClearAllErrors",        K::None,    S::Free,         false, "", 0, Since::V143, Std},
    {"GetProp",               K::Data,    S::Items,        false, "", 0, Since::V143, Std},
    {"GetPropE",              K::Data,    S::Items,        true,  "", 0, Since::V143, Std},
    {"SetProp",               K::None,    S::Free,         false, "", 0, Since::V143, Std},
    // EnumProp of a leaf property returns nothing.
    {"EnumProp",              K::Unknown, S::Free,         false, "", 0, Since::V143, Std},
    {"EnumAllProp",           K::Data,    S::Free,         false, "", 0, Since::V143, Std},
    {"GetDMEVersion",         K::Data,    S::Call,         false, "DMEVersion", 1, Since::V143, Std},
    // DME methods.
    {"Home",                  K::None,    S::Free,         false, "", 0, Since::V143, Std},
    {"IsHomed",               K::Data,    S::Bool,         false, "IsHomed", 1, Since::V143, Std},
    {"EnableUser",            K::None,    S::Free,         false, "", 0, Since::V143, Std},
    {"DisableUser",           K::None,    S::Free,         false, "", 0, Since::V143, Std},
    {"IsUserEnabled",         K::Data,    S::Bool,         false, "IsUserEnabled", 1, Since::V143, Std},
    {"OnPtMeasReport",        K::None,    S::Free,         false, "", 0, Since::V143, Std},
    {"OnMoveReportE",         K::Daemon,  S::Free,         true,  "", 0, Since::V143, Std},
    {"GetMachineClass",       K::Data,    S::Call,         false, "GetMachineClass", 1, Since::V143, Std},
    {"GetErrStatusE",         K::Data,    S::Bool,         true,  "ErrStatus", 1, Since::V143, Std},
    {"GetXtdErrStatus",       K::Data,    S::Free,         false, "", 0, Since::V143, Std},
    {"Get",                   K::Data,    S::Items,        false, "", 0, Since::V143, Std},
    {"GoTo",                  K::None,    S::Free,         false, "", 0, Since::V143, Std},
    {"PtMeas",                K::Report,  S::PtMeasReport, false, "", 0, Since::V143, Std},
    {"PtMeasIJK",             K::Unknown, S::Free,         false, "", 0, Since::V143, StdModel},
    {"Tool",                  K::None,    S::Free,         false, "", 0, Since::V143, Std},
    {"FindTool",              K::None,    S::Free,         false, "", 0, Since::V143, Std},
    {"FoundTool",             K::None,    S::Free,         false, "", 0, Since::V143, Std},
    {"ChangeTool",            K::None,    S::Free,         false, "", 0, Since::V143, Std},
    {"SetTool",               K::None,    S::Free,         false, "", 0, Since::V143, Std},
    {"AlignTool",             K::Data,    S::Vectors,      false, "", 4, Since::V143, Std},
    // Pointers to parameter blocks ("Data: pointer"): nothing said of the wire.
    {"GoToPar",               K::Unknown, S::Free,         false, "", 0, Since::V143, Std},
    {"PtMeasPar",             K::Unknown, S::Free,         false, "", 0, Since::V143, Std},
    {"EnumTools",             K::Data,    S::Quoted,       false, "", 0, Since::V143, Std},
    {"GetChangeToolAction",   K::Data,    S::Call,         false, "ChangeToolAction", 4, Since::V143, Std},
    // CartCMM methods.
    {"SetCoordSystem",        K::None,    S::Free,         false, "", 0, Since::V143, Std},
    {"GetCoordSystem",        K::Data,    S::Call,         false, "CoordSystem", 1, Since::V143, Std},
    {"GetCsyTransformation",  K::Data,    S::Call,         false, "GetCsyTransformation", 6, Since::V143, Std},
    {"SetCsyTransformation",  K::None,    S::Free,         false, "", 0, Since::V143, Std},
    // Tool methods.
    {"ReQualify",             K::None,    S::Free,         false, "", 0, Since::V143, Std},
    {"ScanPar",               K::Unknown, S::Free,         false, "", 0, Since::V143, Std},
    // Scanning.
    {"OnScanReport",          K::None,    S::Free,         false, "", 0, Since::V143, Std},
    {"ScanOnCircleHint",      K::None,    S::Free,         false, "", 0, Since::V143, Std},
    {"ScanOnCircle",          K::Report,  S::ScanPoints,   false, "", 0, Since::V143, StdScan},
    {"ScanOnLineHint",        K::None,    S::Free,         false, "", 0, Since::V143, Std},
    {"ScanOnLine",            K::Report,  S::ScanPoints,   false, "", 0, Since::V143, StdScan},
    {"ScanOnCurveHint",       K::None,    S::Free,         false, "", 0, Since::V143, Std},
    {"ScanOnCurveDensity",    K::None,    S::Free,         false, "", 0, Since::V143, Std},
    {"ScanOnCurve",           K::Report,  S::ScanPoints,   false, "", 0, Since::V143, StdScan},
    {"ScanUnknownHint",       K::None,    S::Free,         false, "", 0, Since::V143, Std},
    {"ScanUnknownDensity",    K::None,    S::Free,         false, "", 0, Since::V143, Std},
    {"ScanInPlaneEndIsSphere", K::Report, S::ScanPoints,   false, "", 0, Since::V143, StdScan},
    {"ScanInPlaneEndIsPlane", K::Report,  S::ScanPoints,   false, "", 0, Since::V143, StdScan},
    {"ScanInPlaneEndIsCyl",   K::Report,  S::ScanPoints,   false, "", 0, Since::V143, StdScan},
    {"ScanInCylEndIsSphere",  K::Report,  S::ScanPoints,   false, "", 0, Since::V143, StdScan},
    {"ScanInCylEndIsPlane",   K::Report,  S::ScanPoints,   false, "", 0, Since::V143, StdScan},
    // Rotary table and form testers.
    {"AlignPart",             K::Data,    S::Vectors,      false, "", 7, Since::V143, Std},
    {"CenterPart",            K::Data,    S::Bool,         false, "CenterPart", 1, Since::V143, Std},
    {"TiltPart",              K::Data,    S::Bool,         false, "TiltPart", 1, Since::V143, Std},
    {"TiltCenterPart",        K::Data,    S::Bool,         false, "TiltCenterPart", 1, Since::V143, Std},
    {"LockAxis",              K::None,    S::Free,         false, "", 0, Since::V143, Std},
    {"LockPosition",          K::None,    S::Free,         false, "", 0, Since::V143, Std},

    // Added since: capability discovery.
    {"GetSupportedCommands",  K::Data,    S::Free,         false, "", 0, Since::V2, PyServer},
    {"GetSupportedArguments", K::Data,    S::Free,         false, "", 0, Since::V2, PyServer},
    {"EnumNameSpaces",        K::Unknown, S::Free,         false, "", 0, Since::V2, PyName},
    // Named coordinate systems.
    {"SaveActiveCoordSystem", K::Unknown, S::Free,         false, "", 0, Since::V2, Named},
    {"LoadCoordSystem",       K::Unknown, S::Free,         false, "", 0, Since::V2, Named},
    {"DeleteCoordSystem",     K::Unknown, S::Free,         false, "", 0, Since::V2, Named},
    {"EnumCoordSystems",      K::Unknown, S::Free,         false, "", 0, Since::V2, Named},
    {"GetNamedCsyTransformation", K::Unknown, S::Free,     false, "", 0, Since::V2, Named},
    {"SaveNamedCsyTransformation", K::Unknown, S::Free,    false, "", 0, Since::V2, Named},
    // Tool collections and tools.
    {"EnumToolCollection",    K::Data,    S::Free,         false, "", 0, Since::V2, PyClient},
    {"EnumAllToolCollections", K::Data,   S::Free,         false, "", 0, Since::V2, PyClient},
    {"OpenToolCollection",    K::Unknown, S::Free,         false, "", 0, Since::V2, Named},
    {"IJKAct",                K::Data,    S::Free,         false, "", 0, Since::V2, PyClient},
    {"IsAlignable",           K::Unknown, S::Free,         false, "", 0, Since::V2, PyName},
    {"CalcToolAlignment",     K::Unknown, S::Free,         false, "", 0, Since::V2, PyName},
    {"CalcToolAngles",        K::Unknown, S::Free,         false, "", 0, Since::V2, PyName},
    {"UseSmallestAngletoAlignTool", K::Unknown, S::Free,   false, "", 0, Since::V2, PyName},
    {"EnableOptimize",        K::Unknown, S::Free,         false, "", 0, Since::V2, PyName},
    {"DisableOptimize",       K::Unknown, S::Free,         false, "", 0, Since::V2, PyName},
    {"IsOptimizeEnabled",     K::Unknown, S::Free,         false, "", 0, Since::V2, PyName},
    {"AvrRadius",             K::Unknown, S::Free,         false, "", 0, Since::V2, PyName},
    {"AvrOffsets",            K::Unknown, S::Free,         false, "", 0, Since::V2, PyName},
    {"CollisionVolume",       K::Unknown, S::Free,         false, "", 0, Since::V2, PyName},
    {"AlignmentVolume",       K::Unknown, S::Free,         false, "", 0, Since::V2, PyName},
    // Measuring and moving.
    {"PtMeasSelfCenter",      K::Unknown, S::Free,         false, "", 0, Since::V2, Named},
    {"PtMeasSelfCenterLocked", K::Unknown, S::Free,        false, "", 0, Since::V2, Named},
    {"Step",                  K::Unknown, S::Free,         false, "", 0, Since::V2, PyName},
    {"GoToOnCircle",          K::Unknown, S::Free,         false, "", 0, Since::V2, PyName},
    {"GoToOnSpiral",          K::Unknown, S::Free,         false, "", 0, Since::V2, PyName},
    {"ScanOnHelix",           K::Unknown, S::Free,         false, "", 0, Since::V2, PyName},
    {"OnMoveReport",          K::Unknown, S::Free,         false, "", 0, Since::V2, PyName},
    {"EnumerateMoverAxes",    K::Unknown, S::Free,         false, "", 0, Since::V2, PyName},
    {"EnableRotaryTableVarCsy", K::Unknown, S::Free,       false, "", 0, Since::V2, PyName},
    // Temperatures.
    {"GetTemperatureSensors", K::Data,    S::Free,         false, "", 0, Since::V2, PyTemp},
    {"ReadTemperatureSensor", K::Data,    S::Free,         false, "", 0, Since::V2, PyTemp},
    {"ReadAllTemperatures",   K::Data,    S::Free,         false, "", 0, Since::V2, PyTemp},
    {"UpdateScaleTemperatures", K::Unknown, S::Free,       false, "", 0, Since::V2, PyName},
    {"SetScaleTemperatures",  K::Unknown, S::Free,         false, "", 0, Since::V2, PyName},
    {"GetScaleTemperatures",  K::Unknown, S::Free,         false, "", 0, Since::V2, PyName},
    {"SetTemperatureCompensationOrigin", K::Unknown, S::Free, false, "", 0, Since::V2, PyName},
    // Raw data and optical sensors.
    {"DataAcquire",           K::Unknown, S::Free,         false, "", 0, Since::V2, PyName},
    {"DeleteAcquistion",      K::Unknown, S::Free,         false, "", 0, Since::V2, PyName},
    {"DeleteAllAcquisitions", K::Unknown, S::Free,         false, "", 0, Since::V2, PyName},
    {"AdvDataStruct",         K::Unknown, S::Free,         false, "", 0, Since::V2, PyName},
    {"RawDataBinSetup",       K::Unknown, S::Free,         false, "", 0, Since::V2, PyName},
    {"GetRawDataBin",         K::Unknown, S::Free,         false, "", 0, Since::V2, PyName},
    {"GetRawDataShaMem",      K::Unknown, S::Free,         false, "", 0, Since::V2, PyName},
    {"ReleaseShaMem",         K::Unknown, S::Free,         false, "", 0, Since::V2, PyName},
    {"GetRawDataFile",        K::Unknown, S::Free,         false, "", 0, Since::V2, PyName},
    {"DelRawDataFile",        K::Unknown, S::Free,         false, "", 0, Since::V2, PyName},
    {"ROI",                   K::Unknown, S::Free,         false, "", 0, Since::V2, PyName},
    {"FeatureExtract",        K::Unknown, S::Free,         false, "", 0, Since::V2, PyName},
};
// clang-format on

bool Before(const MethodInfo *a, const MethodInfo *b)
{
    return std::strcmp(a->name, b->name) < 0;
}

// The table sorted by name, made once.
const std::vector<const MethodInfo *> &ByName()
{
    static const std::vector<const MethodInfo *> sorted = [] {
        std::vector<const MethodInfo *> v;
        for (const MethodInfo &m : Methods)
            v.push_back(&m);
        std::sort(v.begin(), v.end(), Before);
        return v;
    }();
    return sorted;
}

bool Knows(Profile profile, const MethodInfo &m)
{
    return m.since == Since::V143 || profile == Profile::V2;
}

} // namespace

const MethodInfo *FindMethod(QByteArrayView name, Profile profile)
{
    const std::vector<const MethodInfo *> &v = ByName();
    const auto it = std::lower_bound(v.begin(), v.end(), name, [](const MethodInfo *m, QByteArrayView n) {
        return QByteArrayView(m->name) < n;
    });
    if (it == v.end() || QByteArrayView((*it)->name) != name || !Knows(profile, **it))
        return nullptr;
    return *it;
}

std::vector<const MethodInfo *> Catalogue(Profile profile)
{
    std::vector<const MethodInfo *> out;
    for (const MethodInfo *m : ByName())
        if (Knows(profile, *m))
            out.push_back(m);
    return out;
}

bool IsVendorMethod(QByteArrayView name)
{
    return name.size() > 3 && name[0] >= 'A' && name[0] <= 'Z' && name[1] >= 'A' && name[1] <= 'Z'
        && name[2] == '.';
}

QByteArray DataDescription(const MethodInfo &m)
{
    switch (m.kind) {
    case DataKind::Unknown:
        return "unknown";
    case DataKind::None:
        return "none";
    case DataKind::Daemon:
        return "events after its '%'";
    default:
        break;
    }
    switch (m.shape) {
    case DataShape::Items:
        return "the items asked for, in order";
    case DataShape::PtMeasReport:
        return "the items of the last OnPtMeasReport";
    case DataShape::ScanPoints:
        return "whole points of the last OnScanReport, values only";
    case DataShape::Bool:
        return QByteArray(m.reply) + "(Bool)";
    case DataShape::Call: {
        QByteArray args;
        for (int i = 0; i < m.count; ++i)
            args += i ? ", x" : "x";
        return QByteArray(m.reply) + '(' + (m.count < 0 ? QByteArray("...") : args) + ')';
    }
    case DataShape::Quoted:
        return "one quoted name a line";
    case DataShape::Vectors:
        return "its vectors, three numbers each";
    default:
        return "data";
    }
}

int ScanPointValues(QByteArrayView args)
{
    int values = 0, depth = 0;
    bool item = false;
    auto close = [&](qsizetype from, qsizetype to) {
        const QByteArrayView name = args.sliced(from, to - from).trimmed();
        values += name.startsWith("IJK(") ? 3 : 1;
    };
    qsizetype from = 0;
    for (qsizetype i = 0; i < args.size(); ++i) {
        const char c = args[i];
        if (c == '(')
            ++depth;
        else if (c == ')')
            --depth;
        else if (c == ',' && depth == 0) {
            if (item)
                close(from, i);
            from = i + 1;
            item = false;
            continue;
        }
        if (c != ' ')
            item = true;
    }
    if (item)
        close(from, args.size());
    return values;
}

} // namespace check
