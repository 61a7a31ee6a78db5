// Log export and pick-up.

#include "app/tform1.h"
#include "app/safesave.h"
#include "commands/commandfile.h"
#include "log/logview.h"
#include "log/pickup.h"

#include <QDir>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QThread>
#include <QTimer>

// One Save Log under way. It writes the lines the log held when it began,
// in slices on a zero-time timer, so the window paints and the links keep
// going meanwhile. The new file takes the old one's place only once it is
// complete, so a failed or cancelled export leaves a file of that name as it
// was. A long export shows its progress after half a second and can be
// cancelled there. The final step, which waits for the system to have the
// file on disk, runs on a thread of its own.
class LogSave : public QObject {
public:
    LogSave(TForm1 *form, const QString &name)
        : QObject(form), form(form), name(name), file(name), snapshot(form->MemoLog->store()),
          label(QStringLiteral("Writing the log to %1").arg(QDir::toNativeSeparators(name)))
    {
        clock.start();
        slices.setSingleShot(true);
        slices.setInterval(0);
        connect(&slices, &QTimer::timeout, this, [this] { slice(); });
    }
    ~LogSave() override
    {
        if (committer) {
            committer->wait();
            delete committer;
        }
    }

    // False, with the reason, when the file cannot be made.
    bool start(QString *reason)
    {
        if (!file.open(reason))
            return false;
        slices.start();
        return true;
    }

    QString fileName() const { return name; }

    // What a slice may do before the event loop gets its turn: this much
    // time, and at most this many bytes, so that the system's write-back of
    // one slice is under way before the next one adds to it.
    static constexpr int SliceMs = 8;
    static constexpr qint64 SliceBytes = 4 << 20;
    // Bytes written between two looks at the clock.
    static constexpr qint64 PieceBytes = 256 * 1024;
    static constexpr int ShowAfterMs = 500;
    static constexpr int ShowEveryMs = 40;

private:
    void slice()
    {
        QElapsedTimer sliceClock;
        sliceClock.start();
        QString reason;
        const qint64 sliceEnd = snapshot.writtenBytes() + SliceBytes;
        while (!snapshot.done()) {
            if (!snapshot.writeSome(file.device(), PieceBytes, &reason))
                return fail(reason);
            if (sliceClock.elapsed() >= SliceMs || snapshot.writtenBytes() >= sliceEnd)
                break;
        }
        if (!snapshot.done()) {
            if (!showProgress(snapshot.writtenBytes()))
                return finish(); // cancelled: the old file stays
            slices.start();
            return;
        }
        // The file is complete: it takes the old one's place. That waits
        // until the system has written it all, which can take a while.
        committer = QThread::create([this] { committed = file.commit(&commitError); });
        connect(committer, &QThread::finished, this, [this] {
            committer->wait();
            delete committer;
            committer = nullptr;
            if (committed)
                finish();
            else
                fail(commitError);
        });
        committer->start();
    }

    // Shows how far the export is, now and then; false when the operator
    // cancels it.
    bool showProgress(qint64 done)
    {
        const qint64 now = clock.elapsed();
        if (now < ShowAfterMs || (lastShown >= 0 && now - lastShown < ShowEveryMs))
            return true;
        lastShown = now;
        return form->hooks.progress(label, done, snapshot.totalBytes());
    }

    void fail(const QString &reason)
    {
        const QString text =
            QStringLiteral("The log could not be written to %1: %2")
                .arg(QDir::toNativeSeparators(name), reason.isEmpty() ? file.errorString() : reason);
        finish();
        form->ShowError(text);
    }

    void finish()
    {
        slices.stop();
        file.cancel();
        if (lastShown >= 0)
            form->hooks.progress(label, snapshot.totalBytes(), snapshot.totalBytes());
        form->logSave = nullptr;
        deleteLater();
    }

    TForm1 *form;
    QString name;
    AtomicFile file;
    LogStore::Export snapshot;
    QString label;
    QElapsedTimer clock;
    qint64 lastShown = -1;
    QTimer slices;
    QThread *committer = nullptr;
    bool committed = false;
    QString commitError;
};

void TForm1::BtSaveLogClick()
{
    if (logSave) {
        hooks.message(QMessageBox::Information, QStringLiteral("Torvane"),
                      QStringLiteral("The log is being written to %1. Wait until that is done, or cancel it.")
                          .arg(QDir::toNativeSeparators(logSave->fileName())));
        return;
    }
    QString name =
        hooks.saveFileName(QStringLiteral("Write log to file"), QStringLiteral("Text files|*.txt"));
    if (name.isEmpty())
        return;
    name = WithSaveExtension(name);

    // The lines there now are the ones written, whatever comes meanwhile.
    auto *save = new LogSave(this, name);
    QString reason;
    if (!save->start(&reason)) {
        delete save;
        throw HandlerError(QStringLiteral("The log could not be written to %1: %2")
                               .arg(QDir::toNativeSeparators(name), reason));
    }
    logSave = save;
}

void TForm1::MemoLogDblClick()
{
    const int index = MemoLog->cursorLine();
    if (index < 0)
        return;
    const LogPick pick = PickFromLogLine(MemoLog->line(index), IsCtrlDown());
    if (pick.kind == LogPick::ToolName) {
        (IsCtrlDown() ? EdToolF : edToolC)->setText(pick.value);
    } else if (pick.kind == LogPick::Command) {
        EdCurrentCommand->setText(pick.value);
        if (IsAltDown())
            BtAddToMemoClick();
    }
}
