// The status for the public and what is made of it: the page, the metrics
// and the JSON hold no address, and every text from the network is escaped.
#include "CoreHarness.h"
#include "NetworkText.h"
#include "OperatorCommands.h"
#include "StatusMetrics.h"
#include "StatusPage.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QtTest>

class tst_StatusViews : public QObject
{
    Q_OBJECT

private slots:
    void htmlEscaping_data();
    void htmlEscaping();
    void publicViewsShowNoAddress();
    void metricsSamples_data();
    void metricsSamples();

private:
    QJsonObject statusWithTwoPilots(OperatorCommands::Audience audience);
    CoreHarness m_harness;
};

void tst_StatusViews::htmlEscaping_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("escaped");
    QTest::newRow("markup") << "<b>x</b>" << "&lt;b&gt;x&lt;/b&gt;";
    QTest::newRow("quotes, ampersand") << "a\"b'c&d" << "a&quot;b&#39;c&amp;d";
    QTest::newRow("an entity stays text") << "&lt;" << "&amp;lt;";
    QTest::newRow("controls") << "a\nb\rc\x1b[31m\x7f" << "a?b?c?[31m?";
    QTest::newRow("C1, separators") << QString::fromUtf16(u"\u0085\u2028\u2029x") << "???x";
    QTest::newRow("lone surrogate") << (QString(QChar(0xD800)) + u'x') << QString::fromUtf16(u"\uFFFDx");
    QTest::newRow("pair kept") << QString::fromUtf16(u"\U0001F6E9 \u2708") << QString::fromUtf16(u"\U0001F6E9 \u2708");
}

void tst_StatusViews::htmlEscaping()
{
    QFETCH(QString, text);
    QFETCH(QString, escaped);
    QCOMPARE(NetworkText::html(text), escaped);
}

// Ann logged on 2 min 05 s ago from 127.0.0.2, Bob from 127.0.0.3 sent his
// aircraft details; both sent keep-alives since, the last just now. The
// server has been up 1 h 02 min 05 s.
QJsonObject tst_StatusViews::statusWithTwoPilots(OperatorCommands::Audience audience)
{
    if (m_harness.ctx().players.count() == 0) {
        m_harness.ctx().MessageOfTheDay = QStringLiteral("Fly \"safe\" <today>");
        const QList<PlayerPtr> players = m_harness.logOnAll({QStringLiteral("<b>x</b>"), QStringLiteral("Bob")});
        players[1]->SentPlaneType = true;
        for (int step = 0; step < 5; ++step) {
            m_harness.clock.advance(25);
            m_harness.receive(ClientRecords::keepAlive(1), QStringLiteral("127.0.0.2"));
            m_harness.receive(ClientRecords::keepAlive(2), QStringLiteral("127.0.0.3"));
        }
        ServerCounters &counted = m_harness.ctx().counters;
        counted.logonsAccepted = 7;
        counted.logonsRejected = 20;
        counted.logonsThrottled = 5;
        counted.logonsBanned = 3;
        counted.logonsRefusedFull = 2;
        counted.sendFailuresByType = {{Packet::FlightData, 6}, {Packet::PlayerAdded, 1}};
    }
    return OperatorCommands::status(m_harness.ctx(), {m_harness.ctx().now() - 3725, 1500, 1501, 9}, audience);
}

void tst_StatusViews::publicViewsShowNoAddress()
{
    const QJsonObject operatorStatus = statusWithTwoPilots(OperatorCommands::Audience::Operator);
    QCOMPARE(operatorStatus[QLatin1String("players")][0][QLatin1String("address")].toString(), QStringLiteral("127.0.0.2"));
    const QJsonObject status = statusWithTwoPilots(OperatorCommands::Audience::Public);
    const QJsonObject bob = status[QLatin1String("players")][1].toObject();
    QCOMPARE(bob.keys(), (QStringList{"handle", "secondsSinceHeartbeat", "secondsSinceLogon", "sentAircraftDetails", "serverId"}));
    QCOMPARE(bob[QLatin1String("secondsSinceLogon")].toInteger(), 125);
    QCOMPARE(bob[QLatin1String("secondsSinceHeartbeat")].toInteger(), 0);

    const QString page = QString::fromUtf8(StatusPage::html(status));
    for (const QByteArray &view : {StatusPage::html(status), QJsonDocument(status).toJson(), StatusMetrics::exposition(status)})
        QVERIFY2(!view.contains("127.0.0."), view.constData());
    QVERIFY(!page.contains(QStringLiteral("<b>")));
    for (const char *shown : {"<td>&lt;b&gt;x&lt;/b&gt;</td>", "<td class=\"num\">2 min 05 s</td><td>not yet</td>",
                              "<td>Bob</td>", "<td>received</td>", "Fly &quot;safe&quot; &lt;today&gt;",
                              "up 1 h 02 min 05 s", "2 pilots on", "http-equiv=\"refresh\"", "name=\"viewport\""})
        QVERIFY2(page.contains(QLatin1String(shown)), shown);
}

void tst_StatusViews::metricsSamples_data()
{
    QTest::addColumn<QByteArray>("sample");
    QTest::newRow("pilots on") << QByteArray("ventoro_players 2");
    QTest::newRow("uptime") << QByteArray("ventoro_uptime_seconds 3725");
    QTest::newRow("accepted") << QByteArray("ventoro_logons_total{result=\"accepted\"} 7");
    QTest::newRow("rejected, the others apart") << QByteArray("ventoro_logons_total{result=\"rejected\"} 10");
    QTest::newRow("throttled") << QByteArray("ventoro_logons_total{result=\"throttled\"} 5");
    QTest::newRow("banned") << QByteArray("ventoro_logons_total{result=\"banned\"} 3");
    QTest::newRow("full") << QByteArray("ventoro_logons_total{result=\"full\"} 2");
    QTest::newRow("failed by type") << QByteArray("ventoro_send_failures_total{type=\"FlightData\"} 6");
    QTest::newRow("a type that never failed") << QByteArray("ventoro_send_failures_total{type=\"ChatMessage\"} 0");
    QTest::newRow("queue drops") << QByteArray("ventoro_receive_queue_dropped_datagrams_total 9");
    QTest::newRow("build") << QByteArray("ventoro_build_info{version=\"" VENTORO_VERSION "\"} 1");
}

// Each sample is there once, after the HELP and TYPE lines of its family.
void tst_StatusViews::metricsSamples()
{
    QFETCH(QByteArray, sample);
    const QList<QByteArray> lines = StatusMetrics::exposition(statusWithTwoPilots(OperatorCommands::Audience::Public)).split('\n');
    const qsizetype at = lines.indexOf(sample);
    QVERIFY(at >= 0);
    QCOMPARE(lines.count(sample), 1);
    const QByteArray family = sample.left(sample.indexOf(sample.contains('{') ? '{' : ' '));
    const qsizetype type = lines.indexOf("# TYPE " + family + (family.endsWith("_total") ? " counter" : " gauge"));
    QVERIFY(type > 0 && type < at && lines[type - 1].startsWith("# HELP " + family + ' '));
}

QTEST_GUILESS_MAIN(tst_StatusViews)
#include "tst_statusviews.moc"
