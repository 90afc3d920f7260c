// ventoro_bench [core|loopback|accounts|table|overload|bans|pageflood|all] [--pilots N] [--rate HZ] [--seconds S]
//               [--records N] [--accounts N] [--server PATH] [--yardstick 1|gso] [--chart PATH]
//               [--http PORT]
// ventoro_bench sky [--pilots N] [--rate HZ] [--seconds S] [--server PATH] [--nats PATH]
// ventoro_bench checkpoint [--pilots N]
// ventoro_bench odd-datagrams [--server PATH]
// ventoro_bench echo-probe --host A --port P --id N --password N [--handle H] [--bind A] [--seconds S]
// ventoro_bench logon-flood --host A --port P --sources a.b.c.d-e [--rate R] [--seconds S]
// "all" is core, accounts, table and overload. "loopback" drives the server,
// or with --yardstick the plain (1) or GSO yardstick; --http turns the
// server's status page on at that port; "pageflood" floods the page beside
// the pilots. The table's chart goes to --chart, by default
// relay-capacity.png beside this program. "logons" runs the scenarios of
// LogonBench.h, which take options of their own.
#include "AccountsBench.h"
#include "BansBench.h"
#include "BenchTable.h"
#include "CheckpointBench.h"
#include "CoreBench.h"
#include "HostileBench.h"
#include "LogonBench.h"
#include "LoopbackBench.h"
#include "OverloadBench.h"
#include "PageFloodBench.h"
#include "SkyBench.h"

#include <QGuiApplication>
#include <QStringList>

#include <cstdio>

int main(int argc, char *argv[])
{
    // The chart's text needs a GUI application, and this program never
    // shows a window.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    QStringList arguments = QCoreApplication::arguments().mid(1);
    const QString mode = arguments.isEmpty() || arguments.first().startsWith(u'-') ? QStringLiteral("all")
                                                                                   : arguments.takeFirst();
    if (mode == QStringLiteral("logons")) // its own options: see LogonBench.h
        return LogonBench::run(arguments, QStringLiteral(VENTORO_SERVER_BINARY));
    CoreBench::Settings core;
    AccountsBench::Settings accounts;
    LoopbackBench::Settings loopback;
    loopback.serverBinary = QStringLiteral(VENTORO_SERVER_BINARY);
    loopback.yardstickBinary = QStringLiteral(VENTORO_YARDSTICK_BINARY);
    if (HostileBench::handles(mode)) {
        const qsizetype server = arguments.indexOf(QStringLiteral("--server"));
        if (server >= 0 && server + 1 < arguments.size())
            loopback.serverBinary = arguments[server + 1];
        return HostileBench::run(mode, arguments, loopback);
    }
    SkyBench::Settings sky;
    sky.natsServer = QStringLiteral(VENTORO_NATS_SERVER);
    int overloadPilots = 0; // 0: the overload runs' own counts
    QString chartPath = QCoreApplication::applicationDirPath() + QStringLiteral("/relay-capacity.png");
    for (int i = 0; i + 1 < arguments.size(); i += 2) {
        const QString &name = arguments[i];
        const QString &value = arguments[i + 1];
        if (name == QStringLiteral("--pilots"))
            core.players = loopback.pilots = overloadPilots = qBound(2, value.toInt(), 1000);
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
        else if (name == QStringLiteral("--chart"))
            chartPath = value;
        else if (name == QStringLiteral("--yardstick"))
            loopback.relay = value == QStringLiteral("gso") ? LoopbackBench::Settings::Relay::GsoYardstick
                : value == QStringLiteral("1")            ? LoopbackBench::Settings::Relay::Yardstick
                                                          : LoopbackBench::Settings::Relay::Server;
        else if (name == QStringLiteral("--nats"))
            sky.natsServer = value;
        else if (name == QStringLiteral("--http"))
            loopback.httpPort = qBound(0, value.toInt(), 65535); // the status page on 127.0.0.1, to scrape
        else {
            std::fprintf(stderr, "unknown option %s\n", qPrintable(name));
            return 2;
        }
    }
    // Chosen once, before any run pins this process to the load generator's.
    LoopbackBench::chooseCpus(&loopback);
    int status = 0;
    if (mode == QStringLiteral("core") || mode == QStringLiteral("all"))
        status |= CoreBench::run(core);
    if (mode == QStringLiteral("accounts") || mode == QStringLiteral("all"))
        status |= AccountsBench::run(accounts);
    if (mode == QStringLiteral("loopback")) {
        const LoopbackBench::Result result = LoopbackBench::run(loopback);
        if (result.ok)
            LoopbackBench::print(loopback, result);
        status |= result.ok ? 0 : 1;
    }
    if (mode == QStringLiteral("pageflood"))
        status |= PageFloodBench::run(loopback);
    if (mode == QStringLiteral("table") || mode == QStringLiteral("all")) {
        BenchTable::Settings table;
        table.base = loopback;
        table.chartPath = chartPath;
        status |= BenchTable::run(table);
    }
    if (mode == QStringLiteral("overload") || mode == QStringLiteral("all")) {
        OverloadBench::Settings overload;
        overload.base = loopback;
        if (overloadPilots > 0)
            overload.pilotCounts = {overloadPilots};
        status |= OverloadBench::run(overload);
    }
    if (mode == QStringLiteral("sky")) {
        sky.base = loopback;
        status |= SkyBench::run(sky);
    }
    if (mode == QStringLiteral("bans"))
        status |= BansBench::run(loopback);
    if (mode == QStringLiteral("checkpoint"))
        status |= CheckpointBench::run(core.players);
    return status;
}
