#include "app/safesave.h"

#include <QSaveFile>

bool SaveFileAtomically(const QString &path, const QByteArray &bytes, QString *error)
{
    QSaveFile file(path);
    auto fail = [&] {
        if (error)
            *error = file.errorString();
        file.cancelWriting();
        return false;
    };
    // Unbuffered: a short write (disk full, size limit) must be seen here.
    // Through the write buffer it would be lost at the final flush, and the
    // cut file would still replace the old one.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return fail();
    qint64 done = 0;
    while (done < bytes.size()) {
        const qint64 n = file.write(bytes.constData() + done, bytes.size() - done);
        if (n <= 0)
            return fail();
        done += n;
    }
    if (!file.commit()) {
        if (error)
            *error = file.errorString();
        return false;
    }
    return true;
}
