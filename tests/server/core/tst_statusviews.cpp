// The status for the public and what is made of it: the page, the metrics
// and the JSON hold no address, and every text from the network is escaped.
#include "CoreHarness.h"
#include "OperatorCommands.h"
#include "RecordText.h"
#include "Records.h"
#include "StatusText.h"
#include "StatusMetrics.h"
#include "StatusPage.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QtTest>

class tst_StatusViews : public QObject
{
    Q_OBJECT

private slots:
    void publicViews();
    void handlesStayAsSent_data();
    void handlesStayAsSent();
};

// A pilot with a handle full of markup, quotes, controls and a lone
// surrogate logs on from 127.0.0.2, Bob from 127.0.0.3 and sends his
// aircraft details; both send keep-alives for 2 min 05 s. The server has
// been up 1 h 02 min 05 s.
void tst_StatusViews::publicViews()
{
    CoreHarness h;
    h.ctx().MessageOfTheDay = QStringLiteral("Fly \"safe\" <today>");
    h.logOnAll({QString::fromUtf16(u"<b>x</b>\"'&\x1b\u2028") + QChar(0xD800), QStringLiteral("Bob")}).at(1)->SentPlaneType = true;
    for (int step = 0; step < 5; ++step) {
        h.clock.advance(25);
        h.receive(ClientRecords::keepAlive(1), QStringLiteral("127.0.0.2"));
        h.receive(ClientRecords::keepAlive(2), QStringLiteral("127.0.0.3"));
    }
    h.ctx().counters = {.logonsAccepted = 7, .logonsRejected = 20, .logonsThrottled = 5, .logonsBanned = 3,
                        .logonsRefusedFull = 2, .sendFailuresByType = {{Packet::FlightData, 6}}};
    const OperatorCommands::RunFacts facts{h.ctx().now() - 3725, 1500, 1501, 9};
    QCOMPARE(OperatorCommands::status(h.ctx(), facts)["players"][0]["address"].toString(), QStringLiteral("127.0.0.2"));
    const QJsonObject status = OperatorCommands::status(h.ctx(), facts, OperatorCommands::Audience::Public);
    QCOMPARE(status["players"][1].toObject().keys(),
             (QStringList{"handle", "secondsSinceHeartbeat", "secondsSinceLogon", "sentAircraftDetails", "serverId"}));

    const QByteArray page = StatusPage::html(status);
    const QByteArray metrics = StatusMetrics::exposition(status);
    for (const QByteArray &view : {page, QJsonDocument(status).toJson(), metrics})
        QVERIFY2(!view.contains("127.0.0."), view.constData());
    QVERIFY(!page.contains("<b>"));
    for (const char *shown : {"<td>&lt;b&gt;x&lt;/b&gt;&quot;&#39;&amp;??\xEF\xBF\xBD</td><td class=\"num\">2 min 05 s</td>"
                              "<td>not yet</td>",
                              "<td>Bob</td>", "<td>received</td>", "Fly &quot;safe&quot; &lt;today&gt;",
                              "2 pilots on &middot; up 1 h 02 min 05 s", "http-equiv=\"refresh\"", "name=\"viewport\""})
        QVERIFY2(page.contains(shown), shown);
    // Each logon once, by outcome; every type the server sends, failed or not.
    for (const char *sample : {"\nventoro_players 2\n", "\nventoro_uptime_seconds 3725\n",
                               "\nventoro_logons_total{result=\"rejected\"} 10\n",
                               "\nventoro_logons_total{result=\"throttled\"} 5\n",
                               "\nventoro_logons_total{result=\"banned\"} 3\n",
                               "\nventoro_logons_total{result=\"full\"} 2\n",
                               "\nventoro_send_failures_total{type=\"FlightData\"} 6\n",
                               "\nventoro_send_failures_total{type=\"ChatMessage\"} 0\n",
                               "\nventoro_build_info{version=\"" VENTORO_VERSION "\"} 1\n"})
        QVERIFY2(metrics.contains(sample), sample);
}

// A handle is shown as it came, once: never formatted again (a "%1" in it
// stays), and with every character that could reorder or break the line
// as "?", on the terminal, in the log and on the page.
void tst_StatusViews::handlesStayAsSent_data()
{
    QTest::addColumn<QString>("handle");
    QTest::addColumn<QString>("shown");
    QTest::newRow("place markers") << QStringLiteral("%1%2%3") << QStringLiteral("%1%2%3");
    QTest::newRow("right-to-left override") << QString::fromUtf16(u"ab\u202Ecd") << QStringLiteral("ab?cd");
    QTest::newRow("embeddings and isolates") << QString::fromUtf16(u"\u202A\u202B\u202C\u202D\u2066\u2067\u2068\u2069")
                                              << QStringLiteral("????????");
    QTest::newRow("marks stay") << QString::fromUtf16(u"a\u200Fb") << QString::fromUtf16(u"a\u200Fb");
}

void tst_StatusViews::handlesStayAsSent()
{
    QFETCH(QString, handle);
    QFETCH(QString, shown);
    CoreHarness h;
    h.logOnAll({handle, QStringLiteral("Bob")});
    const OperatorCommands::RunFacts facts{h.ctx().now(), 1500, 1501, 0};
    QVERIFY(StatusText::format(OperatorCommands::status(h.ctx(), facts)).contains(QStringLiteral("  ") + shown + QLatin1Char(' ')));
    QVERIFY(StatusPage::html(OperatorCommands::status(h.ctx(), facts, OperatorCommands::Audience::Public))
                .contains(QByteArray("<td>") + shown.toUtf8() + "</td>"));
    QCOMPARE(RecordText::describe(Records::playerAdded(7, handle)), QStringLiteral("PlayerAdded: ") + shown + QStringLiteral(" (server ID 7)"));
    QByteArray answer;
    OperatorCommands::answer(h.ctx(), facts, "kick 1", {}, [&](const QByteArray &line) { answer = line; });
    const QJsonObject kicked = QJsonDocument::fromJson(answer).object();
    QCOMPARE(kicked["message"].toString(), QStringLiteral("removed ") + handle + QStringLiteral(" (server ID 1, 127.0.0.2)"));
    QCOMPARE(h.logLines().last(), QStringLiteral("09:05:07 - Operator removed player ") + shown + QStringLiteral(" 127.0.0.2"));
}

QTEST_GUILESS_MAIN(tst_StatusViews)
#include "tst_statusviews.moc"
