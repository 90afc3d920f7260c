#include "AccountsFileText.h"

#include <QFile>

namespace AccountsFileText {

QString unreadable()
{
    return QStringLiteral("The accounts file user.ini could not be read");
}

QString unwritten()
{
    return QStringLiteral("The accounts file user.ini could not be written; it is unchanged");
}

QString lockRefused(const AccountsLock &lock)
{
    if (lock.status() == AccountsLock::Status::Busy)
        return QStringLiteral("The accounts file user.ini is being changed by another program; it is unchanged");
    return QStringLiteral("The accounts file user.ini could not be locked for writing (%1); it is unchanged")
        .arg(QFile::decodeName(QByteArray::fromStdString(lock.lockFile())));
}

} // namespace AccountsFileText
