#pragma once

#include <QByteArray>
#include <QString>

// Writes `bytes` to a new file that then takes the place of `path`; the old
// file stays untouched when anything fails. False, with the reason in
// `error`, on failure.
bool SaveFileAtomically(const QString &path, const QByteArray &bytes, QString *error = nullptr);
