#include "CoreBench.h"

#include "BenchRecords.h"
#include "OperatorCommands.h"
#include "ReceivePath.h"
#include "Seams.h"
#include "ServerContext.h"
#include "StatusMetrics.h"
#include "StatusPage.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QTemporaryDir>

#include <cstdio>

namespace CoreBench {
namespace {

class StillClock : public Clock
{
public:
    QTime timeOfDay() const override { return QTime(12, 0, 0); }
    qint64 monotonicSeconds() const override { return 1000; }
    qint64 wallSeconds() const override { return 1800000000; }
};

class CountingSender : public Sender
{
public:
    bool send(const Endpoint &, const Packet &record, WhenFull) override
    {
        bytes += record.data().size();
        ++count;
        return true;
    }
    qint64 count = 0;
    qint64 bytes = 0;
};

class NoYield : public Yield
{
public:
    void yield() override {}
};

// What one answer of the HTTP status page costs in the server beside the
// HTTP itself: the status for the public, then the document made of it.
void timeStatusViews(const ServerContext &context)
{
    constexpr int Rounds = 200;
    const std::pair<const char *, QByteArray (*)(const QJsonObject &)> views[] = {
        {"the page", StatusPage::html},
        {"/status.json", [](const QJsonObject &status) { return QJsonDocument(status).toJson(QJsonDocument::Compact); }},
        {"/metrics", StatusMetrics::exposition}};
    for (const auto &[name, make] : views) {
        QElapsedTimer timer;
        timer.start();
        qsizetype bytes = 0;
        for (int round = 0; round < Rounds; ++round)
            bytes = make(OperatorCommands::status(context, {}, OperatorCommands::Audience::Public)).size();
        std::printf("core: %s for %d players made in %.0f us (%lld bytes)\n", name, context.players.count(),
                    timer.nsecsElapsed() / 1e3 / Rounds, qint64(bytes));
    }
}

// 127.0.x.y, each pilot at its own address, sending from one port.
Endpoint addressOf(int pilot)
{
    return Endpoint::fromIpv4(0x7F000000u | quint32(pilot / 250) << 8 | quint32(2 + pilot % 250), 40000);
}

} // namespace

int run(const Settings &settings)
{
    QTemporaryDir dir;
    QFile users(dir.filePath(QStringLiteral("user.ini")));
    if (!users.open(QIODevice::WriteOnly) || users.write(BenchRecords::accounts(settings.players)) < 0)
        return 1;
    users.close();

    StillClock clock;
    CountingSender sender;
    NoYield yield;
    ServerContext context(clock, sender, yield);
    context.UsersIni.FileName(users.fileName().toStdString());
    context.MessageOfTheDay = QStringLiteral("bench");

    QElapsedTimer timer;
    timer.start();
    for (int pilot = 1; pilot <= settings.players; ++pilot)
        ReceivePath::handleDatagram(context, BenchRecords::logonRequest(pilot, pilot + 1000, QStringLiteral("P%1").arg(pilot)),
                         addressOf(pilot));
    const double logonMs = timer.nsecsElapsed() / 1e6;
    if (context.players.count() != settings.players) {
        std::fprintf(stderr, "only %d of %d pilots logged on\n", context.players.count(), settings.players);
        return 1;
    }
    for (int pilot = 1; pilot <= settings.players; ++pilot)
        ReceivePath::handleDatagram(context, BenchRecords::flightRecord(4110, pilot, 0, 0), addressOf(pilot));

    sender.count = 0;
    timer.restart();
    for (int i = 0; i < settings.records; ++i) {
        const int pilot = 1 + i % settings.players;
        ReceivePath::handleDatagram(context, BenchRecords::flightRecord(4121, pilot, quint32(i), 0), addressOf(pilot));
    }
    const double seconds = timer.nsecsElapsed() / 1e9;
    std::printf("core: %d logons in %.1f ms (%.1f us each, accounts file read at every logon)\n", settings.players,
                logonMs, logonMs * 1000 / settings.players);
    std::printf("core: %d flight records among %d players in %.3f s: %.0f records/s in, %.0f datagrams/s out\n",
                settings.records, settings.players, seconds, settings.records / seconds, sender.count / seconds);
    timeStatusViews(context);
    return 0;
}

} // namespace CoreBench
