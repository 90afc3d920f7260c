// Flight records: who receives what, byte for byte, and the low-level lines.
#include "CoreHarness.h"

#include <QtTest>

namespace {

QStringList destinations(const RecordingSender &sender)
{
    QStringList ips;
    for (const SentRecord &record : sender.sent)
        ips << record.ip;
    return ips;
}

// Each destination with its port.
QStringList endpoints(const RecordingSender &sender)
{
    QStringList texts;
    for (const SentRecord &record : sender.sent)
        texts << record.to.text();
    return texts;
}

} // namespace

class tst_Relay : public QObject
{
    Q_OBJECT

private slots:
    void relayedUnchanged_data();
    void relayedUnchanged();
    void crashReportBecomesTheCrashNotice();
    void flightDataWaitsForAircraftDetails();
    void onlyTheSenderRegistered();
    void forgedSenderIsIgnored_data();
    void forgedSenderIsIgnored();
    void datagramOfAnyLength();
    void ignoredRecords_data();
    void ignoredRecords();
};

void tst_Relay::relayedUnchanged_data()
{
    QTest::addColumn<qint32>("type");
    QTest::addColumn<qint32>("senderID");
    QTest::addColumn<QString>("from");
    QTest::addColumn<QStringList>("recipients");
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<bool>("replyToSource");

    QTest::newRow("aircraft details") << qint32(4110) << 1 << QStringLiteral("127.0.0.2")
                                      << QStringList{"127.0.0.3:1501", "127.0.0.4:1501"}
                                      << QStringList{"09:05:07 - Send Aircraft Details to client 127.0.0.3 Bob",
                                                     "09:05:07 - Send Aircraft Details to client 127.0.0.4 Cy"}
                                      << false;
    QTest::newRow("plane type query") << qint32(4111) << 2 << QStringLiteral("127.0.0.3")
                                      << QStringList{"127.0.0.2:1501", "127.0.0.4:1501"}
                                      << QStringList{"09:05:07 - Send Query Plane Type to 127.0.0.2 Ann",
                                                     "09:05:07 - Send Query Plane Type to 127.0.0.4 Cy"}
                                      << false;
    QTest::newRow("chat") << qint32(4131) << 3 << QStringLiteral("127.0.0.4")
                          << QStringList{"127.0.0.2:1501", "127.0.0.3:1501"} << QStringList() << false;
    QTest::newRow("source ports: aircraft details") << qint32(4110) << 1 << QStringLiteral("127.0.0.2:40000")
                                                    << QStringList{"127.0.0.3:40000", "127.0.0.4:40000"}
                                                    << QStringList{"09:05:07 - Send Aircraft Details to client 127.0.0.3:40000 Bob",
                                                                   "09:05:07 - Send Aircraft Details to client 127.0.0.4:40000 Cy"}
                                                    << true;
    QTest::newRow("source ports: chat") << qint32(4131) << 3 << QStringLiteral("127.0.0.4:40000")
                                        << QStringList{"127.0.0.2:40000", "127.0.0.3:40000"} << QStringList() << true;
}

void tst_Relay::relayedUnchanged()
{
    QFETCH(qint32, type);
    QFETCH(qint32, senderID);
    QFETCH(QString, from);
    QFETCH(QStringList, recipients);
    QFETCH(QStringList, lines);
    QFETCH(bool, replyToSource);

    CoreHarness h;
    h.ctx().ReplyToSourcePort = replyToSource;
    h.logOnAll({"Ann", "Bob", "Cy"}); // IDs 1, 2, 3 at 127.0.0.2, .3, .4, port 40000
    QByteArray record = ClientRecords::flightRecord(type, senderID);
    Golden::putInt32(record, 12, -123456); // Reserved travels too
    h.receive(record, from);

    QCOMPARE(endpoints(h.sender), recipients);
    for (const SentRecord &sent : h.sender.sent) {
        QCOMPARE(sent.bytes.toHex(), record.toHex());
        QCOMPARE(sent.whenFull, Sender::WhenFull::WaitForRoom);
    }
    QCOMPARE(h.logLines(), lines);
    QCOMPARE(h.yield.count, recipients.size());
}

void tst_Relay::crashReportBecomesTheCrashNotice()
{
    CoreHarness h;
    h.logOnAll({"Ann", "Bob", "Cy"});
    h.receive(ClientRecords::flightRecord(4113, 3, 'q'), QStringLiteral("127.0.0.4"));

    QByteArray notice = Golden::record(0, 4113, 3);
    Golden::putText(notice, 16, 50, QStringLiteral("stacked his crate!!"));
    QCOMPARE(destinations(h.sender), (QStringList{"127.0.0.2", "127.0.0.3"}));
    for (const SentRecord &sent : h.sender.sent)
        QCOMPARE(sent.bytes.toHex(), notice.toHex());
    QCOMPARE(h.logLines(), (QStringList{"09:05:07 - Send Player crashed to 127.0.0.2 Ann",
                                        "09:05:07 - Send Player crashed to 127.0.0.3 Bob"}));

    // Another player's crash: the same text, only the ID differs.
    h.clearRecords();
    h.receive(ClientRecords::flightRecord(4113, 1, 'z'), QStringLiteral("127.0.0.2"));
    Golden::putInt32(notice, 8, 1);
    QCOMPARE(h.sender.sent.first().bytes.toHex(), notice.toHex());
}

void tst_Relay::flightDataWaitsForAircraftDetails()
{
    CoreHarness h;
    h.logOnAll({"Ann", "Bob", "Cy"});
    const QByteArray flight = ClientRecords::flightRecord(4121, 2);
    h.receive(flight, QStringLiteral("127.0.0.3"));
    QCOMPARE(h.sender.sent.size(), 0);

    h.receive(ClientRecords::flightRecord(4110, 2), QStringLiteral("127.0.0.3"));
    QVERIFY(h.ctx().players.item(QStringLiteral("Bob"))->SentPlaneType);
    h.clearRecords();
    h.receive(flight, QStringLiteral("127.0.0.3"));
    QCOMPARE(destinations(h.sender), (QStringList{"127.0.0.2", "127.0.0.4"}));
    QCOMPARE(h.sender.sent.first().bytes, flight);
    QCOMPARE(h.sender.sent.first().whenFull, Sender::WhenFull::Drop); // the next position will do
    QCOMPARE(h.logLines(), QStringList());

    // Another player's flight data still waits for its own details.
    h.clearRecords();
    h.receive(ClientRecords::flightRecord(4121, 1), QStringLiteral("127.0.0.2"));
    QCOMPARE(h.sender.sent.size(), 0);
}

void tst_Relay::onlyTheSenderRegistered()
{
    CoreHarness h;
    h.logOn(QStringLiteral("Ann"), QStringLiteral("127.0.0.2"));
    h.clearRecords();
    for (qint32 type : {4110, 4111, 4113, 4121, 4131})
        h.receive(ClientRecords::flightRecord(type, 1), QStringLiteral("127.0.0.2"));
    QCOMPARE(h.sender.sent.size(), 0);
}

void tst_Relay::forgedSenderIsIgnored_data()
{
    QTest::addColumn<qint32>("senderID");
    QTest::addColumn<QString>("from");
    QTest::addColumn<bool>("replyToSource");

    QTest::newRow("someone else's ID") << 1 << QStringLiteral("127.0.0.3") << false;
    QTest::newRow("from outside") << 1 << QStringLiteral("127.0.0.99") << false;
    QTest::newRow("unknown ID") << 77 << QStringLiteral("127.0.0.2") << false;
    QTest::newRow("source ports: another port of the address") << 1 << QStringLiteral("127.0.0.2:40001") << true;
    QTest::newRow("source ports: someone else's endpoint") << 1 << QStringLiteral("127.0.0.3:40000") << true;
}

void tst_Relay::forgedSenderIsIgnored()
{
    QFETCH(qint32, senderID);
    QFETCH(QString, from);
    QFETCH(bool, replyToSource);

    CoreHarness h;
    h.ctx().ReplyToSourcePort = replyToSource;
    h.logOnAll({"Ann", "Bob", "Cy"});
    for (qint32 type : {4110, 4111, 4113, 4121, 4131})
        h.receive(ClientRecords::flightRecord(type, senderID), from);
    QCOMPARE(h.sender.sent.size(), 0);
    QVERIFY(!h.ctx().players.item(QStringLiteral("Ann"))->SentPlaneType);
}

// A chat record cut or padded to every length from 0 to 300 bytes: once the
// sender's ID has arrived it is relayed as its first 128 bytes, zero-filled.
void tst_Relay::datagramOfAnyLength()
{
    CoreHarness h;
    h.logOnAll({"Ann", "Bob", "Cy"});
    QByteArray full = ClientRecords::flightRecord(4131, 1);
    full.append(QByteArray(172, '\x7F'));
    for (int length = 0; length <= 300; ++length) {
        h.clearRecords();
        const QByteArray datagram = full.left(length);
        h.receive(datagram, QStringLiteral("127.0.0.2"));
        if (length < 9) { // SenderID 1 is whole once its first byte arrived
            QCOMPARE(h.sender.sent.size(), 0);
            continue;
        }
        QCOMPARE(h.sender.sent.size(), 2);
        QByteArray expected = datagram.left(128);
        expected.append(QByteArray(128 - expected.size(), '\0'));
        QCOMPARE(h.sender.sent.first().bytes, expected);
    }
}

void tst_Relay::ignoredRecords_data()
{
    QTest::addColumn<qint32>("packetClass");
    QTest::addColumn<qint32>("type");
    QTest::addColumn<QString>("from");
    QTest::addColumn<bool>("replyToSource");

    const QString ann = QStringLiteral("127.0.0.2");
    for (qint32 type : {1002, 1003, 1004, 1005, 4113, 4110, 0, -1})
        QTest::addRow("class 0 type %d", type) << 0 << type << ann << false;
    for (qint32 type : {1001, 1006, 4112, 4120, 4132, 0})
        QTest::addRow("class 1 type %d", type) << 1 << type << ann << false;
    for (qint32 packetClass : {2, -1, 65536, std::numeric_limits<qint32>::min()})
        QTest::addRow("class %d", packetClass) << packetClass << 4131 << ann << false;
    // Senders that cannot be answered: not even a refusal goes back.
    QTest::newRow("logon from link-local") << 0 << 1001 << QStringLiteral("[fe80::1]:40000") << false;
    QTest::newRow("logon from link-local, source ports") << 0 << 1001 << QStringLiteral("[fe80::abcd]:40000") << true;
    QTest::newRow("logon from port 0, source ports") << 0 << 1001 << QStringLiteral("127.0.0.9:0") << true;
}

void tst_Relay::ignoredRecords()
{
    QFETCH(qint32, packetClass);
    QFETCH(qint32, type);
    QFETCH(QString, from);
    QFETCH(bool, replyToSource);

    CoreHarness h;
    h.ctx().ReplyToSourcePort = replyToSource;
    h.logOnAll({"Ann", "Bob", "Cy"});
    h.receive(Golden::record(packetClass, type, 1), from);
    QCOMPARE(h.sender.sent.size(), 0);
    QCOMPARE(h.logLines(), QStringList());
    QCOMPARE(h.ctx().players.count(), 3);
    QCOMPARE(h.ctx().LastServerID, 3);
}

QTEST_GUILESS_MAIN(tst_Relay)
#include "tst_relay.moc"
