#include "BansCommand.h"

#include "AccountsFileLayout.h"
#include "AccountsLock.h"
#include "BanList.h"
#include "BansFileLayout.h"
#include "ConfigFiles.h"
#include "DurationText.h"
#include "NetworkText.h"
#include "SettingsText.h"
#include "WindowText.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QLocale>
#include <QRegularExpression>

#include <algorithm>

namespace BansCommand {
namespace {

constexpr int MaxReasonChars = 200;

struct Files {
    std::string usersIni;
    std::string bansIni;
    QString bans() const { return QFile::decodeName(QByteArray::fromStdString(bansIni)); }
};

Files filesIn(const QString &programDirectory)
{
    const std::string directory = QFile::encodeName(QDir(programDirectory).absolutePath()).toStdString();
    const std::string usersIni = ConfigFiles::settingsFilePath(directory, AccountsFileLayout::FileName);
    return {usersIni, BansFileLayout::pathBeside(usersIni)};
}

Result failure(const QString &error)
{
    return {1, QString(), error};
}

QString localTime(qint64 secondsSince1970)
{
    const QDateTime time = QDateTime::fromSecsSinceEpoch(secondsSince1970);
    return time.toString(QStringLiteral("yyyy-MM-dd hh:mm")) + QLatin1Char(' ') + time.timeZoneAbbreviation();
}

QString timeLeft(qint64 seconds)
{
    if (seconds < 86400)
        return durationText(seconds);
    return QStringLiteral("%1 d %2 h").arg(seconds / 86400).arg(seconds / 3600 % 24);
}

QString notATarget(const QString &target)
{
    return QStringLiteral("\"%1\" is no pilot ID and no address; say a pilot ID (1234), an address (192.0.2.7, "
                          "2001:db8::7) or a network (198.51.100.0/24, 2001:db8::/32)")
        .arg(NetworkText::oneLine(target));
}

std::optional<BanTarget> targetOf(const BansFileLayout::Entry &entry)
{
    return BanTarget::fromText(QString::fromStdString(settingsTextAsUtf8(entry.target)));
}

// The bans to write back: those still in force at `now`, each target in
// its one written form and once (two hand-written forms of one network
// would otherwise become two sections of one name). A section that names
// nothing stays as it was written, for its writer to see.
std::vector<BansFileLayout::Entry> tidied(std::vector<BansFileLayout::Entry> entries, qint64 now)
{
    std::vector<BansFileLayout::Entry> kept;
    for (BansFileLayout::Entry &entry : entries) {
        if (entry.expires && *entry.expires <= now)
            continue;
        if (const std::optional<BanTarget> target = targetOf(entry))
            entry.target = target->text().toStdString();
        const auto sameName = [&](const BansFileLayout::Entry &other) { return other.target == entry.target; };
        if (std::none_of(kept.begin(), kept.end(), sameName))
            kept.push_back(std::move(entry));
    }
    return kept;
}

// Holds the accounts lock, reads bans.ini, lets `change` edit the tidied
// bans and say what it did, and writes them back; a change that fails
// leaves the file as it is.
template<typename Change>
Result rewrite(const QString &programDirectory, qint64 now, Change &&change)
{
    const Files files = filesIn(programDirectory);
    const AccountsLock lock(files.usersIni);
    if (!lock.held())
        return failure(lock.status() == AccountsLock::Status::Busy
                           ? QStringLiteral("the accounts and bans are being changed by another program; %1 is "
                                            "unchanged").arg(files.bans())
                           : QStringLiteral("%1 could not be locked for writing; %2 is unchanged")
                                 .arg(QFile::decodeName(QByteArray::fromStdString(lock.lockFile())), files.bans()));
    BansFileLayout::ReadResult file = BansFileLayout::read(files.bansIni);
    if (file.status == BansFileLayout::FileStatus::Unreadable || file.status == BansFileLayout::FileStatus::TooLarge)
        return failure(QStringLiteral("%1 could not be read (%2); it is unchanged")
                           .arg(files.bans(), QString::fromStdString(file.problem)));
    std::vector<BansFileLayout::Entry> entries = tidied(std::move(file.entries), now);
    Result result = change(entries);
    if (result.exitCode != 0)
        return result;
    if (entries.size() > BansFileLayout::MaxEntries)
        return failure(QStringLiteral("%1 would hold more than %2 bans, the most a server takes in; it is unchanged")
                           .arg(files.bans()).arg(BansFileLayout::MaxEntries));
    if (!BansFileLayout::write(files.bansIni, entries, files.usersIni))
        return failure(QStringLiteral("%1 could not be written; it is unchanged").arg(files.bans()));
    return result;
}

QString count(qint64 number)
{
    return QLocale(QLocale::English).toString(number);
}

// Whether an IPv6 network holds the IPv4-mapped form of every IPv4 address.
bool holdsEveryIpv4(const BanTarget &target)
{
    return target.bits() <= 96 && Endpoint::fromIpv4(0).isWithin(target.network(), target.bits());
}

auto sameTarget(const BanTarget &target)
{
    return [target](const BansFileLayout::Entry &entry) { return targetOf(entry) == target; };
}

} // namespace

std::optional<qint64> durationSeconds(const QString &text)
{
    static const QRegularExpression form(QStringLiteral("^([0-9]{1,12})([smhdw]?)$"));
    const QRegularExpressionMatch match = form.match(text);
    if (!match.hasMatch())
        return std::nullopt;
    static const QString units = QStringLiteral("smhdw");
    static const qint64 unitSeconds[] = {1, 60, 3600, 86400, 7 * 86400};
    const QString unit = match.captured(2);
    const qint64 seconds = match.captured(1).toLongLong() * unitSeconds[unit.isEmpty() ? 0 : units.indexOf(unit)];
    if (seconds < 1 || seconds > MaxDurationSeconds)
        return std::nullopt;
    return seconds;
}

QString widthNeedingForce(const BanTarget &target)
{
    if (target.isPilotId())
        return {};
    const int bits = target.writtenBits();
    if (target.network().isIpv4() && target.bits() >= 96) {
        if (bits >= 8)
            return {};
        return bits == 0 ? QStringLiteral("every IPv4 address")
                         : QStringLiteral("%1 IPv4 addresses (1/%2 of them all)")
                               .arg(count(qint64(1) << (32 - bits)), count(qint64(1) << bits));
    }
    const QString ipv4 = holdsEveryIpv4(target) ? QStringLiteral("every IPv4 address (IPv4 pilots are ::ffff:a.b.c.d "
                                                                 "in IPv6)")
                                                : QString();
    if (bits >= 32)
        return ipv4;
    const QString ipv6 = bits == 0 ? QStringLiteral("every IPv6 address")
                                   : QStringLiteral("%1 networks of /32 (1/%2 of all IPv6 addresses)")
                                         .arg(count(qint64(1) << (32 - bits)), count(qint64(1) << bits));
    return ipv4.isEmpty() ? ipv6 : ipv6 + QStringLiteral(" and ") + ipv4;
}

Result ban(const QString &programDirectory, const QString &targetText, std::optional<qint64> seconds,
           const QString &reason, qint64 now, bool force)
{
    const std::optional<BanTarget> target = BanTarget::fromText(targetText);
    if (!target)
        return failure(notATarget(targetText));
    if (const QString width = widthNeedingForce(*target); !width.isEmpty() && !force)
        return failure(target->text() + QStringLiteral(" would keep out ") + width
                       + QStringLiteral("; say --force to ban that much"));
    if (std::any_of(reason.begin(), reason.end(), [](QChar c) { return c.category() == QChar::Other_Control; }))
        return failure(QStringLiteral("a reason is one line of text"));
    if (reason.size() > MaxReasonChars)
        return failure(QStringLiteral("a reason is at most %1 characters").arg(MaxReasonChars));
    return rewrite(programDirectory, now, [&](std::vector<BansFileLayout::Entry> &entries) {
        const auto earlier = std::find_if(entries.begin(), entries.end(), sameTarget(*target));
        const bool replaces = earlier != entries.end();
        if (replaces)
            entries.erase(earlier);
        BansFileLayout::Entry entry;
        entry.target = target->text().toStdString();
        entry.reason = toSettingsText(reason.trimmed());
        if (seconds)
            entry.expires = now + *seconds;
        entries.push_back(std::move(entry));
        const QString until =
            seconds ? QStringLiteral("until %1").arg(localTime(now + *seconds)) : QStringLiteral("for good");
        return Result{0, QStringLiteral("Banned %1 %2%3 in %4\n")
                             .arg(target->text(), until,
                                  replaces ? QStringLiteral(" (replacing its earlier ban)") : QString(),
                                  filesIn(programDirectory).bans()),
                      QString()};
    });
}

Result unban(const QString &programDirectory, const QString &targetText, qint64 now)
{
    const std::optional<BanTarget> target = BanTarget::fromText(targetText);
    if (!target)
        return failure(notATarget(targetText));
    return rewrite(programDirectory, now, [&](std::vector<BansFileLayout::Entry> &entries) {
        const auto found = std::find_if(entries.begin(), entries.end(), sameTarget(*target));
        if (found == entries.end())
            return failure(QStringLiteral("no ban of %1 is in force in %2; nothing was changed")
                               .arg(target->text(), filesIn(programDirectory).bans()));
        entries.erase(found);
        return Result{0,
                      QStringLiteral("Lifted the ban of %1 in %2\n").arg(target->text(), filesIn(programDirectory).bans()),
                      QString()};
    });
}

Result list(const QString &programDirectory, qint64 now)
{
    const Files files = filesIn(programDirectory);
    const BanList::Loaded loaded = BanList::read(files.bansIni);
    if (!loaded.taken())
        return failure(loaded.warnings.join(QStringLiteral("; ")));
    QString text;
    for (const QString &warning : loaded.warnings)
        text += QStringLiteral("Note: ") + warning + QLatin1Char('\n');
    int shown = 0;
    for (const Ban &ban : loaded.list.bans()) {
        if (!ban.inForceAt(now))
            continue;
        ++shown;
        const QString until = ban.expiresAt
            ? QStringLiteral("until %1 (%2 left)").arg(localTime(*ban.expiresAt), timeLeft(*ban.expiresAt - now))
            : QStringLiteral("for good");
        const QString reason = NetworkText::oneLine(ban.reason);
        text += QStringLiteral("%1  %2%3\n")
                    .arg(ban.target.text(), -20)
                    .arg(until, reason.isEmpty() ? QString() : QStringLiteral("  ") + reason);
    }
    if (shown == 0)
        text += QStringLiteral("No bans in force in %1\n").arg(files.bans());
    return {0, text, QString()};
}

} // namespace BansCommand
