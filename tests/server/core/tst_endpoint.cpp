// Endpoints: text in and out for both families, the forms that must be
// refused, and the networks that bans and the logon throttle match by.
#include "Endpoint.h"

#include <QtTest>

class tst_Endpoint : public QObject
{
    Q_OBJECT

private slots:
    void text_data();
    void text();
    void networks_data();
    void networks();
};

void tst_Endpoint::text_data()
{
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("shown"); // text(), empty when refused
    QTest::addColumn<bool>("ipv4");
    QTest::addColumn<bool>("linkLocal");
    QTest::newRow("dotted") << "127.0.0.2" << "127.0.0.2:0" << true << false;
    QTest::newRow("dotted, port") << "192.0.2.7:1501" << "192.0.2.7:1501" << true << false;
    QTest::newRow("mapped is IPv4") << "[::ffff:192.0.2.7]:9" << "192.0.2.7:9" << true << false;
    QTest::newRow("RFC 5952") << "2001:DB8:0:0:0:0:0:1" << "[2001:db8::1]:0" << false << false;
    QTest::newRow("one zero field kept") << "[2001:db8:0:1:1:1:1:1]:65535" << "[2001:db8:0:1:1:1:1:1]:65535" << false << false;
    QTest::newRow("loopback") << "::1" << "[::1]:0" << false << false;
    QTest::newRow("link-local") << "[fe80::1]:1500" << "[fe80::1]:1500" << false << true;
    for (const char *refused : {"", "host.example", "1.2.3", "01.2.3.4", "1.2.3.4:65536", "1.2.3.4:-1", "1.2.3.4:+1",
                                " 1.2.3.4", "[1.2.3.4]:1", "[::1]", "::1]:5", "1.2.3.4/24", "fe80::1%eth0"})
        QTest::newRow(refused) << QString::fromLatin1(refused) << QString() << false << false;
}

void tst_Endpoint::text()
{
    QFETCH(QString, input);
    QFETCH(QString, shown);
    QFETCH(bool, ipv4);
    QFETCH(bool, linkLocal);
    const std::optional<Endpoint> endpoint = Endpoint::fromText(input);
    QCOMPARE(endpoint.has_value(), !shown.isEmpty());
    if (!endpoint)
        return;
    QCOMPARE(endpoint->text(), shown);
    QCOMPARE(endpoint->isIpv4(), ipv4);
    QCOMPARE(endpoint->isLinkLocal(), linkLocal);
    QCOMPARE(Endpoint::fromText(endpoint->text()), endpoint);
    if (ipv4)
        QCOMPARE(Endpoint::fromIpv4(endpoint->ipv4(), endpoint->port()), endpoint);
}

void tst_Endpoint::networks_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("network");
    QTest::addColumn<int>("bits");
    QTest::addColumn<bool>("within");
    QTest::addColumn<QString>("throttleUnit");
    QTest::newRow("IPv4 /24") << "192.0.2.200" << "192.0.2.0" << 96 + 24 << true << "192.0.2.200";
    QTest::newRow("IPv4 outside /24") << "192.0.3.1" << "192.0.2.0" << 96 + 24 << false << "192.0.3.1";
    QTest::newRow("IPv4 /0 of IPv4") << "198.51.100.1" << "0.0.0.0" << 96 << true << "198.51.100.1";
    QTest::newRow("IPv6 not in IPv4 /0") << "2001:db8::1" << "0.0.0.0" << 96 << false << "2001:db8::";
    QTest::newRow("IPv6 /64") << "2001:db8:1:2:aaaa::1" << "2001:db8:1:2::" << 64 << true << "2001:db8:1:2::";
    QTest::newRow("IPv6 /63 odd bit") << "2001:db8:1:3::1" << "2001:db8:1:2::" << 63 << true << "2001:db8:1:3::";
    QTest::newRow("IPv6 /64 neighbour") << "2001:db8:1:3::1" << "2001:db8:1:2::" << 64 << false << "2001:db8:1:3::";
    QTest::newRow("whole address") << "2001:db8::5" << "2001:db8::5" << 128 << true << "2001:db8::";
}

void tst_Endpoint::networks()
{
    QFETCH(QString, address);
    QFETCH(QString, network);
    QFETCH(int, bits);
    QFETCH(bool, within);
    QFETCH(QString, throttleUnit);
    const Endpoint sender = Endpoint::fromText(address).value().withPort(40000);
    QCOMPARE(sender.isWithin(Endpoint::fromText(network).value(), bits), within);
    QCOMPARE(sender.throttleUnit().addressText(), throttleUnit);
    QCOMPARE(sender.throttleUnit().port(), quint16(0));
}

QTEST_GUILESS_MAIN(tst_Endpoint)
#include "tst_endpoint.moc"
