#pragma once
// Replaceable user-interaction services of the main window: message boxes,
// file dialogs and the keyboard-modifier query. The defaults talk to the
// desktop; tests put in their own so that no modal dialog ever opens.

#include <QMessageBox>
#include <QString>
#include <functional>

class QWidget;

struct FormHooks {
    // A message box with one OK button.
    std::function<void(QMessageBox::Icon icon, const QString &caption, const QString &text)> message;
    // The "Confirm" question: true for OK.
    std::function<bool(const QString &caption, const QString &question)> confirm;
    // An open-file dialog. `filter` is in the "Name|pattern|Name|pattern" form;
    // with `mustExist` only an existing file may be chosen. Empty when cancelled.
    std::function<QString(const QString &title, const QString &filter, bool mustExist)> openFileName;
    // A save-file dialog; same conventions, no overwrite question.
    std::function<QString(const QString &title, const QString &filter)> saveFileName;
    // Shows how far a long piece of work has come: called again and again
    // while it runs, last with done == total, which takes the display away.
    // The work runs in slices and returns to the event loop between calls,
    // so the display never runs the loop itself: it only shows, and tells
    // whether the operator has asked to stop meanwhile (false then).
    std::function<bool(const QString &label, qint64 done, qint64 total)> progress;
    // The keyboard modifiers held at the moment of the call.
    std::function<Qt::KeyboardModifiers()> modifiers;

    static FormHooks desktop(QWidget *parent);
};

// The folder the next desktop file dialog opens in, once; empty or gone:
// the working directory. For windows that remember where their files went.
void SetNextDialogFolder(const QString &folder);

// "Text files|*.txt;*.log|*.*|*.*" -> "Text files (*.txt *.log);;*.* (*)"
QString QtFileFilter(const QString &pipeFilter);
