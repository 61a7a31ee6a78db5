#pragma once

#include <QByteArray>
#include <QString>
#include <functional>

class QIODevice;

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
