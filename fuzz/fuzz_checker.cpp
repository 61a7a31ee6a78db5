// The protocol checker and the log reader on arbitrary bytes: read as a
// saved log (whole and mid-session), and fed line by line to both legs in
// both directions, under each profile with a small cap on open transactions
// and resets into each session state.
#include "check/logreader.h"
#include "check/protocolchecker.h"

#include <QBuffer>

#include <cstdint>
#include <cstdlib>

using namespace check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    {
        ProtocolChecker c;
        qint64 seen = 0;
        c.setFindingHandler([&](const Finding &f) {
            ++seen;
            if (f.text.isEmpty() || f.line < 0)
                std::abort();
        });
        QBuffer buf;
        buf.setData(bytes);
        buf.open(QIODevice::ReadOnly);
        ReadOptions options;
        options.midSession = size % 2;
        const ReadResult r = LogReader::Read(buf, c, options);
        if (r.traffic > r.lines + 1 || seen != c.findingCount())
            std::abort();
        qint64 byParty = 0;
        for (int i = 0; i < RuleCount; ++i)
            byParty += c.findingCount(Rule(i), Party::Client) + c.findingCount(Rule(i), Party::Server);
        if (byParty != c.findingCount())
            std::abort();
        for (const RepeatedCause &cause : c.repeatedCauses())
            if (cause.sentence.isEmpty() || cause.count <= 0)
                std::abort();
    }
    const Profile profiles[] = {Profile::Spec143, Profile::Nist, Profile::V2};
    ProtocolChecker c{RuleSet(profiles[size % 3])};
    c.setOpenCap(8);
    qint64 t = 0, pos = 0;
    for (const QByteArray &line : bytes.split('\n')) {
        const uchar sel = line.isEmpty() ? 0 : uchar(line[0]);
        const QByteArrayView rest = line.isEmpty() ? QByteArrayView() : QByteArrayView(line).sliced(1);
        c.feed(sel & 1 ? Leg::Relay : Leg::Operator, sel & 2 ? Direction::FromServer : Direction::ToServer,
               (sel & 4) ? -1 : (t += sel * 997), rest, ++pos, LineEnd((sel >> 3) % 6));
        if ((sel & 0xf0) == 0xf0)
            c.connectionReset(sel & 1 ? Leg::Relay : Leg::Operator, pos, StreamStart((sel >> 1) % 3));
    }
    c.finish();
    if (c.totals(Leg::Operator).open > 8 || c.totals(Leg::Relay).open > 8)
        std::abort();
    for (int m = 0; m < c.methodCount(); ++m)
        (void)c.methodStats(m).toDone.quantile(0.95);
    return 0;
}
