#pragma once

#include "BanList.h"
#include "BanListLoader.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <vector>

class ServerContext;

// Taking in changed settings while the server runs, without dropping
// anyone: the bans from bans.ini (beside user.ini) and the options
// "MOTD", "CrashText" and "MaxPilots". The other options need a restart.
// What cannot be taken in (a file missing, unreadable, over its limits, a
// value that cannot be used) leaves what the server had, and says so.
namespace ServerReload {

struct BansOutcome {
    bool read = false; // false: bans.ini could not be taken in; the bans stayed as they were
    int inForce = 0;
    QStringList warnings;
    QStringList removed; // "Ann (server ID 3, 127.0.0.2)", one per player removed
};

// Puts a list loaded from bans.ini in force (when the file could not be
// taken in, the bans stay as they were and a warning says so), then
// removes every registered player a ban in force covers, as a kick does
// (every other player is told; "Operator removed player ..." in the log).
// Afterwards `loaded.list` holds the list that was replaced. Sends, and so
// runs the event loop.
BansOutcome applyBans(ServerContext &context, BanList::Loaded &loaded);

// The bans a server starts with, read at once. False, with the reason in
// `problem`, when bans.ini exists but cannot be taken in (unreadable, no
// regular file, over its limits): a server must not run without the bans
// its operator gave it. Warnings about single sections go to `warnings`.
bool loadAtStart(ServerContext &context, QString *problem, QStringList *warnings);

struct Report {
    QString logLine;         // what the log says, without the time
    QStringList restartOnly; // settings changed since start-up that take effect only at a restart
    QStringList warnings;    // values not taken as they stand, files that could not be read
    BansOutcome bans;
};

// Reopens the log and takes in the three options again (see
// StartupOptions::readLiveForReload), naming the restart-only settings
// whose text differs from start-up. A lower MaxPilots removes nobody; it
// refuses new logons until there is room. Leaves `bans` and `logLine` empty.
Report reloadOptions(ServerContext &context);

// The reloads of a running server, with bans.ini read, parsed and indexed
// off the event loop (BanListLoader) and put in force on it. Each answer
// comes once the new list is in force. Requests that arrive while a load
// runs share the next load, which starts once the running one is in force,
// so every answer reflects bans.ini as it was after its request. The
// context must outlive this object.
class Reloader
{
public:
    using BansDone = std::function<void(const BansOutcome &)>;
    using ReloadDone = std::function<void(const Report &)>;

    explicit Reloader(ServerContext &context);

    // Reads bans.ini again and puts it in force (applyBans).
    void reloadBans(BansDone done);
    // What SIGHUP and `ventoro reload` do: reloadOptions at once, the bans
    // as reloadBans, then one line in the log ("Reloaded", with the
    // settings that change only with a restart).
    void reload(ReloadDone done);

private:
    void startLoad();
    void apply(BanList::Loaded &loaded);

    ServerContext &m_context;
    BanListLoader m_loader;
    bool m_applying = false;
    std::vector<BansDone> m_inLoad;  // answered by the load running
    std::vector<BansDone> m_waiting; // answered by the next load
};

} // namespace ServerReload
