// Replay's readers on arbitrary bytes: the bytes as a recording (read to
// its end from a buffer, every transaction's replies
// compared with themselves shifted by one line), and as a faults file
// applied to a few commands.
#include "replay/diff.h"
#include "replay/faults.h"
#include "replay/match.h"
#include "replay/recording.h"

#include <QBuffer>

#include <cstdint>
#include <cstdlib>

using namespace replay;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    {
        auto buf = std::make_unique<QBuffer>();
        buf->setData(bytes);
        Recording rec(std::make_unique<DeviceSource>(std::move(buf)), LegChoice(size % 3));
        QString error;
        if (rec.open(&error)) {
            qint64 n = 0;
            for (const RecordedTxn *t = rec.at(0); t; t = rec.at(++n)) {
                if (t->index != n || !SameText(t->normalised, Normalise(t->command), 0))
                    std::abort();
                std::vector<QByteArray> a, b;
                for (const RecordedLine &l : t->replies)
                    a.push_back(l.body);
                b.assign(a.begin() + (a.empty() ? 0 : 1), a.end());
                if (!CompareReplies(a, a, 0).empty() || CompareReplies(a, b, 0).size() != (a.empty() ? 0 : 1))
                    std::abort();
                rec.release(n);
            }
        } else if (error.isEmpty() && rec.problem().isEmpty()) {
            std::abort();
        }
    }
    {
        FaultScript f;
        QString error;
        if (f.loadJson(bytes, QStringLiteral("f.json"), &error)) {
            for (const char *command : {"GoTo(X(1))", "PtMeas(X(1))", "Get(X())", "GoTo(X(2))"}) {
                FaultPlan p;
                p.tag = "00001";
                p.lines = {{"00001 &", 0}, {"00001 # X(1)", 10}, {"00001 %", 20}};
                f.apply(command, p);
                for (size_t i = 1; i < p.lines.size(); ++i)
                    if (p.lines[i].delayUs < 0)
                        std::abort();
            }
        } else if (error.isEmpty()) {
            std::abort();
        }
    }
    return 0;
}
