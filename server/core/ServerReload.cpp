#include "ServerReload.h"

#include "AtomicFile.h"
#include "BansFileLayout.h"
#include "Endpoint.h"
#include "HeartbeatSweep.h"
#include "NetworkText.h"
#include "ServerContext.h"
#include "StartupOptions.h"

#include <algorithm>

namespace ServerReload {
namespace {

QStringList changedSince(const StartupOptions::SettingTexts &atStart, const StartupOptions::SettingTexts &now)
{
    QStringList changed;
    for (const auto &setting : now) {
        const auto before = std::find_if(atStart.begin(), atStart.end(),
                                         [&](const auto &entry) { return entry.first == setting.first; });
        if (before == atStart.end() || before->second != setting.second)
            changed.append(setting.first);
    }
    return changed;
}

QStringList removeBanned(ServerContext &context)
{
    QStringList removed;
    const qint64 wallNow = context.wallNow();
    context.players.forEach([&](const PlayerPtr &player) {
        if (!context.bans.covering(player->PilotID, player->endpoint, wallNow))
            return;
        removed.append(QStringLiteral("%1 (server ID %2, %3)")
                           .arg(NetworkText::wellFormed(player->Handle), player->ServerID,
                                context.endpointText(player->endpoint)));
        HeartbeatSweep::dropPlayer(context, player, QStringLiteral("Operator removed player "));
    });
    return removed;
}

} // namespace

BansOutcome reloadBans(ServerContext &context)
{
    BanList::Loaded loaded = BanList::read(BansFileLayout::pathBeside(context.UsersIni.FileName()));
    BansOutcome outcome;
    outcome.read = loaded.readable;
    outcome.warnings = loaded.warnings;
    if (!loaded.readable)
        outcome.warnings.last() += QStringLiteral("; the bans stay as they were");
    else
        context.bans.set(std::move(loaded.bans));
    outcome.inForce = context.bans.countInForce(context.wallNow());
    outcome.removed = removeBanned(context);
    return outcome;
}

Report reload(ServerContext &context)
{
    context.log.reopen();
    Report report;
    if (AtomicFile::readAll(context.ServerIni.FileName()).status == AtomicFile::ReadStatus::Failed) {
        report.warnings.append(QStringLiteral("%1 cannot be read; MOTD, CrashText and MaxPilots stay as they were")
                                   .arg(QString::fromStdString(context.ServerIni.FileName())));
    } else {
        const StartupOptions::LiveOptions options = StartupOptions::readLive(context.ServerIni);
        context.MessageOfTheDay = options.MessageOfTheDay;
        context.setCrashText(options.CrashText);
        context.MaxPilots = options.MaxPilots;
        report.warnings = options.warnings;
        report.restartOnly =
            changedSince(context.restartOnlyAtStart, StartupOptions::readRestartOnly(context.ServerIni));
    }
    report.bans = reloadBans(context);
    report.warnings += report.bans.warnings;
    report.logLine = QStringLiteral("Reloaded");
    if (!report.restartOnly.isEmpty())
        report.logLine += QStringLiteral("; these settings change only with a restart: ")
            + report.restartOnly.join(QStringLiteral(", "));
    if (context.ordinaryLinesOn())
        context.logEvent(report.logLine);
    return report;
}

} // namespace ServerReload
