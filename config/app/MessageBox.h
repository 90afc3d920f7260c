#pragma once

#include <QMessageBox>
#include <QString>

#include <functional>

class QWidget;

// Every message the tool shows goes through one function, so that tests can
// answer in place of the operator.
struct MessageBoxCall {
    QString prompt;
    QString title;
    QMessageBox::StandardButtons buttons = QMessageBox::Ok;
    QMessageBox::StandardButton defaultButton = QMessageBox::Ok;
};

// Shows the message modally over `parent` and returns the button pressed.
using MessageBoxFunction = std::function<QMessageBox::StandardButton(QWidget *parent, const MessageBoxCall &call)>;

// An error: titled "ERROR", one OK button.
MessageBoxCall errorMessage(const QString &prompt);

// The real message box: no icon, the given buttons and default button. A
// Yes/No question is answered No by Escape.
QMessageBox::StandardButton modalMessageBox(QWidget *parent, const MessageBoxCall &call);
