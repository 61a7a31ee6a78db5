#pragma once
// Made-up captures for the tests: TCP segments wrapped in the link layers
// the reader knows, written as pcap by libpcap itself or as pcapng.

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QString>

#include <pcap/pcap.h>

namespace capfix {

struct Host {
    QByteArray addr; // 4 bytes (IPv4) or 16 (IPv6)
    quint16 port = 0;
};

inline Host V4(quint8 last, quint16 port)
{
    return {QByteArray("\xc0\x00\x02", 3) + char(last), port}; // 192.0.2.x
}

inline Host V6(quint8 last, quint16 port)
{
    QByteArray a("\x20\x01\x0d\xb8", 4); // 2001:db8::x
    a += QByteArray(11, '\0') + char(last);
    return {a, port};
}

enum Flags : quint8 { Fin = 0x01, Syn = 0x02, Rst = 0x04, Psh = 0x08, Ack = 0x10 };

inline void Put16(QByteArray &b, quint16 v)
{
    b += char(v >> 8);
    b += char(v & 0xff);
}
inline void Put32(QByteArray &b, quint32 v)
{
    Put16(b, quint16(v >> 16));
    Put16(b, quint16(v & 0xffff));
}

// An IP packet holding one TCP segment.
inline QByteArray IpTcp(const Host &src, const Host &dst, quint32 seq, quint32 ack, quint8 flags,
                        const QByteArray &payload)
{
    QByteArray tcp;
    Put16(tcp, src.port);
    Put16(tcp, dst.port);
    Put32(tcp, seq);
    Put32(tcp, ack);
    tcp += char(5 << 4);
    tcp += char(flags);
    Put16(tcp, 65535);
    Put32(tcp, 0); // checksum and urgent pointer: not looked at
    tcp += payload;
    QByteArray ip;
    if (src.addr.size() == 4) {
        ip += char(0x45);
        ip += char(0);
        Put16(ip, quint16(20 + tcp.size()));
        Put32(ip, 0x40000000); // id 0, don't fragment
        ip += char(64);
        ip += char(6);
        Put16(ip, 0);
    } else {
        Put32(ip, 0x60000000);
        Put16(ip, quint16(tcp.size()));
        ip += char(6);
        ip += char(64);
    }
    return ip + src.addr + dst.addr + tcp;
}

// The packet behind the link layer `linkType` (with `vlans` 802.1Q tags on
// Ethernet).
inline QByteArray Frame(int linkType, const QByteArray &ip, int vlans = 0)
{
    const bool v6 = (uchar(ip.at(0)) >> 4) == 6;
    const quint16 type = v6 ? 0x86dd : 0x0800;
    QByteArray f;
    switch (linkType) {
    case DLT_EN10MB:
        f = QByteArray("\x02\x00\x00\x00\x00\x02\x02\x00\x00\x00\x00\x01", 12);
        for (int i = 0; i < vlans; ++i) {
            Put16(f, i == 0 && vlans > 1 ? 0x88a8 : 0x8100);
            Put16(f, quint16(100 + i));
        }
        Put16(f, type);
        return f + ip;
    case DLT_LINUX_SLL:
        Put16(f, 0);
        Put16(f, 772);
        Put16(f, 6);
        f += QByteArray(8, '\0');
        Put16(f, type);
        return f + ip;
    case DLT_LINUX_SLL2:
        Put16(f, type);
        Put16(f, 0);
        Put32(f, 1);
        Put16(f, 772);
        f += char(0);
        f += char(6);
        f += QByteArray(8, '\0');
        return f + ip;
    case DLT_NULL: {
        const quint32 family = v6 ? 30 : 2; // as a BSD host wrote it, little-endian
        f += char(family);
        f += QByteArray(3, '\0');
        return f + ip;
    }
    default: // raw IP
        return ip;
    }
}

struct Packet {
    QByteArray bytes;
    qint64 timeUs = 0;
};

// Writes the packets as pcap through libpcap (micro- or nanosecond stamps).
inline bool WritePcap(const QString &path, int linkType, const QList<Packet> &packets, bool nano = false)
{
    pcap_t *p = pcap_open_dead_with_tstamp_precision(
        linkType, 262144, nano ? PCAP_TSTAMP_PRECISION_NANO : PCAP_TSTAMP_PRECISION_MICRO);
    if (!p)
        return false;
    pcap_dumper_t *d = pcap_dump_open(p, QFile::encodeName(path).constData());
    if (!d) {
        pcap_close(p);
        return false;
    }
    for (const Packet &k : packets) {
        pcap_pkthdr h{};
        h.ts.tv_sec = k.timeUs / 1000000;
        h.ts.tv_usec = nano ? (k.timeUs % 1000000) * 1000 : k.timeUs % 1000000;
        h.caplen = h.len = bpf_u_int32(k.bytes.size());
        pcap_dump(reinterpret_cast<u_char *>(d), &h, reinterpret_cast<const u_char *>(k.bytes.constData()));
    }
    pcap_dump_close(d);
    pcap_close(p);
    return true;
}

// The same as pcapng: a section header, one interface (microseconds) and an
// enhanced packet block per packet, little-endian.
inline bool WritePcapng(const QString &path, int linkType, const QList<Packet> &packets)
{
    auto le32 = [](QByteArray &b, quint32 v) {
        for (int i = 0; i < 4; ++i)
            b += char((v >> (8 * i)) & 0xff);
    };
    auto le16 = [](QByteArray &b, quint16 v) {
        b += char(v & 0xff);
        b += char(v >> 8);
    };
    QByteArray out;
    le32(out, 0x0a0d0d0a);
    le32(out, 28);
    le32(out, 0x1a2b3c4d);
    le16(out, 1);
    le16(out, 0);
    le32(out, 0xffffffff);
    le32(out, 0xffffffff);
    le32(out, 28);
    le32(out, 1);
    le32(out, 20);
    le16(out, quint16(linkType));
    le16(out, 0);
    le32(out, 262144);
    le32(out, 20);
    for (const Packet &k : packets) {
        const int padded = (k.bytes.size() + 3) & ~3;
        const quint32 len = quint32(32 + padded);
        le32(out, 6);
        le32(out, len);
        le32(out, 0);
        le32(out, quint32(quint64(k.timeUs) >> 32));
        le32(out, quint32(quint64(k.timeUs) & 0xffffffff));
        le32(out, quint32(k.bytes.size()));
        le32(out, quint32(k.bytes.size()));
        out += k.bytes + QByteArray(padded - k.bytes.size(), '\0');
        le32(out, len);
    }
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(out) == out.size();
}

// One TCP connection told as segments, each side's sequence numbers kept.
class Conversation {
public:
    Conversation(Host client, Host server, int linkType = DLT_EN10MB, quint32 clientIsn = 1000,
                 quint32 serverIsn = 5000)
        : client_(client), server_(server), link_(linkType), seq_{clientIsn, serverIsn}
    { }
    int vlans = 0;
    qint64 timeUs = 1700000000000000;
    qint64 stepUs = 1000;

    void handshake()
    {
        add(0, Syn, {});
        add(1, Syn | Ack, {});
        ++seq_[0];
        ++seq_[1];
        add(0, Ack, {});
    }
    // Sends `bytes` from side 0 (client) or 1 (server) and moves its
    // sequence number on.
    void send(int side, const QByteArray &bytes)
    {
        add(side, Ack | Psh, bytes);
        seq_[side] += quint32(bytes.size());
    }
    // A segment at a given offset from the side's present sequence number,
    // without moving it on.
    void segmentAt(int side, qint64 offset, const QByteArray &bytes, quint8 flags = Ack | Psh)
    {
        const quint32 keep = seq_[side];
        seq_[side] += quint32(offset);
        add(side, flags, bytes);
        seq_[side] = keep;
    }
    void skip(int side, quint32 bytes) { seq_[side] += bytes; }
    void close()
    {
        add(0, Fin | Ack, {});
        ++seq_[0];
        add(1, Fin | Ack, {});
        ++seq_[1];
        add(0, Ack, {});
    }
    quint32 seq(int side) const { return seq_[side]; }
    QList<Packet> packets;

private:
    void add(int side, quint8 flags, const QByteArray &payload)
    {
        const Host &src = side ? server_ : client_;
        const Host &dst = side ? client_ : server_;
        packets.append(
            {Frame(link_, IpTcp(src, dst, seq_[side], seq_[1 - side], flags, payload), vlans), timeUs});
        timeUs += stepUs;
    }
    Host client_, server_;
    int link_;
    quint32 seq_[2];
};

} // namespace capfix
