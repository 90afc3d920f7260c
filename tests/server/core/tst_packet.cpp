// Record layouts against golden bytes, and decoding of datagrams of any size.
#include "CoreHarness.h"
#include "Packet.h"
#include "Records.h"

#include <QtTest>

class tst_Packet : public QObject
{
    Q_OBJECT

private slots:
    void composedRecords_data();
    void composedRecords();
    void endianness();
    void logonRequestFields_data();
    void logonRequestFields();
    void datagramOfAnyLength();
    void crashNoticeKeepsItsText();
};

void tst_Packet::composedRecords_data()
{
    QTest::addColumn<QByteArray>("composed");
    QTest::addColumn<QByteArray>("expected");

    QByteArray accepted = Golden::record(0, 1002);
    Golden::putInt32(accepted, 16, 7);
    Golden::putText(accepted, 20, 40, QStringLiteral("Hello pilots"));
    QTest::newRow("LogonAccepted") << Records::logonAccepted(7, QStringLiteral("Hello pilots")).bytes() << accepted;

    QByteArray emptyMotd = Golden::record(0, 1002);
    Golden::putInt32(emptyMotd, 16, 1);
    Golden::putText(emptyMotd, 20, 40, QString());
    QTest::newRow("LogonAccepted, empty message: 40 spaces") << Records::logonAccepted(1, QString()).bytes() << emptyMotd;

    QByteArray longMotd = Golden::record(0, 1002);
    Golden::putInt32(longMotd, 16, 2);
    Golden::putText(longMotd, 20, 40, QString(40, u'm'));
    QTest::newRow("LogonAccepted, 45 characters cut to 40")
        << Records::logonAccepted(2, QString(45, u'm')).bytes() << longMotd;

    QByteArray rejected = Golden::record(0, 1003);
    Golden::putInt32(rejected, 16, 0);
    QTest::newRow("LogonRejected before any logon") << Records::logonRejected(0).bytes() << rejected;

    QTest::newRow("PlayerAdded") << Records::playerAdded(3, QStringLiteral("Ann")).bytes()
                                 << Golden::playerNotice(1004, 3, QStringLiteral("Ann"));
    QTest::newRow("PlayerRemoved") << Records::playerRemoved(-5, QStringLiteral("Zed Pilot")).bytes()
                                   << Golden::playerNotice(1005, -5, QStringLiteral("Zed Pilot"));
    QTest::newRow("PlayerAdded, non-ASCII handle") << Records::playerAdded(9, QStringLiteral("J\u00F6rg \u2708")).bytes()
                                                   << Golden::playerNotice(1004, 9, QStringLiteral("J\u00F6rg \u2708"));
    QTest::newRow("KeepAlive echo") << Records::keepAliveEcho().bytes() << Golden::record(0, 1006, 0);

    QByteArray crash = Golden::record(0, 4113, 12);
    Golden::putText(crash, 16, 50, QStringLiteral("stacked his crate!!"));
    Packet notice = Records::crashNoticeWithText(QStringLiteral("stacked his crate!!"));
    Records::addressCrashNotice(notice, 12);
    QTest::newRow("crash notice") << notice.bytes() << crash;
}

void tst_Packet::composedRecords()
{
    QFETCH(QByteArray, composed);
    QFETCH(QByteArray, expected);
    QCOMPARE(composed.size(), 128);
    QCOMPARE(composed.toHex(' '), expected.toHex(' '));
}

void tst_Packet::endianness()
{
    const QByteArray bytes = Records::logonAccepted(0x01020304, QString()).bytes();
    QCOMPARE(bytes.left(24).toHex(), QByteArray("00000000ea03000000000000000000000403020120002000"));
}

void tst_Packet::logonRequestFields_data()
{
    QTest::addColumn<QString>("fieldText");
    QTest::addColumn<QString>("handle");

    QTest::newRow("trailing spaces") << QStringLiteral("Ann") << QStringLiteral("Ann");
    QTest::newRow("leading spaces") << QStringLiteral("   Ann") << QStringLiteral("Ann");
    QTest::newRow("inner spaces stay") << QStringLiteral(" Ann  Lee ") << QStringLiteral("Ann  Lee");
    QTest::newRow("NUL fill stays") << QStringLiteral("Ann").leftJustified(20, QChar(0)) << QStringLiteral("Ann").leftJustified(20, QChar(0));
    QTest::newRow("tab is not a space") << QStringLiteral("\tAnn") << QStringLiteral("\tAnn");
    QTest::newRow("all spaces") << QString() << QString();
    QTest::newRow("full width") << QString(20, u'w') << QString(20, u'w');
}

void tst_Packet::logonRequestFields()
{
    QFETCH(QString, fieldText);
    QFETCH(QString, handle);
    const auto fields = Records::readLogonRequest(Packet::fromDatagram(ClientRecords::logonRequest(-42, 123456, fieldText)));
    QCOMPARE(fields.PilotID, -42);
    QCOMPARE(fields.Password, 123456);
    QCOMPARE(fields.PilotHandle, handle);
}

void tst_Packet::datagramOfAnyLength()
{
    QByteArray source(300, '\0');
    for (int i = 0; i < source.size(); ++i)
        source[i] = char(i * 37 + 11);
    for (int length = 0; length <= 300; ++length) {
        const QByteArray datagram = source.left(length);
        const QByteArray decoded = Packet::fromDatagram(datagram).bytes();
        QCOMPARE(decoded.size(), 128);
        const int kept = qMin(length, 128);
        QCOMPARE(decoded.left(kept), datagram.left(kept));
        QCOMPARE(decoded.mid(kept), QByteArray(128 - kept, '\0'));
    }
}

void tst_Packet::crashNoticeKeepsItsText()
{
    Packet notice = Records::crashNoticeWithText(QString(60, u'c'));
    Records::addressCrashNotice(notice, 1);
    const QByteArray first = notice.bytes();
    Records::addressCrashNotice(notice, 2);
    const QByteArray second = notice.bytes();
    QCOMPARE(first.mid(12), second.mid(12));
    QCOMPARE(Packet::fromDatagram(second).SenderID(), 2);
    QCOMPARE(notice.textAt(Packet::CrashMessageAt, Packet::CrashMessageChars), QString(50, u'c'));
}

QTEST_GUILESS_MAIN(tst_Packet)
#include "tst_packet.moc"
