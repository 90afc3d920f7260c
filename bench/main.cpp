// ventoro_bench [core|loopback|accounts|all] [--pilots N] [--rate HZ] [--seconds S]
//               [--records N] [--accounts N] [--server PATH]
#include "AccountsBench.h"
#include "CoreBench.h"
#include "LoopbackBench.h"

#include <QCoreApplication>
#include <QStringList>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QStringList arguments = QCoreApplication::arguments().mid(1);
    const QString mode = arguments.isEmpty() || arguments.first().startsWith(u'-') ? QStringLiteral("all")
                                                                                   : arguments.takeFirst();
    CoreBench::Settings core;
    AccountsBench::Settings accounts;
    LoopbackBench::Settings loopback;
    loopback.serverBinary = QStringLiteral(VENTORO_SERVER_BINARY);
    for (int i = 0; i + 1 < arguments.size(); i += 2) {
        const QString &name = arguments[i];
        const QString &value = arguments[i + 1];
        if (name == QStringLiteral("--pilots"))
            core.players = loopback.pilots = qBound(2, value.toInt(), 1000);
        else if (name == QStringLiteral("--rate"))
            loopback.rate = qBound(1, value.toInt(), 1000);
        else if (name == QStringLiteral("--seconds"))
            loopback.seconds = qBound(1, value.toInt(), 600);
        else if (name == QStringLiteral("--records"))
            core.records = qBound(1, value.toInt(), 100000000);
        else if (name == QStringLiteral("--accounts"))
            accounts.accounts = qBound(1, value.toInt(), 1000000);
        else if (name == QStringLiteral("--server"))
            loopback.serverBinary = value;
        else {
            std::fprintf(stderr, "unknown option %s\n", qPrintable(name));
            return 2;
        }
    }
    int status = 0;
    if (mode == QStringLiteral("core") || mode == QStringLiteral("all"))
        status |= CoreBench::run(core);
    if (mode == QStringLiteral("accounts") || mode == QStringLiteral("all"))
        status |= AccountsBench::run(accounts);
    if (mode == QStringLiteral("loopback") || mode == QStringLiteral("all"))
        status |= LoopbackBench::run(loopback);
    return status;
}
