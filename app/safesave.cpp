#include "app/safesave.h"

#include <QSaveFile>

bool SaveFileAtomically(const QString &path,
                        const std::function<bool(QIODevice &out, QString *reason)> &write, QString *error)
{
    QSaveFile file(path);
    auto fail = [&](const QString &reason) {
        if (error)
            *error = reason.isEmpty() ? file.errorString() : reason;
        file.cancelWriting();
        return false;
    };
    // Unbuffered: a short write (disk full, size limit) must be seen here.
    // Through the write buffer it would be lost at the final flush, and the
    // cut file would still replace the old one.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return fail(QString());
    QString reason;
    if (!write(file, &reason))
        return fail(reason);
    if (!file.commit()) {
        if (error)
            *error = file.errorString();
        return false;
    }
    return true;
}

bool SaveFileAtomically(const QString &path, const QByteArray &bytes, QString *error)
{
    return SaveFileAtomically(
        path,
        [&bytes](QIODevice &out, QString *reason) {
            qint64 done = 0;
            while (done < bytes.size()) {
                const qint64 n = out.write(bytes.constData() + done, bytes.size() - done);
                if (n <= 0) {
                    *reason = out.errorString();
                    return false;
                }
                done += n;
            }
            return true;
        },
        error);
}
