#include "app/hooks.h"

#include <QDir>
#include <QFileDialog>
#include <QGuiApplication>
#include <QPointer>
#include <QProgressDialog>
#include <memory>
#include <utility>

QString QtFileFilter(const QString &pipeFilter)
{
    const QStringList parts = pipeFilter.split(QLatin1Char('|'));
    QStringList filters;
    for (int i = 0; i + 1 < parts.size(); i += 2) {
        QString patterns = parts[i + 1];
        patterns.replace(QLatin1Char(';'), QLatin1Char(' '));
        if (patterns == QLatin1String("*.*"))
            patterns = QStringLiteral("*");
        filters << QStringLiteral("%1 (%2)").arg(parts[i], patterns);
    }
    return filters.join(QStringLiteral(";;"));
}

namespace {
QString nextDialogFolder; // the dialogs run on the UI thread only

QString TakeDialogFolder()
{
    const QString folder = std::exchange(nextDialogFolder, QString());
    return !folder.isEmpty() && QDir(folder).exists() ? folder : QDir::currentPath();
}
} // namespace

void SetNextDialogFolder(const QString &folder)
{
    nextDialogFolder = folder;
}

FormHooks FormHooks::desktop(QWidget *parent)
{
    QPointer<QWidget> owner(parent);
    FormHooks h;
    h.message = [owner](QMessageBox::Icon icon, const QString &caption, const QString &text) {
        QMessageBox box(icon, caption, text, QMessageBox::Ok, owner);
        box.exec();
    };
    h.confirm = [owner](const QString &caption, const QString &question) {
        QMessageBox box(QMessageBox::Question, caption, question, QMessageBox::Ok | QMessageBox::Cancel,
                        owner);
        return box.exec() == QMessageBox::Ok;
    };
    h.openFileName = [owner](const QString &title, const QString &filter, bool mustExist) {
        QFileDialog dlg(owner, title, TakeDialogFolder(), QtFileFilter(filter));
        dlg.setAcceptMode(QFileDialog::AcceptOpen);
        dlg.setFileMode(mustExist ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
        if (dlg.exec() != QDialog::Accepted)
            return QString();
        const QStringList files = dlg.selectedFiles();
        return files.isEmpty() ? QString() : files.constFirst();
    };
    h.saveFileName = [owner](const QString &title, const QString &filter) {
        QFileDialog dlg(owner, title, TakeDialogFolder(), QtFileFilter(filter));
        dlg.setAcceptMode(QFileDialog::AcceptSave);
        dlg.setFileMode(QFileDialog::AnyFile);
        dlg.setOption(QFileDialog::DontConfirmOverwrite, true);
        if (dlg.exec() != QDialog::Accepted)
            return QString();
        const QStringList files = dlg.selectedFiles();
        return files.isEmpty() ? QString() : files.constFirst();
    };
    auto shown = std::make_shared<QPointer<QProgressDialog>>();
    h.progress = [owner, shown](const QString &label, qint64 done, qint64 total) {
        if (done >= total) {
            delete shown->data();
            return true;
        }
        if (!*shown) {
            // Not modal: a modal progress dialog runs the event loop itself
            // on every new value. The window stays usable meanwhile.
            auto *dialog = new QProgressDialog(label, QStringLiteral("Cancel"), 0, 1000, owner);
            dialog->setWindowModality(Qt::NonModal);
            dialog->setMinimumDuration(0);
            dialog->setAutoClose(false);
            dialog->setAutoReset(false);
            dialog->show();
            *shown = dialog;
        }
        QProgressDialog *dialog = shown->data();
        if (dialog->wasCanceled())
            return false;
        dialog->setLabelText(label);
        dialog->setValue(int(done * 1000 / qMax<qint64>(1, total)));
        return true;
    };
    h.modifiers = [] { return QGuiApplication::queryKeyboardModifiers(); };
    return h;
}
