#pragma once
// A file read into an inspector of its own, instead of the live traffic: a
// saved log (this program's, torvane-tap's, the NIST suite's, a transcript)
// or a packet capture. It is read a slice per turn of the event loop, so the
// window stays responsive whatever the file's size, and the lines carry the
// file's times (log time stamps, capture times), so timing works as live.

#include <QObject>
#include <QString>

#include <memory>

class QTimer;

namespace inspect {

class LiveInspector;

class OfflineReader : public QObject {
    Q_OBJECT
public:
    // A turn of the event loop reads pieces of the file for about this long,
    // and at most SliceBytes of a log: progress shows however fast it goes.
    static constexpr int SliceMs = 20;
    static constexpr qint64 SliceBytes = 1 << 20;
    static constexpr qint64 PieceBytes = 64 * 1024; // of a log
    static constexpr int PieceFrames = 512; // of a capture

    // Reads into `target`, which should be fresh.
    explicit OfflineReader(LiveInspector *target, QObject *parent = nullptr);
    ~OfflineReader() override;

    // Opens `path` and starts reading it; false when it cannot be read or is
    // neither a log nor a capture (error() says why).
    bool start(const QString &path);
    // Stops reading; finished() is not sent.
    void cancel();
    bool running() const;

    qint64 done() const; // bytes read so far
    qint64 total() const; // the file's size
    QString error() const; // why the file is unusable
    // What was read, for the window: the format and the amount.
    QString description() const;

Q_SIGNALS:
    void progressed(qint64 done, qint64 total);
    // `ok`: read to its end and usable; otherwise error() says what went wrong.
    void finished(bool ok);

private:
    void slice();
    void end(bool ok);

    struct State;
    std::unique_ptr<State> d;
    QTimer *timer = nullptr;
};

} // namespace inspect
