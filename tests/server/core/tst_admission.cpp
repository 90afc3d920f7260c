// Who may log on (bans, the pilot limit) and what a reload takes in, with
// every record sent and every log line; the bans' index against a plain
// scan.
#include "BanList.h"
#include "CoreHarness.h"
#include "Endpoint.h"
#include "ServerReload.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QtTest>

#include <sys/stat.h>

namespace {

QByteArray rejectedRecord(qint32 lastServerID)
{
    QByteArray bytes = Golden::record(0, 1003);
    Golden::putInt32(bytes, 16, lastServerID);
    return bytes;
}

QStringList stamped(const QStringList &events)
{
    QStringList lines;
    for (const QString &event : events)
        lines << QStringLiteral("09:05:07 - ") + event;
    return lines;
}

// The type of each record sent to `ip`, with the handle of a player notice.
QStringList sentTo(const CoreHarness &h, const QString &ip)
{
    QStringList records;
    for (const SentRecord &record : h.sender.sent) {
        const Packet packet = record.packet();
        const bool notice = packet.PacketType() == Packet::PlayerAdded || packet.PacketType() == Packet::PlayerRemoved;
        if (record.ip == ip)
            records << QString::number(packet.PacketType())
                    + (notice ? QLatin1Char(' ') + trimSpaces(packet.textAt(Packet::PlayerHandleAt, 20)) : QString());
    }
    return records;
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

BansFileLayout::Entry banEntry(const QString &target, const QString &reason, std::optional<qint64> expires = {})
{
    return {target.toStdString(), reason.toStdString(), expires, false, {}};
}

} // namespace

class tst_Admission : public QObject
{
    Q_OBJECT

private slots:
    void bannedLogons_data();
    void bannedLogons();
    void banTargets_data();
    void banTargets();
    void pilotLimit();
    void reloadTakesInSettingsAndBans();
    void reloadKeepsWhatItCannotUse_data();
    void reloadKeepsWhatItCannotUse();
    void banIndex_data();
    void banIndex();
    void banIndexAgreesWithAScan();
};

void tst_Admission::bannedLogons_data()
{
    QTest::addColumn<QString>("ban");
    QTest::addColumn<QString>("expiresIn"); // seconds from now; empty: never
    QTest::addColumn<qint32>("pilot");
    QTest::addColumn<QString>("from");
    QTest::addColumn<bool>("refused");

    QTest::newRow("pilot ID") << "1234" << "" << 1234 << "127.0.0.2" << true;
    QTest::newRow("another pilot ID") << "1234" << "" << 1235 << "127.0.0.2" << false;
    QTest::newRow("pilot ID with leading zeros") << "0042" << "" << 42 << "127.0.0.2" << true;
    QTest::newRow("IPv4 address") << "127.0.0.2" << "" << 7 << "127.0.0.2" << true;
    QTest::newRow("within an IPv4 /24") << "127.0.1.9/24" << "" << 7 << "127.0.1.200" << true;
    QTest::newRow("outside an IPv4 /24") << "127.0.1.0/24" << "" << 7 << "127.0.2.1" << false;
    QTest::newRow("within an IPv6 /32") << "2001:db8::/32" << "" << 7 << "2001:db8:ffff::1" << true;
    QTest::newRow("outside an IPv6 /32") << "2001:db8::/32" << "" << 7 << "2001:db9::1" << false;
    QTest::newRow("IPv4 ban, IPv4-mapped sender") << "192.0.2.0/24" << "" << 7 << "::ffff:192.0.2.7" << true;
    QTest::newRow("IPv4-mapped ban, IPv4 sender") << "::ffff:192.0.2.0/120" << "" << 7 << "192.0.2.7" << true;
    QTest::newRow("IPv6 ban, IPv4 sender") << "::/1" << "" << 7 << "127.0.0.2" << true;
    QTest::newRow("still a second to go") << "1234" << "1" << 1234 << "127.0.0.2" << true;
    QTest::newRow("expired this second") << "1234" << "0" << 1234 << "127.0.0.2" << false;
}

// A banned logon is refused before the accounts are read, and is no
// password guess for the throttle.
void tst_Admission::bannedLogons()
{
    QFETCH(QString, ban);
    QFETCH(QString, expiresIn);
    QFETCH(qint32, pilot);
    QFETCH(QString, from);
    QFETCH(bool, refused);

    CoreHarness h(true, false);
    BansFileLayout::Entry entry = banEntry(ban, QStringLiteral("spam"));
    if (!expiresIn.isEmpty())
        entry.expires = h.clock.wallSeconds() + expiresIn.toLongLong();
    h.ctx().bans = BanList::fromEntries({entry}).list;
    h.addAccount(pilot, "99", "Pilot");
    h.receive(ClientRecords::logonRequest(pilot, 99, QStringLiteral("Ann")), from);

    const ServerCounters &counted = h.ctx().counters;
    QCOMPARE(counted.logonsBanned, quint64(refused));
    QCOMPARE(counted.logonsRejected, quint64(refused));
    QCOMPARE(counted.logonsAccepted, quint64(!refused));
    QCOMPARE(h.ctx().logonThrottle.trackedAddresses(), 0);
    if (refused) {
        const QString shown = Endpoint::fromText(from)->addressText(); // an IPv4-mapped sender shows as IPv4
        QCOMPARE(h.sender.sent.size(), 1);
        QCOMPARE(h.sender.sent.first().ip, shown);
        QCOMPARE(h.sender.sent.first().bytes, rejectedRecord(0));
        QCOMPARE(h.sender.sent.first().whenFull, Sender::WhenFull::DropFirst);
        QCOMPARE(h.logLines(), stamped({QStringLiteral("Rcvd logon request from ") + shown,
                                        QStringLiteral("User rejected logon from ") + shown,
                                        QStringLiteral("Logon refused for pilot ") + QString::number(pilot)
                                            + QStringLiteral(" as \"Ann\": banned by ") + BanTarget::fromText(ban)->text()
                                            + QStringLiteral(" (spam)")}));
    }
}

void tst_Admission::banTargets_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("written"); // empty: no target

    QTest::newRow("leading zeros") << "0042" << "42";
    QTest::newRow("host bits cleared") << "192.0.2.9/24" << "192.0.2.0/24";
    QTest::newRow("IPv4 /32 is the address") << "192.0.2.7/32" << "192.0.2.7";
    QTest::newRow("IPv6 in its short form") << "2001:DB8:0:0::1/32" << "2001:db8::/32";
    QTest::newRow("IPv4-mapped network") << "::ffff:192.0.2.0/120" << "192.0.2.0/24";
    QTest::newRow("every IPv4 address") << "::ffff:0:0/96" << "0.0.0.0/0";
    QTest::newRow("a port") << "192.0.2.1:80" << "";
    QTest::newRow("a bracketed port") << "[2001:db8::1]:5" << "";
    QTest::newRow("a host name") << "ventoro.example" << "";
    QTest::newRow("IPv4 prefix too long") << "192.0.2.0/33" << "";
    QTest::newRow("IPv6 prefix too long") << "2001:db8::/129" << "";
    QTest::newRow("beyond 32 bits") << "2147483648" << "";
    QTest::newRow("blank around") << " 1234" << "";
}

void tst_Admission::banTargets()
{
    QFETCH(QString, text);
    QFETCH(QString, written);
    const std::optional<BanTarget> target = BanTarget::fromText(text);
    QCOMPARE(target ? target->text() : QString(), written);
    if (target)
        QCOMPARE(BanTarget::fromText(written), target);
}

// The limit is checked before the password; a pilot logging on again
// under its own handle or from its own endpoint replaces itself, so it is
// never refused for it.
void tst_Admission::pilotLimit()
{
    CoreHarness h(true, false);
    h.ctx().MaxPilots = 2;
    h.logOn(QStringLiteral("Ann"), QStringLiteral("127.0.0.2")); // pilot 100, password 700
    h.logOn(QStringLiteral("Bob"), QStringLiteral("127.0.0.3"));
    h.clearRecords();
    h.addAccount(7, "77");
    for (int attempt = 0; attempt < LogonThrottle::MaxRejections + 1; ++attempt)
        h.receive(ClientRecords::logonRequest(7, 77, QStringLiteral("Cy")), QStringLiteral("127.0.0.4"));
    QCOMPARE(sentTo(h, QStringLiteral("127.0.0.4")).size(), LogonThrottle::MaxRejections + 1);
    QCOMPARE(h.sender.sent.last().bytes, rejectedRecord(2));
    QCOMPARE(h.logLines().mid(0, 3), stamped({QStringLiteral("Rcvd logon request from 127.0.0.4"),
                                              QStringLiteral("User rejected logon from 127.0.0.4"),
                                              QStringLiteral("Logon refused for pilot 7 as \"Cy\": full (MaxPilots 2)")}));
    QCOMPARE(h.ctx().counters.logonsRefusedFull, quint64(LogonThrottle::MaxRejections + 1));
    QCOMPARE(h.ctx().counters.logonsRejected, quint64(LogonThrottle::MaxRejections + 1));
    QCOMPARE(h.ctx().logonThrottle.trackedAddresses(), 0);

    h.clearRecords();
    h.receive(ClientRecords::logonRequest(100, 1, QStringLiteral("Ann")), QStringLiteral("127.0.0.6"));
    QCOMPARE(sentTo(h, QStringLiteral("127.0.0.6")), QStringList{QStringLiteral("1003")});
    QCOMPARE(h.ctx().players.item(QStringLiteral("Ann"))->endpoint.addressText(), QStringLiteral("127.0.0.2"));
    h.receive(ClientRecords::logonRequest(100, 700, QStringLiteral("Ann")), QStringLiteral("127.0.0.5"));
    QCOMPARE(sentTo(h, QStringLiteral("127.0.0.3")), QStringList({QStringLiteral("1005 Ann"), QStringLiteral("1004 Ann")}));
    QCOMPARE(h.ctx().players.item(QStringLiteral("Ann"))->endpoint.addressText(), QStringLiteral("127.0.0.5"));
    QCOMPARE(h.ctx().players.count(), 2);
    h.clearRecords();
    h.receive(ClientRecords::logonRequest(7, 77, QStringLiteral("Cy")), QStringLiteral("127.0.0.3"));
    QCOMPARE(sentTo(h, QStringLiteral("127.0.0.5")), QStringList({QStringLiteral("1005 Bob"), QStringLiteral("1004 Cy")}));
    QCOMPARE(h.ctx().players.item(QStringLiteral("Cy"))->endpoint.addressText(), QStringLiteral("127.0.0.3"));
    QCOMPARE(h.ctx().players.count(), 2);
    QCOMPARE(h.ctx().counters.logonsRefusedFull, quint64(LogonThrottle::MaxRejections + 1));
}

// A reload takes in the message of the day, the crash text, the limit and
// the bans, removes the players now banned, names the settings that need a
// restart, and keeps the bans when bans.ini cannot be read. bans.ini is
// read off the event loop: the answer comes once the new bans are in force,
// and a request made while a load runs is answered from a later one.
void tst_Admission::reloadTakesInSettingsAndBans()
{
    CoreHarness h(true, false);
    const QDir dir = QFileInfo(QString::fromStdString(h.ctx().UsersIni.FileName())).dir();
    const QString serverIni = dir.filePath(QStringLiteral("VentoroServer.ini"));
    QVERIFY(writeFile(serverIni, "[General]\r\nConnectPort=1500\r\nDebug=1\r\nMOTD=Old\r\n"));
    h.ctx().ServerIni.FileName(serverIni.toStdString());
    h.ctx().restartOnlyAtStart = StartupOptions::readRestartOnly(h.ctx().ServerIni);
    h.logOn(QStringLiteral("Ann"), QStringLiteral("127.0.0.2")); // pilots 100 to 102
    h.logOn(QStringLiteral("Bob"), QStringLiteral("127.0.0.3"));
    h.logOn(QStringLiteral("Cy"), QStringLiteral("127.0.1.4"));
    h.clearRecords();

    QVERIFY(writeFile(serverIni, "[General]\r\nConnectPort=1600\r\nDebug=1\r\nMOTD=New\r\nCrashText=Boom\r\n"
                                 "MaxPilots=1\r\nHttpPort=8080\r\n"));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("bans.ini")),
                      "[100]\r\nReason=x\r\n[127.0.1.0/24]\r\n[101]\r\nExpires=2027-01-15T07:59:59Z\r\n"));
    ServerReload::Reloader reloader(h.ctx());
    std::optional<ServerReload::Report> answered;
    reloader.reload([&](const ServerReload::Report &done) { answered = done; });
    QVERIFY(!answered && h.ctx().bans.bans().empty());
    QTRY_VERIFY(answered);
    const ServerReload::Report report = *answered;

    QCOMPARE(report.restartOnly, QStringList({QStringLiteral("ConnectPort"), QStringLiteral("HttpPort")}));
    QCOMPARE(report.bans.inForce, 2);
    QCOMPARE(report.bans.removed, QStringList({QStringLiteral("Ann (server ID 1, 127.0.0.2)"),
                                               QStringLiteral("Cy (server ID 3, 127.0.1.4)")}));
    QCOMPARE(sentTo(h, QStringLiteral("127.0.0.3")), QStringList({QStringLiteral("1005 Ann"), QStringLiteral("1005 Cy")}));
    QCOMPARE(h.logLines(), stamped({QStringLiteral("Operator removed player Ann 127.0.0.2"),
                                    QStringLiteral("Operator removed player Cy 127.0.1.4"),
                                    QStringLiteral("Reloaded; these settings change only with a restart: "
                                                   "ConnectPort, HttpPort")}));
    QCOMPARE(trimSpaces(h.ctx().CrashNotice.textAt(Packet::CrashMessageAt, 50)), QStringLiteral("Boom"));
    QCOMPARE(h.ctx().MaxPilots, 1);

    h.clearRecords();
    h.receive(ClientRecords::logonRequest(101, 707, QStringLiteral("Bob")), QStringLiteral("127.0.0.3"));
    QCOMPARE(h.sender.sent.first().packet().textAt(Packet::MotdAt, 40).trimmed(), QStringLiteral("New"));
    h.receive(ClientRecords::logonRequest(101, 707, QStringLiteral("Bo")), QStringLiteral("127.0.0.9"));
    QCOMPARE(h.ctx().counters.logonsRefusedFull, quint64(1));

    QVERIFY(QFile::remove(dir.filePath(QStringLiteral("bans.ini"))) && dir.mkdir(QStringLiteral("bans.ini")));
    QList<ServerReload::BansOutcome> outcomes;
    const auto collect = [&](const ServerReload::BansOutcome &done) { outcomes.append(done); };
    reloader.reloadBans(collect);
    QTRY_COMPARE(outcomes.size(), 1);
    QVERIFY(!outcomes[0].read);
    QCOMPARE(outcomes[0].inForce, 2);
    QVERIFY(outcomes[0].warnings.value(0).endsWith(
        QStringLiteral("bans.ini cannot be read (not a regular file); the bans stay as they were")));
    reloader.reloadBans(collect);
    QVERIFY(dir.rmdir(QStringLiteral("bans.ini")) && writeFile(dir.filePath(QStringLiteral("bans.ini")), "[7]\r\n"));
    reloader.reloadBans(collect);
    QTRY_COMPARE(outcomes.size(), 3);
    QVERIFY(outcomes[2].read);
    QCOMPARE(outcomes[2].inForce, 1);
    QCOMPARE(h.ctx().bans.countInForce(h.clock.wallSeconds()), 1);
}

void tst_Admission::reloadKeepsWhatItCannotUse_data()
{
    QTest::addColumn<QByteArray>("file"); // "fifo" stands for one in the file's place
    QTest::addColumn<QString>("motd");
    QTest::addColumn<int>("maxPilots");
    QTest::addColumn<QString>("warning");
    const QString kept = QStringLiteral("; MOTD, CrashText and MaxPilots stay as they were"); // DIR: where the file is
    QTest::newRow("a bad number") << QByteArray("[General]\r\nMOTD=New\r\nMaxPilots=2O\r\n") << "New" << 5
                                  << "\"MaxPilots\" in VentoroServer.ini holds \"2O\", which is no whole number from 0; "
                                     "MaxPilots stays as it was";
    QTest::newRow("keys gone: defaults") << QByteArray("[general]\r\n") << "Ventoro server run by Brisalt Ltd" << 0 << "";
    QTest::newRow("no section") << QByteArray("MOTD=New\r\nMaxPilots=9\r\n") << "Old" << 5
                                << "DIR/VentoroServer.ini holds no [General] section" + kept;
    QTest::newRow("garbage") << QByteArray("\x7F" "ELF\x02\x01\0\0[", 10) << "Old" << 5
                             << "DIR/VentoroServer.ini holds no [General] section" + kept;
    QTest::newRow("missing") << QByteArray() << "Old" << 5 << "DIR/VentoroServer.ini is missing" + kept;
    QTest::newRow("a FIFO") << QByteArray("fifo") << "Old" << 5
                            << "DIR/VentoroServer.ini cannot be read (not a regular file)" + kept;
}

// What a reload cannot use keeps what the server had, and says which key
// or why; it never falls back to "no limit" or the default message.
void tst_Admission::reloadKeepsWhatItCannotUse()
{
    QFETCH(QByteArray, file);
    QFETCH(QString, motd);
    QFETCH(int, maxPilots);
    QFETCH(QString, warning);
    CoreHarness h(true, false);
    const QString path = QFileInfo(QString::fromStdString(h.ctx().UsersIni.FileName())).dir()
                             .filePath(QStringLiteral("VentoroServer.ini"));
    h.ctx().ServerIni.FileName(path.toStdString());
    h.ctx().MessageOfTheDay = QStringLiteral("Old");
    h.ctx().MaxPilots = 5;
    if (file == "fifo")
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    else if (!file.isEmpty())
        QVERIFY(writeFile(path, file));
    const ServerReload::Report report = ServerReload::reloadOptions(h.ctx());
    QCOMPARE(h.ctx().MessageOfTheDay, motd);
    QCOMPARE(h.ctx().MaxPilots, maxPilots);
    QCOMPARE(report.warnings.join(u'\n'), warning.replace(QStringLiteral("DIR/"), path.left(path.lastIndexOf(u'/') + 1)));
}

void tst_Admission::banIndex_data()
{
    QTest::addColumn<qint32>("pilot");
    QTest::addColumn<QString>("from");
    QTest::addColumn<QString>("refusedBy"); // the reason of the ban that refuses; empty: none

    QTest::newRow("an expired ID ban, a later one in force") << 1234 << "2001:db9::1" << "3";
    QTest::newRow("ID and address: the first in the file") << 1234 << "10.1.2.3" << "1";
    QTest::newRow("a /8 before a /16 within it") << 7 << "10.1.2.3" << "1";
    QTest::newRow("IPv4-mapped sender") << 7 << "::ffff:10.1.2.3" << "1";
    QTest::newRow("a /48 before the /32 around it") << 7 << "2001:db8:1::5" << "4";
    QTest::newRow("the /32 outside the /48") << 7 << "2001:db8:2::1" << "5";
    QTest::newRow("an address before every IPv4 address") << 7 << "192.0.2.7" << "6";
    QTest::newRow("every IPv4 address, last") << 7 << "172.16.0.1" << "9";
    QTest::newRow("nothing for another IPv6 network") << 7 << "2001:db9::1" << "";
}

void tst_Admission::banIndex()
{
    QFETCH(qint32, pilot);
    QFETCH(QString, from);
    QFETCH(QString, refusedBy);
    const qint64 now = 1800000000;
    const BanList list = BanList::fromEntries({
        banEntry("1234", "0", now), banEntry("10.0.0.0/8", "1"), banEntry("10.1.0.0/16", "2", now + 1),
        banEntry("01234", "3"), banEntry("2001:db8:1::/48", "4"), banEntry("2001:db8::/32", "5"),
        banEntry("192.0.2.7", "6"), banEntry("10.1.2.3", "8", now - 9), banEntry("0.0.0.0/0", "9")}).list;
    const Ban *ban = list.covering(pilot, *Endpoint::fromText(from), now);
    QCOMPARE(ban ? ban->reason : QString(), refusedBy);
    QCOMPARE(list.countInForce(now), 7);
}

// Random bans and logons in a small space, so that they meet often: the
// index finds what a scan of the whole list in file order finds.
void tst_Admission::banIndexAgreesWithAScan()
{
    auto *random = QRandomGenerator::global();
    const auto address = [&](bool ipv4) {
        const QString a = QString::number(random->bounded(4)), b = QString::number(random->bounded(4));
        return ipv4 ? QStringLiteral("10.0.%1.%2").arg(a, b) : QStringLiteral("2001:db8:%1::%2").arg(a, b);
    };
    std::vector<BansFileLayout::Entry> entries;
    for (int i = 0; i < 400; ++i) {
        const int kind = random->bounded(3), expiry = random->bounded(3);
        const QString target = kind == 0 ? QString::number(random->bounded(40))
            : kind == 1                  ? address(true) + QStringLiteral("/%1").arg(24 + 2 * random->bounded(5))
                                         : address(false) + QStringLiteral("/%1").arg(32 + 16 * random->bounded(7));
        entries.push_back(banEntry(target, QString::number(i),
                                   expiry == 0 ? std::nullopt : std::optional<qint64>(expiry == 1 ? 995 : 1005)));
    }
    const BanList list = BanList::fromEntries(entries).list;
    for (int query = 0; query < 2000; ++query) {
        const qint32 pilot = random->bounded(40);
        const Endpoint from = *Endpoint::fromText(address(random->bounded(2) == 0));
        const Ban *scanned = nullptr;
        for (const Ban &ban : list.bans()) {
            if (!scanned && ban.inForceAt(1000) && ban.target.covers(pilot, from))
                scanned = &ban;
        }
        QCOMPARE(list.covering(pilot, from, 1000), scanned);
    }
}

QTEST_GUILESS_MAIN(tst_Admission)
#include "tst_admission.moc"
