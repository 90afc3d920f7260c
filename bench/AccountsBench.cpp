#include "AccountsBench.h"

#include "AccountDeletion.h"
#include "INIFiles.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>

namespace AccountsBench {

int run(const Settings &settings)
{
    QTemporaryDir directory;
    if (!directory.isValid())
        return 1;
    QByteArray content;
    for (int id = 1; id <= settings.accounts; ++id)
        content += QByteArray("[") + QByteArray::number(100000 + id) + "]\r\nPwd=" + QByteArray::number(id * 7)
                   + "\r\nName=Pilot " + QByteArray::number(id) + "\r\n";
    QFile file(directory.filePath(QStringLiteral("user.ini")));
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
        return 1;
    file.close();

    INIFiles usersIni;
    usersIni.FileName(file.fileName().toStdString());
    QElapsedTimer timer;
    timer.start();
    const std::string middle = std::to_string(100000 + settings.accounts / 2);
    const AccountDeletion::Outcome outcome = AccountDeletion::deleteAccount(usersIni, middle);
    const double ms = double(timer.nsecsElapsed()) / 1e6;
    if (outcome != AccountDeletion::Outcome::Rewritten)
        return 1;
    std::printf("accounts: deleting one of %d accounts took %.1f ms (%lld bytes left)\n", settings.accounts, ms,
                static_cast<long long>(QFile(file.fileName()).size()));
    return 0;
}

} // namespace AccountsBench
