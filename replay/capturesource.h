#pragma once
// A packet capture as a recording: one I++ DME session of a pcap or pcapng
// file, read through the capture reader a slice of frames at a time as the
// recording asks for more. Its lines are the operator leg's (a capture sees
// one connection, the client and its server); a line's position is its
// frame number.

#include "capture/capturereader.h"
#include "replay/recording.h"

#include <QList>
#include <QString>

#include <memory>

namespace replay {

struct CaptureChoice {
    QList<quint16> ports{1294}; // the server ports whose connections are I++ DME without looking
    int session = 1; // the session replayed, from 1 in the order they began
};

class CaptureSource : public RecordingSource {
public:
    // Frames read per piece.
    static constexpr int FramesPerPiece = 4096;

    CaptureSource(const QString &path, const CaptureChoice &choice = {});
    ~CaptureSource() override;
    bool open(check::TrafficSink &sink, QString *error) override;
    bool next() override;
    QString problem() const override { return trouble; }

private:
    void ended();
    QString path;
    CaptureChoice choice;
    std::unique_ptr<capture::CaptureReader> reader;
    check::TrafficSink *into = nullptr;
    QString trouble;
    bool reading = false;
};

// The source for a recording file: a capture when its first bytes say so,
// a log in any format the checker reads otherwise.
std::unique_ptr<RecordingSource> SourceForFile(const QString &path, const CaptureChoice &choice = {});

} // namespace replay
