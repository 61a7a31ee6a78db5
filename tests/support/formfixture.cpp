#include "support/formfixture.h"

#include "log/logview.h"
#include "support/helpers.h"

#include <QFile>
#include <QTcpServer>
#include <QTest>

FormFixture::FormFixture(const QByteArray &ini, const QString &folder)
{
    previousDir = QDir::currentPath();
    if (folder.isEmpty()) {
        scratch = std::make_unique<QTemporaryDir>();
        workDir = scratch->path();
    } else {
        workDir = folder;
    }
    QDir::setCurrent(workDir);
    QFile f(workDir + QStringLiteral("/Torvane.ini"));
    if (!ini.isEmpty()) {
        f.open(QIODevice::WriteOnly);
        f.write(ini);
    } else if (!f.exists()) {
        f.open(QIODevice::WriteOnly);
        f.write(iniWithFreeRelayPort());
    }
    f.close();
    create();
}

FormFixture::~FormFixture()
{
    window.reset();
    QDir::setCurrent(previousDir);
}

void FormFixture::create()
{
    QDir::setCurrent(workDir);
    FormHooks h;
    h.message = [this](QMessageBox::Icon icon, const QString &caption, const QString &text) {
        messages << ShownMessage{icon, caption, text};
    };
    h.confirm = [this](const QString &caption, const QString &question) {
        dialogs << DialogCall{QStringLiteral("confirm"), caption, question};
        return confirmAnswer;
    };
    h.openFileName = [this](const QString &title, const QString &filter, bool) {
        dialogs << DialogCall{QStringLiteral("open"), title, filter};
        return fileAnswers.isEmpty() ? QString() : fileAnswers.takeFirst();
    };
    h.saveFileName = [this](const QString &title, const QString &filter) {
        dialogs << DialogCall{QStringLiteral("save"), title, filter};
        return fileAnswers.isEmpty() ? QString() : fileAnswers.takeFirst();
    };
    h.modifiers = [this] { return modifiers; };
    h.progress = [this](const QString &, qint64 done, qint64 total) {
        progressShown << done * 1000 / qMax<qint64>(1, total);
        return !cancelProgress;
    };
    window = std::make_unique<TForm1>(nullptr, h);
    window->show();
}

void FormFixture::close()
{
    if (window)
        window->close();
}

void FormFixture::restart()
{
    window.reset();
    create();
}

QList<ShownMessage> FormFixture::errors() const
{
    QList<ShownMessage> out;
    for (const ShownMessage &m : messages)
        if (m.icon == QMessageBox::Critical)
            out << m;
    return out;
}

QStringList FormFixture::logLines() const
{
    return window->MemoLog->lines();
}

quint16 FreePort()
{
    QTcpServer s;
    s.listen(QHostAddress::AnyIPv4, 0);
    return s.serverPort();
}
