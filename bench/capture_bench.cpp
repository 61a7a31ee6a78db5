// Capture benchmark. Writes a capture of I++ DME traffic (by default about
// 1 GB: 10 M lines, one a segment, in ten sessions) and times, side by side:
//  - torvane-check FILE (target: at most twice tshark's time), with its peak
//    memory against a capture a tenth the size (target: the same, i.e.
//    constant memory);
//  - tshark -r FILE -q, when tshark is installed.
// Usage: capture_bench [lines]

#include "platform/testsupport.h"

#include <QCoreApplication>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <pcap/pcap.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

void Put16(uchar *p, quint16 v)
{
    p[0] = uchar(v >> 8);
    p[1] = uchar(v);
}
void Put32(uchar *p, quint32 v)
{
    Put16(p, quint16(v >> 16));
    Put16(p + 2, quint16(v));
}

QByteArray Line(qint64 i, int part)
{
    const QByteArray tag = QByteArray::number(i % 99999 + 1).rightJustified(5, '0');
    switch (part) {
    case 0:
        return tag + (i % 2 ? " Get(X(), Y(), Z())\r\n" : " GoTo(X(1.5), Y(2.5), Z(3.5))\r\n");
    case 1:
        return tag + " &\r\n";
    case 2:
        return i % 2 ? tag + " # X(1.50000), Y(2.50000), Z(3.50000)\r\n" : tag + " %\r\n";
    default:
        return tag + " %\r\n";
    }
}

class Writer {
public:
    explicit Writer(const QString &path)
    {
        pcap_ = pcap_open_dead(DLT_EN10MB, 65535);
        dump_ = pcap_dump_open(pcap_, QFile::encodeName(path).constData());
    }
    ~Writer()
    {
        if (dump_)
            pcap_dump_close(dump_);
        pcap_close(pcap_);
    }
    bool ok() const { return dump_ != nullptr; }

    // One segment from the client (side 0) or the server (side 1).
    void segment(int side, quint8 flags, const QByteArray &payload)
    {
        uchar f[14 + 20 + 20 + 256] = {};
        f[12] = 0x08; // IPv4
        uchar *ip = f + 14;
        ip[0] = 0x45;
        Put16(ip + 2, quint16(40 + payload.size()));
        ip[8] = 64;
        ip[9] = 6;
        const quint32 client = 0x7f000001, server = 0x7f000002;
        Put32(ip + 12, side ? server : client);
        Put32(ip + 16, side ? client : server);
        uchar *tcp = ip + 20;
        Put16(tcp, side ? 1294 : port_);
        Put16(tcp + 2, side ? port_ : 1294);
        Put32(tcp + 4, seq_[side]);
        Put32(tcp + 8, seq_[1 - side]);
        tcp[12] = 5 << 4;
        tcp[13] = flags;
        Put16(tcp + 14, 65535);
        std::memcpy(tcp + 20, payload.constData(), size_t(payload.size()));
        seq_[side] += quint32(payload.size()) + ((flags & 0x03) ? 1 : 0);
        pcap_pkthdr h{};
        timeUs_ += 100;
        h.ts.tv_sec = timeUs_ / 1000000;
        h.ts.tv_usec = timeUs_ % 1000000;
        h.caplen = h.len = bpf_u_int32(54 + payload.size());
        pcap_dump(reinterpret_cast<u_char *>(dump_), &h, f);
    }
    void open()
    {
        ++port_;
        seq_[0] = 1000u * port_;
        seq_[1] = 7000u * port_;
        segment(0, 0x02, {});
        segment(1, 0x12, {});
        segment(0, 0x10, {});
    }
    void close()
    {
        segment(0, 0x11, {});
        segment(1, 0x11, {});
        segment(0, 0x10, {});
    }

private:
    pcap_t *pcap_ = nullptr;
    pcap_dumper_t *dump_ = nullptr;
    quint32 seq_[2] = {};
    quint16 port_ = 40000;
    qint64 timeUs_ = 1700000000000000;
};

bool WriteCapture(const QString &path, qint64 lines, qint64 perSession)
{
    Writer w(path);
    if (!w.ok())
        return false;
    qint64 written = 0;
    for (qint64 i = 0; written < lines; ++i) {
        if (written % perSession == 0 || i == 0) {
            if (i > 0)
                w.close();
            w.open();
            w.segment(0, 0x18, "00001 StartSession()\r\n");
            w.segment(1, 0x18, "00001 &\r\n");
            w.segment(1, 0x18, "00001 %\r\n");
            written += 3;
            i = 1;
        }
        const int parts = i % 2 ? 4 : 3;
        for (int p = 0; p < parts; ++p, ++written)
            w.segment(p == 0 ? 0 : 1, 0x18, p == 2 && parts == 3 ? Line(i, 3) : Line(i, p));
    }
    w.close();
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const qint64 lines = argc > 1 ? std::atoll(argv[1]) : 10000000;
    QTemporaryDir dir;
    const QString small = dir.filePath(QStringLiteral("small.pcap")),
                  big = dir.filePath(QStringLiteral("big.pcap"));
    // Sessions of the same length in both, so that each fills the checker's
    // ring of completed transactions alike.
    const qint64 perSession = qMax<qint64>(lines / 10, 1);
    if (!WriteCapture(small, lines / 10, perSession) || !WriteCapture(big, lines, perSession)) {
        std::fprintf(stderr, "cannot write the captures in %s\n", qPrintable(dir.path()));
        return 1;
    }
    const double mb = double(QFile(big).size()) / 1e6;
    const QStringList args{QStringLiteral("--max-per-rule"), QStringLiteral("5")};
    const platform::test::MeasuredRun a =
        platform::test::RunMeasured(QStringLiteral(TORVANE_CHECK_BINARY), args + QStringList{small});
    const platform::test::MeasuredRun b =
        platform::test::RunMeasured(QStringLiteral(TORVANE_CHECK_BINARY), args + QStringList{big});
    std::printf("capture: %lld lines, %.0f MB\n", (long long)lines, mb);
    std::printf("torvane-check, %lld lines: %.2f s, peak %lld KiB, exit %d\n", (long long)(lines / 10),
                a.seconds, (long long)a.peakKb, a.status);
    std::printf(
        "torvane-check, %lld lines: %.2f s, %.0f ns a line, peak %lld KiB (target: as for %lld lines) %s, "
        "exit %d\n",
        (long long)lines, b.seconds, b.seconds * 1e9 / double(lines), (long long)b.peakKb,
        (long long)(lines / 10), b.peakKb <= a.peakKb * 11 / 10 + 1024 ? "OK" : "MISSED", b.status);
    const QString tshark = QStandardPaths::findExecutable(QStringLiteral("tshark"));
    if (tshark.isEmpty()) {
        std::printf("tshark: not installed, no comparison (apt-get install tshark)\n");
        return 0;
    }
    const platform::test::MeasuredRun t =
        platform::test::RunMeasured(tshark, {QStringLiteral("-r"), big, QStringLiteral("-q")});
    std::printf("tshark -r FILE -q: %.2f s, peak %lld KiB, exit %d\n", t.seconds, (long long)t.peakKb,
                t.status);
    std::printf("torvane-check / tshark: %.2f (target <= 2) %s\n", b.seconds / t.seconds,
                b.seconds <= 2 * t.seconds ? "OK" : "MISSED");
    return 0;
}
