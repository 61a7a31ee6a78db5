#include "capture/capturereader.h"

#include "capture/reassembler.h"

#include <QFile>

#include <pcap/pcap.h>

#include <algorithm>
#include <array>
#include <functional>
#include <cstdio>
#include <cstring>
#include <list>
#include <unordered_map>

namespace capture {

namespace {

quint16 Be16(const uchar *p)
{
    return quint16(p[0] << 8 | p[1]);
}

quint32 Be32(const uchar *p)
{
    return quint32(p[0]) << 24 | quint32(p[1]) << 16 | quint32(p[2]) << 8 | quint32(p[3]);
}

// An address as 16 bytes (IPv4 mapped into IPv6) and a port.
struct Endpoint {
    std::array<uchar, 16> addr{};
    quint16 port = 0;
    bool operator<(const Endpoint &o) const { return addr != o.addr ? addr < o.addr : port < o.port; }
    bool operator==(const Endpoint &o) const { return addr == o.addr && port == o.port; }
};

Endpoint V4(const uchar *a, quint16 port)
{
    Endpoint e;
    e.addr[10] = e.addr[11] = 0xff;
    std::memcpy(e.addr.data() + 12, a, 4);
    e.port = port;
    return e;
}

Endpoint V6(const uchar *a, quint16 port)
{
    Endpoint e;
    std::memcpy(e.addr.data(), a, 16);
    e.port = port;
    return e;
}

QByteArray EndpointText(const Endpoint &e)
{
    static const uchar mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    const uchar *a = e.addr.data();
    if (std::memcmp(a, mapped, 12) == 0)
        return QByteArray::number(a[12]) + '.' + QByteArray::number(a[13]) + '.' + QByteArray::number(a[14])
            + '.' + QByteArray::number(a[15]) + ':' + QByteArray::number(e.port);
    // The longest run of zero groups (two or more) becomes "::".
    quint16 g[8];
    for (int i = 0; i < 8; ++i)
        g[i] = Be16(a + 2 * i);
    int best = -1, bestLen = 1;
    for (int i = 0; i < 8;) {
        int j = i;
        while (j < 8 && g[j] == 0)
            ++j;
        if (j - i > bestLen) {
            best = i;
            bestLen = j - i;
        }
        i = j == i ? i + 1 : j;
    }
    QByteArray s = "[";
    for (int i = 0; i < 8; ++i) {
        if (i == best) {
            s += "::";
            i += bestLen - 1;
            continue;
        }
        if (s.size() > 1 && !s.endsWith(':'))
            s += ':';
        s += QByteArray::number(g[i], 16);
    }
    return s + "]:" + QByteArray::number(e.port);
}

// A connection, its two ends in order.
struct ConnKey {
    Endpoint a, b;
    bool operator==(const ConnKey &o) const { return a == o.a && b == o.b; }
};

struct ConnKeyHash {
    size_t operator()(const ConnKey &k) const
    {
        return qHashBits(k.a.addr.data(), 16, qHashBits(k.b.addr.data(), 16, k.a.port * 65537u + k.b.port));
    }
};

constexpr quint8 TcpFin = 0x01, TcpSyn = 0x02, TcpRst = 0x04, TcpAck = 0x10;

// Cuts one side's bytes into lines. A line that ends in a bare LF waits for
// the next byte: a CR there makes its end LF CR.
class LineSplitter {
public:
    using Emit = std::function<void(QByteArrayView, qint64, check::LineEnd, qint64, qint64)>;

    // Called with the first bytes of a stream whose start was not captured:
    // unless they begin a tagged line, the stream is taken up at the next.
    bool unsureStart = false;

    template <typename F> void data(const char *p, qsizetype n, qint64 frame, qint64 t, F &&deliver)
    {
        const char *end = p + n;
        if (n <= 0)
            return;
        if (pending_) {
            const bool cr = *p == '\r';
            pending_ = false;
            deliver(QByteArrayView(pendingBytes_), pendingLength_,
                    cr ? check::LineEnd::LfCr : check::LineEnd::Lf, pendingTime_, pendingFrame_);
            pendingBytes_.clear();
            if (cr && ++p == end)
                return;
        }
        if (unsureStart) {
            unsureStart = false;
            skipping_ = !LooksLikeTaggedLine(p, end - p);
        }
        while (p < end) {
            const char *nl = static_cast<const char *>(std::memchr(p, '\n', size_t(end - p)));
            if (skipping_) {
                if (!nl)
                    return;
                skipping_ = false;
                p = nl + 1;
                continue;
            }
            if (!nl) {
                append(p, end - p);
                return;
            }
            const qsizetype len = nl - p;
            QByteArrayView line;
            qint64 full;
            bool cr;
            if (curLength_ == 0) {
                line = QByteArrayView(p, qMin<qsizetype>(len, check::KeptLineLength));
                full = len;
                cr = len > 0 && p[len - 1] == '\r';
            } else {
                append(p, len);
                line = cur_;
                full = curLength_;
                cr = curEndsInCr_;
            }
            p = nl + 1;
            if (cr) {
                if (line.size() == full)
                    line.chop(1);
                deliver(line, full - 1, check::LineEnd::CrLf, t, frame);
            } else if (p < end) {
                const bool lfcr = *p == '\r';
                deliver(line, full, lfcr ? check::LineEnd::LfCr : check::LineEnd::Lf, t, frame);
                if (lfcr)
                    ++p;
            } else {
                pendingBytes_ = line.toByteArray();
                pendingLength_ = full;
                pendingFrame_ = frame;
                pendingTime_ = t;
                pending_ = true;
            }
            cur_.clear();
            curLength_ = 0;
            curEndsInCr_ = false;
        }
    }

    // Bytes are missing: the line in progress is lost, and the stream is
    // taken up at the next line.
    template <typename F> void gap(F &&deliver)
    {
        flushPending(deliver);
        cur_.clear();
        curLength_ = 0;
        curEndsInCr_ = false;
        skipping_ = true;
        unsureStart = false;
    }

    template <typename F> void finish(qint64 frame, qint64 t, F &&deliver)
    {
        flushPending(deliver);
        if (curLength_ > 0 && !skipping_)
            deliver(QByteArrayView(cur_), curLength_, check::LineEnd::Missing, t, frame);
        cur_.clear();
        curLength_ = 0;
    }

private:
    template <typename F> void flushPending(F &&deliver)
    {
        if (!pending_)
            return;
        pending_ = false;
        deliver(QByteArrayView(pendingBytes_), pendingLength_, check::LineEnd::Lf, pendingTime_,
                pendingFrame_);
        pendingBytes_.clear();
    }

    void append(const char *p, qsizetype n)
    {
        const qsizetype room = check::KeptLineLength - cur_.size();
        if (room > 0)
            cur_.append(p, qMin(n, room));
        curLength_ += n;
        if (n > 0)
            curEndsInCr_ = p[n - 1] == '\r';
    }

    QByteArray cur_;
    qint64 curLength_ = 0;
    bool curEndsInCr_ = false;
    bool skipping_ = false;
    bool pending_ = false;
    QByteArray pendingBytes_;
    qint64 pendingLength_ = 0, pendingFrame_ = 0, pendingTime_ = -1;
};

} // namespace

struct Conn;

// One direction of a followed session: its bytes, then its lines.
struct Stream final : StreamSink {
    Stream(CaptureReader::Impl &impl, Conn &conn, Side side) : impl(impl), conn(conn), side(side) { }
    void data(const char *bytes, qsizetype size, qint64 frame, qint64 timeUs) override;
    void gap(qint64 bytes, qint64 frame, qint64 timeUs) override;
    void differs(qint64 bytes, qint64 frame, qint64 timeUs) override;

    CaptureReader::Impl &impl;
    Conn &conn;
    Side side;
    Reassembler bytes{*this};
    LineSplitter lines;
};

struct Conn {
    enum State : quint8 { Pending, Active, Ignored, Closed };
    ConnKey key;
    State state = Pending;
    bool syn[2] = {};
    quint32 isn[2] = {};
    int opener = -1; // the end that sent the first SYN
    int client = -1;
    int probes = 0; // data segments looked at for a tagged command
    bool fin[2] = {};
    qint64 firstUs = -1, firstFrame = 0;
    Session session;
    std::unique_ptr<Stream> stream[2];
    std::list<Conn *>::iterator lru;
    const Endpoint &end(int i) const { return i ? key.b : key.a; }
};

struct CaptureReader::Impl {
    CaptureReader &owner;
    ReaderOptions options;
    ReadResult result;
    std::unordered_map<ConnKey, std::unique_ptr<Conn>, ConnKeyHash> conns;
    std::list<Conn *> lru; // least recently seen first
    Conn *last = nullptr; // the connection of the last segment
    int active = 0;
    int nextSession = 0;
    qint64 frameNo = 0, timeUs = -1;
    pcap_t *pcap = nullptr;

    Impl(CaptureReader &o, ReaderOptions opt) : owner(o), options(std::move(opt)) { }
    ~Impl()
    {
        if (pcap)
            pcap_close(pcap);
    }

    void emitEvent(EventKind kind, const Conn &c, Side side, qint64 bytes, qint64 frame, qint64 t)
    {
        if (owner.onEvent_)
            owner.onEvent_(Event{kind, &c.session, side, bytes, t, frame});
    }

    void emitLine(const Conn &c, Side side, QByteArrayView bytes, qint64 full, check::LineEnd end, qint64 t,
                  qint64 frame)
    {
        ++result.lines;
        if (owner.onLine_)
            owner.onLine_(Line{c.session.id, side, bytes, full, end, t, frame});
    }

    void ip(const uchar *p, qsizetype n);
    void tcp(const Endpoint &src, const Endpoint &dst, const uchar *p, qsizetype n, qsizetype payloadLength);
    Conn *connection(const ConnKey &key, bool create);
    void forget(Conn *c);
    void activate(Conn &c, int client, bool byPort);
    void endSession(Conn &c);
    bool serverPort(quint16 port) const { return options.ports.contains(port); }
};

void Stream::data(const char *bytes, qsizetype size, qint64 frame, qint64 timeUs)
{
    lines.data(bytes, size, frame, timeUs,
               [this](QByteArrayView l, qint64 full, check::LineEnd e, qint64 t, qint64 f) {
                   impl.emitLine(conn, side, l, full, e, t, f);
               });
}

void Stream::gap(qint64 n, qint64 frame, qint64 timeUs)
{
    lines.gap([this](QByteArrayView l, qint64 full, check::LineEnd e, qint64 t, qint64 f) {
        impl.emitLine(conn, side, l, full, e, t, f);
    });
    impl.emitEvent(EventKind::Gap, conn, side, n, frame, timeUs);
}

void Stream::differs(qint64 n, qint64 frame, qint64 timeUs)
{
    impl.emitEvent(EventKind::Differs, conn, side, n, frame, timeUs);
}

bool LooksLikeCapture(QByteArrayView head)
{
    if (head.size() < 4)
        return false;
    const quint32 m = Be32(reinterpret_cast<const uchar *>(head.data()));
    switch (m) {
    case 0xa1b2c3d4: // pcap, microseconds
    case 0xd4c3b2a1:
    case 0xa1b23c4d: // pcap, nanoseconds
    case 0x4d3cb2a1:
    case 0x0a0d0d0a: // pcapng section header
        return true;
    default:
        return false;
    }
}

CaptureReader::CaptureReader(ReaderOptions options) : d(std::make_unique<Impl>(*this, std::move(options))) { }

CaptureReader::~CaptureReader() = default;

ReadResult CaptureReader::read(const QString &path)
{
    if (open(path))
        while (readSome(1 << 16)) { }
    return close();
}

bool CaptureReader::open(const QString &path)
{
    close();
    ReadResult &r = d->result;
    r = ReadResult();
    {
        QFile f(path);
        if (f.open(QIODevice::ReadOnly)) {
            const QByteArray head = f.read(4);
            r.format = head == QByteArray("\x0a\x0d\x0d\x0a", 4) ? "pcapng" : "pcap";
        }
    }
    char err[PCAP_ERRBUF_SIZE] = {};
    d->pcap = pcap_open_offline_with_tstamp_precision(QFile::encodeName(path).constData(),
                                                      PCAP_TSTAMP_PRECISION_NANO, err);
    if (!d->pcap) {
        r.error = QString::fromLocal8Bit(err);
        return false;
    }
    r.opened = true;
    r.linkType = pcap_datalink(d->pcap);
    return true;
}

bool CaptureReader::readSome(int frames)
{
    ReadResult &r = d->result;
    if (!d->pcap)
        return false;
    for (int i = 0; i < frames; ++i) {
        pcap_pkthdr *hdr = nullptr;
        const uchar *bytes = nullptr;
        const int rc = pcap_next_ex(d->pcap, &hdr, &bytes);
        if (rc == 1) {
            const qint64 t = qint64(hdr->ts.tv_sec) * 1000000 + qint64(hdr->ts.tv_usec) / 1000;
            frame(r.linkType, bytes, qsizetype(hdr->caplen), t);
            if (!r.linkSupported)
                return false;
            continue;
        }
        if (rc == PCAP_ERROR) {
            r.error = QString::fromLocal8Bit(pcap_geterr(d->pcap));
            r.truncated = true;
        }
        return false;
    }
    return true;
}

const ReadResult &CaptureReader::progress() const
{
    return d->result;
}

qint64 CaptureReader::filePosition() const
{
    FILE *f = d->pcap ? pcap_file(d->pcap) : nullptr;
    return f ? qint64(std::ftell(f)) : 0;
}

ReadResult CaptureReader::close()
{
    if (d->pcap) {
        pcap_close(d->pcap);
        d->pcap = nullptr;
        finish();
    }
    return d->result;
}

void CaptureReader::frame(int linkType, const uchar *p, qsizetype n, qint64 timeUs)
{
    ReadResult &r = d->result;
    ++r.frames;
    d->frameNo = r.frames;
    d->timeUs = timeUs;
    quint16 type = 0;
    switch (linkType) {
    case DLT_EN10MB: {
        if (n < 14)
            return;
        type = Be16(p + 12);
        p += 14;
        n -= 14;
        // 802.1Q, 802.1ad and the older QinQ tags, stacked.
        while ((type == 0x8100 || type == 0x88a8 || type == 0x9100) && n >= 4) {
            type = Be16(p + 2);
            p += 4;
            n -= 4;
        }
        break;
    }
    case DLT_LINUX_SLL:
        if (n < 16)
            return;
        type = Be16(p + 14);
        p += 16;
        n -= 16;
        break;
    case DLT_LINUX_SLL2:
        if (n < 20)
            return;
        type = Be16(p);
        p += 20;
        n -= 20;
        break;
    case DLT_NULL:
    case DLT_LOOP:
        if (n < 4)
            return;
        p += 4;
        n -= 4;
        d->ip(p, n);
        return;
    case DLT_RAW:
    case 101: // LINKTYPE_RAW where DLT_RAW is numbered otherwise
#ifdef DLT_IPV4
    case DLT_IPV4:
    case DLT_IPV6:
#endif
        d->ip(p, n);
        return;
    default:
        r.linkSupported = false;
        r.error = QStringLiteral("link type %1 is not one this reader knows").arg(linkType);
        return;
    }
    if (type == 0x0800 || type == 0x86dd)
        d->ip(p, n);
}

void CaptureReader::Impl::ip(const uchar *p, qsizetype n)
{
    if (n < 1)
        return;
    if ((p[0] >> 4) == 4) {
        if (n < 20)
            return;
        const qsizetype ihl = (p[0] & 0x0f) * 4;
        const qsizetype total = Be16(p + 2);
        if (ihl < 20 || total < ihl || p[9] != 6)
            return;
        // Fragments are not put together: TCP rarely sends them.
        if ((Be16(p + 6) & 0x3fff) != 0)
            return;
        const Endpoint src = V4(p + 12, 0), dst = V4(p + 16, 0);
        const qsizetype have = qMin(n, total);
        if (have < ihl)
            return;
        tcp(src, dst, p + ihl, have - ihl, total - ihl);
        return;
    }
    if ((p[0] >> 4) == 6) {
        if (n < 40)
            return;
        const qsizetype payload = Be16(p + 4);
        quint8 next = p[6];
        const Endpoint src = V6(p + 8, 0), dst = V6(p + 24, 0);
        qsizetype off = 40;
        qsizetype left = payload;
        // Hop-by-hop, routing and destination options come before TCP;
        // a fragment header ends the look.
        while (next == 0 || next == 43 || next == 60) {
            if (n < off + 8)
                return;
            const qsizetype len = (qsizetype(p[off + 1]) + 1) * 8;
            next = p[off];
            off += len;
            left -= len;
        }
        if (next != 6 || left < 0 || off > n)
            return;
        tcp(src, dst, p + off, qMin(n - off, left), left);
    }
}

void CaptureReader::Impl::tcp(const Endpoint &srcAddr, const Endpoint &dstAddr, const uchar *p, qsizetype n,
                              qsizetype length)
{
    if (n < 20)
        return;
    const qsizetype doff = (p[12] >> 4) * 4;
    if (doff < 20 || n < doff || length < doff)
        return;
    ++result.tcpSegments;
    Endpoint src = srcAddr, dst = dstAddr;
    src.port = Be16(p);
    dst.port = Be16(p + 2);
    const quint32 seq = Be32(p + 4);
    const quint32 ack = Be32(p + 8);
    const quint8 flags = p[13];
    const uchar *payload = p + doff;
    const qsizetype size = n - doff; // what was captured of the payload

    const bool srcFirst = src < dst;
    const ConnKey key{srcFirst ? src : dst, srcFirst ? dst : src};
    const int from = srcFirst ? 0 : 1;
    const bool newConnection = (flags & TcpSyn) && !(flags & TcpAck);

    Conn *c = connection(key, size > 0 || (flags & TcpSyn));
    if (!c)
        return;
    // A new SYN on the ports of an old connection begins another one.
    if (newConnection && c->syn[from] && c->isn[from] != seq) {
        if (c->state == Conn::Active)
            endSession(*c);
        c->state = Conn::Closed;
    }
    if (c->state == Conn::Closed) {
        if (!newConnection)
            return;
        forget(c);
        c = connection(key, true);
    }
    if (c->firstFrame == 0) {
        c->firstFrame = frameNo;
        c->firstUs = timeUs;
    }
    if (c->state == Conn::Ignored)
        return;

    if (flags & TcpSyn) {
        if (!c->syn[from]) {
            c->syn[from] = true;
            c->isn[from] = seq;
            if (!(flags & TcpAck) && c->opener < 0)
                c->opener = from;
        }
        if (c->state == Conn::Active && !c->stream[from]->bytes.started())
            c->stream[from]->bytes.start(seq + 1);
    }
    const quint32 dataSeq = (flags & TcpSyn) ? seq + 1 : seq;

    if (c->state == Conn::Pending && size > 0) {
        const char *text = reinterpret_cast<const char *>(payload);
        const int server = serverPort(c->end(0).port) ? 0 : serverPort(c->end(1).port) ? 1 : -1;
        if (server >= 0) {
            const int client = c->opener >= 0 ? c->opener : 1 - server;
            activate(*c, client, true);
        } else if (c->opener >= 0) {
            // The opener's first line says what the connection carries; a
            // server may greet first.
            if (from == c->opener) {
                if (dataSeq == c->isn[from] + 1 && LooksLikeCommand(text, size))
                    activate(*c, from, false);
                else
                    c->state = Conn::Ignored;
            } else if (++c->probes > 16) {
                c->state = Conn::Ignored;
            }
        } else {
            // No SYN: the side whose lines begin with tagged commands is the
            // client; look for one at each line start of the first segments.
            qsizetype at = -1;
            for (qsizetype i = 0; i < size && at < 0;) {
                if (LooksLikeCommand(text + i, size - i))
                    at = i;
                const void *nl = std::memchr(text + i, '\n', size_t(size - i));
                if (!nl)
                    break;
                i = static_cast<const char *>(nl) - text + 1;
            }
            if (at >= 0) {
                activate(*c, from, false);
                if (c->state == Conn::Active && !c->stream[from]->bytes.started()) {
                    c->stream[from]->bytes.start(dataSeq + quint32(at));
                    c->stream[from]->lines.unsureStart = false;
                }
            } else if (++c->probes > 16) {
                c->state = Conn::Ignored;
            }
        }
    }
    if (c->state != Conn::Active)
        return;

    // The peer's acknowledgement first: it had those bytes before it sent
    // this segment's.
    if (flags & TcpAck)
        c->stream[1 - from]->bytes.acknowledged(ack, frameNo, timeUs);
    if (c->state != Conn::Active)
        return;
    Stream &s = *c->stream[from];
    if (size > 0) {
        if (!s.bytes.started()) {
            s.bytes.start(dataSeq);
            s.lines.unsureStart = true;
        }
        s.bytes.segment(dataSeq, reinterpret_cast<const char *>(payload), size, frameNo, timeUs);
        // What the snapshot length cut off is missing from the capture.
        if (c->state == Conn::Active && length - doff > size && s.bytes.started())
            s.bytes.acknowledged(dataSeq + quint32(length - doff), frameNo, timeUs);
    }
    if (c->state != Conn::Active)
        return;
    if (flags & TcpRst) {
        endSession(*c);
        return;
    }
    if (flags & TcpFin) {
        if (s.bytes.started())
            s.bytes.fin(dataSeq + quint32(length - doff));
        c->fin[from] = true;
        if (c->fin[1 - from])
            endSession(*c);
    }
}

Conn *CaptureReader::Impl::connection(const ConnKey &key, bool create)
{
    if (last && last->key == key) {
        lru.splice(lru.end(), lru, last->lru);
        return last;
    }
    auto it = conns.find(key);
    if (it != conns.end()) {
        last = it->second.get();
        lru.splice(lru.end(), lru, last->lru);
        return last;
    }
    if (!create)
        return nullptr;
    while (int(conns.size()) >= options.maxConnections && !lru.empty())
        forget(lru.front());
    auto c = std::make_unique<Conn>();
    c->key = key;
    Conn *raw = c.get();
    raw->lru = lru.insert(lru.end(), raw);
    conns.emplace(key, std::move(c));
    last = raw;
    return raw;
}

void CaptureReader::Impl::forget(Conn *c)
{
    if (c->state == Conn::Active)
        endSession(*c);
    if (last == c)
        last = nullptr;
    lru.erase(c->lru);
    conns.erase(c->key);
}

void CaptureReader::Impl::activate(Conn &c, int client, bool byPort)
{
    if (active >= options.maxSessions) {
        for (Conn *o : lru)
            if (o->state == Conn::Active) {
                endSession(*o);
                break;
            }
    }
    c.client = client;
    Session &s = c.session;
    s.id = ++nextSession;
    ++result.sessions;
    s.client = EndpointText(c.end(client));
    s.server = EndpointText(c.end(1 - client));
    s.startUs = c.firstUs;
    s.startFrame = c.firstFrame;
    s.opened = c.opener >= 0;
    s.byPort = byPort;
    if (options.onlySession > 0 && s.id != options.onlySession) {
        c.state = Conn::Ignored;
        return;
    }
    c.state = Conn::Active;
    ++active;
    for (int i = 0; i < 2; ++i) {
        c.stream[i] = std::make_unique<Stream>(*this, c, i == client ? Side::Client : Side::Server);
        if (c.syn[i])
            c.stream[i]->bytes.start(c.isn[i] + 1);
    }
    emitEvent(EventKind::SessionStart, c, Side::Client, 0, c.firstFrame, c.firstUs);
}

void CaptureReader::Impl::endSession(Conn &c)
{
    if (c.state != Conn::Active)
        return;
    c.state = Conn::Closed;
    --active;
    for (int i = 0; i < 2; ++i) {
        Stream &s = *c.stream[i];
        s.bytes.finish(frameNo, timeUs);
        s.lines.finish(frameNo, timeUs,
                       [&](QByteArrayView l, qint64 full, check::LineEnd e, qint64 t, qint64 f) {
                           emitLine(c, s.side, l, full, e, t, f);
                       });
    }
    emitEvent(EventKind::SessionEnd, c, Side::Client, 0, frameNo, timeUs);
    c.stream[0].reset();
    c.stream[1].reset();
}

void CaptureReader::finish()
{
    // Open sessions end in the order they began.
    std::vector<Conn *> open;
    for (Conn *c : d->lru)
        if (c->state == Conn::Active)
            open.push_back(c);
    std::sort(open.begin(), open.end(), [](Conn *a, Conn *b) { return a->session.id < b->session.id; });
    for (Conn *c : open)
        d->endSession(*c);
    d->conns.clear();
    d->lru.clear();
    d->last = nullptr;
    d->active = 0;
}

} // namespace capture
