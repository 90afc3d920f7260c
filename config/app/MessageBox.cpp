#include "MessageBox.h"

MessageBoxCall errorMessage(const QString &prompt)
{
    return MessageBoxCall{prompt, QStringLiteral("ERROR"), QMessageBox::Ok, QMessageBox::Ok};
}

QMessageBox::StandardButton modalMessageBox(QWidget *parent, const MessageBoxCall &call)
{
    QMessageBox box(QMessageBox::NoIcon, call.title, call.prompt, call.buttons, parent);
    box.setDefaultButton(call.defaultButton);
    return QMessageBox::StandardButton(box.exec());
}
