#pragma once
// Runs the real main window offscreen in a scratch working directory, with
// message boxes, file dialogs and the modifier keys replaced by test doubles.

#include "app/tform1.h"

#include <QDir>
#include <QMessageBox>
#include <QStringList>
#include <QTemporaryDir>
#include <memory>

struct ShownMessage {
    QMessageBox::Icon icon;
    QString caption;
    QString text;
};

struct DialogCall {
    QString kind; // "open", "save" or "confirm"
    QString title;
    QString filter;
};

class FormFixture {
public:
    // Makes a scratch folder the working directory (or uses `folder`), and
    // writes `ini` there as the settings file first when it is not empty.
    // Without `ini` and a settings file there, it writes one naming a free
    // relay port: tests run in parallel, and none takes the default port.
    explicit FormFixture(const QByteArray &ini = QByteArray(), const QString &folder = QString());
    ~FormFixture();

    TForm1 *form() const { return window.get(); }
    TForm1 *operator->() const { return window.get(); }
    QString dir() const { return workDir; }
    // Closes the window the way the operator does (runs the close sequence).
    void close();
    // Destroys the window and starts a new one in the same folder.
    void restart();

    QList<ShownMessage> messages;
    QList<DialogCall> dialogs;
    QStringList fileAnswers; // answers of the next file dialogs; empty = cancel
    bool confirmAnswer = true;
    Qt::KeyboardModifiers modifiers = Qt::NoModifier;
    // What the progress hook was shown (per mille of the work done), and
    // whether it answers "cancel".
    QList<qint64> progressShown;
    bool cancelProgress = false;

    // The error boxes shown so far.
    QList<ShownMessage> errors() const;
    // Text of every log line, in order.
    QStringList logLines() const;

private:
    void create();
    std::unique_ptr<QTemporaryDir> scratch;
    QString workDir;
    QString previousDir;
    std::unique_ptr<TForm1> window;
};

// A free loopback port: listen on port 0, note the port, close.
quint16 FreePort();
