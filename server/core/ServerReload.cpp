#include "ServerReload.h"

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
        // Another node's pilots answer to that node's bans.
        if (player->node != 0 || !context.bans.covering(player->PilotID, player->endpoint, wallNow))
            return;
        removed.append(QStringLiteral("%1 (server ID %2, %3)")
                           .arg(NetworkText::wellFormed(player->Handle), player->ServerID,
                                context.endpointText(player->endpoint)));
        HeartbeatSweep::dropPlayer(context, player, QStringLiteral("Operator removed player "));
    });
    return removed;
}

std::string bansPath(const ServerContext &context)
{
    return BansFileLayout::pathBeside(context.UsersIni.FileName());
}

// The bans' part of a reload's report, and its line in the log.
void finish(ServerContext &context, Report &report, const BansOutcome &bans)
{
    report.bans = bans;
    report.warnings += bans.warnings;
    report.logLine = QStringLiteral("Reloaded");
    if (!report.restartOnly.isEmpty())
        report.logLine += QStringLiteral("; these settings change only with a restart: ")
            + report.restartOnly.join(QStringLiteral(", "));
    if (context.ordinaryLinesOn())
        context.logEvent(report.logLine);
}

} // namespace

BansOutcome applyBans(ServerContext &context, BanList::Loaded &loaded)
{
    BansOutcome outcome;
    outcome.read = loaded.taken();
    outcome.warnings = loaded.warnings;
    if (!outcome.read && !outcome.warnings.isEmpty())
        outcome.warnings.last() += QStringLiteral("; the bans stay as they were");
    else if (outcome.read)
        std::swap(context.bans, loaded.list);
    outcome.inForce = context.bans.countInForce(context.wallNow());
    outcome.removed = removeBanned(context);
    return outcome;
}

bool loadAtStart(ServerContext &context, QString *problem, QStringList *warnings)
{
    BanList::Loaded loaded = BanList::read(bansPath(context));
    if (!loaded.taken()) {
        *problem = loaded.warnings.join(QStringLiteral("; "));
        return false;
    }
    *warnings = loaded.warnings;
    context.bans = std::move(loaded.list);
    return true;
}

Report reloadOptions(ServerContext &context)
{
    context.log.reopen();
    Report report;
    const StartupOptions::LiveReload options = StartupOptions::readLiveForReload(context.ServerIni);
    report.warnings = options.warnings;
    if (options.MessageOfTheDay)
        context.MessageOfTheDay = *options.MessageOfTheDay;
    if (options.CrashText)
        context.setCrashText(*options.CrashText);
    if (options.MaxPilots)
        context.MaxPilots = *options.MaxPilots;
    if (options.fileTaken())
        report.restartOnly =
            changedSince(context.restartOnlyAtStart, StartupOptions::readRestartOnly(context.ServerIni));
    return report;
}

Reloader::Reloader(ServerContext &context) : m_context(context) {}

void Reloader::reloadBans(BansDone done)
{
    m_waiting.push_back(std::move(done));
    if (!m_applying && !m_loader.busy())
        startLoad();
}

void Reloader::reload(ReloadDone done)
{
    Report report = reloadOptions(m_context);
    reloadBans([this, report, done = std::move(done)](const BansOutcome &bans) mutable {
        finish(m_context, report, bans);
        if (done)
            done(report);
    });
}

void Reloader::startLoad()
{
    m_inLoad = std::exchange(m_waiting, {});
    m_loader.start(bansPath(m_context), [this](BanList::Loaded &loaded) { apply(loaded); });
}

void Reloader::apply(BanList::Loaded &loaded)
{
    // Requests that come while players are removed wait for a load of
    // their own, started once this one is in force.
    m_applying = true;
    const std::vector<BansDone> answers = std::exchange(m_inLoad, {});
    const BansOutcome outcome = applyBans(m_context, loaded);
    m_applying = false;
    for (const BansDone &answer : answers) {
        if (answer)
            answer(outcome);
    }
    if (!m_waiting.empty() && !m_loader.busy())
        startLoad();
}

} // namespace ServerReload
