#include "app/safesave.h"

bool AtomicFile::open(QString *error)
{
    if (file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return true;
    if (error)
        *error = file.errorString();
    return false;
}

bool AtomicFile::commit(QString *error)
{
    if (file.commit())
        return true;
    if (error)
        *error = file.errorString();
    return false;
}

void AtomicFile::cancel()
{
    if (file.isOpen())
        file.cancelWriting();
}

bool SaveFileAtomically(const QString &path,
                        const std::function<bool(QIODevice &out, QString *reason)> &write, QString *error)
{
    AtomicFile file(path);
    if (!file.open(error))
        return false;
    QString reason;
    if (!write(file.device(), &reason)) {
        if (error)
            *error = reason.isEmpty() ? file.errorString() : reason;
        file.cancel();
        return false;
    }
    return file.commit(error);
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
