#pragma once

#include <QByteArray>
#include <QSaveFile>
#include <QString>
#include <functional>

class QIODevice;

// A new file written piece by piece, over as many turns of the event loop as
// it takes, that takes the place of `path` only at commit(). Until then, and
// when it is cancelled or destroyed first, the old file stays untouched.
class AtomicFile {
public:
    explicit AtomicFile(const QString &path) : file(path) { }
    // Makes the new file; false with the reason on failure.
    bool open(QString *error);
    // Where the contents go: unbuffered, so that a short write (disk full,
    // size limit) shows at once. Through a write buffer it would be lost at
    // the final flush, and the cut file would still replace the old one.
    QIODevice &device() { return file; }
    // The new file takes the old one's place; false with the reason.
    bool commit(QString *error);
    void cancel();
    QString errorString() const { return file.errorString(); }

private:
    QSaveFile file;
};

// Writes `bytes` to a new file that then takes the place of `path`; the old
// file stays untouched when anything fails. False, with the reason in
// `error`, on failure.
bool SaveFileAtomically(const QString &path, const QByteArray &bytes, QString *error = nullptr);

// The same for contents written piece by piece: `write` writes them to the
// new file (unbuffered, so a short write shows at once) and returns false,
// with a reason when it has one, to give up. The old file is replaced only
// when everything was written.
bool SaveFileAtomically(const QString &path,
                        const std::function<bool(QIODevice &out, QString *reason)> &write,
                        QString *error = nullptr);
