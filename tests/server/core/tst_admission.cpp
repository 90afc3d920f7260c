// Who may log on (bans, the pilot limit) and what a reload takes in, with
// every record sent and every log line.
#include "BanList.h"
#include "CoreHarness.h"
#include "Endpoint.h"
#include "ServerReload.h"

#include <QDir>
#include <QFile>
#include <QtTest>

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
    BansFileLayout::Entry entry{ban.toStdString(), "spam", std::nullopt, false};
    if (!expiresIn.isEmpty())
        entry.expires = h.clock.wallSeconds() + expiresIn.toLongLong();
    h.ctx().bans.set(BanList::fromEntries({entry}).bans);
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
        QCOMPARE(h.sender.sent.first().whenFull, Sender::WhenFull::Drop);
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
// restart, and keeps the bans when bans.ini cannot be read.
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
    const ServerReload::Report report = ServerReload::reload(h.ctx());

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
    const ServerReload::BansOutcome unreadable = ServerReload::reloadBans(h.ctx());
    QVERIFY(!unreadable.read);
    QCOMPARE(unreadable.inForce, 2);
    QVERIFY(unreadable.warnings.value(0).endsWith(QStringLiteral("cannot be read; the bans stay as they were")));
}

QTEST_GUILESS_MAIN(tst_Admission)
#include "tst_admission.moc"
