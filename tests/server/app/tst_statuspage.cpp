// The HTTP status page of the real server on loopback while two pilots are
// on: its documents and refusals, hostile clients, the relay beside them,
// the page as a browser renders it and the metrics as promtool reads them.
#include "CoreHarness.h"
#include "FreePort.h"
#include "LoopbackClient.h"
#include "ServerProcess.h"

#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

namespace {

constexpr int kWaitMs = 10000;

// Sends a request (with "Connection: close") and reads until the server
// closes the connection.
QByteArray get(quint16 port, const QByteArray &path, const QByteArray &method = "GET")
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    socket.waitForConnected(kWaitMs);
    socket.write(method + ' ' + path + " HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n");
    QByteArray answer;
    while (socket.waitForReadyRead(kWaitMs))
        answer += socket.readAll();
    return answer;
}

QByteArray body(const QByteArray &answer)
{
    return answer.mid(answer.indexOf("\r\n\r\n") + 4);
}

} // namespace

class tst_StatusPage : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void routes_data();
    void routes();
    void hostileClientsAreClosed_data();
    void hostileClientsAreClosed();
    void relayAnswersWhileClientsHoldEveryConnection();
    void browserAndPromtool();
    void cleanupTestCase();

private:
    ServerProcess m_server{QStringLiteral(VENTORO_SERVER_BINARY)};
    quint16 m_udpPort = freeUdpPort(QStringLiteral("0.0.0.0"));
    quint16 m_replyPort = freeUdpPort(clientAddresses(3));
    quint16 m_httpPort = 0;
    LoopbackClient m_pilots[3];
    bool logOn(int pilot, const QString &handle);
};

bool tst_StatusPage::logOn(int pilot, const QString &handle)
{
    LoopbackClient &client = m_pilots[pilot - 1];
    client.bind(clientAddresses(3).at(pilot - 1), m_replyPort);
    client.sendRecord(ClientRecords::logonRequest(pilot, 11 * pilot, handle), m_udpPort);
    const auto reply = client.waitForDatagram(kWaitMs);
    return reply && Packet::fromDatagram(reply->bytes).PacketType() == Packet::LogonAccepted;
}

void tst_StatusPage::initTestCase()
{
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost));
    m_httpPort = probe.serverPort();
    probe.close();
    QVERIFY(m_server.writeServerIni("[General]\r\nShowScreen=0\r\nConnectPort=" + QByteArray::number(m_udpPort)
                                    + "\r\nClientConnectPort=" + QByteArray::number(m_replyPort)
                                    + "\r\nHttpPort=" + QByteArray::number(m_httpPort) + "\r\n"));
    QVERIFY(m_server.writeUserIni("[1]\r\nPwd=11\r\n[2]\r\nPwd=22\r\n[3]\r\nPwd=33\r\n"));
    QVERIFY(m_server.start() && m_server.waitUntilListening(m_udpPort, kWaitMs));
    QVERIFY(logOn(1, QStringLiteral("<b>x</b>")) && logOn(2, QStringLiteral("Bob")));
    QVERIFY(m_server.standardOutput().contains("Status page: http://127.0.0.1:" + QByteArray::number(m_httpPort) + '/'));
}

void tst_StatusPage::routes_data()
{
    QTest::addColumn<QByteArray>("method");
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<QByteArray>("head");
    QTest::addColumn<QByteArray>("shown");
    QTest::newRow("page") << QByteArray("GET") << QByteArray("/")
                          << QByteArray("200 OK\r\nContent-Type: text/html; charset=utf-8") << QByteArray("<td>&lt;b&gt;x&lt;/b&gt;</td>");
    QTest::newRow("JSON") << QByteArray("GET") << QByteArray("/status.json")
                          << QByteArray("200 OK\r\nContent-Type: application/json") << QByteArray("\"handle\":\"<b>x</b>\"");
    QTest::newRow("metrics") << QByteArray("GET") << QByteArray("/metrics?x=1")
                             << QByteArray("200 OK\r\nContent-Type: text/plain; version=0.0.4") << QByteArray("\nventoro_players 2\n");
    QTest::newRow("page's head") << QByteArray("HEAD") << QByteArray("/") << QByteArray("200 OK\r\nContent-Type: text/html") << QByteArray();
    QTest::newRow("unknown") << QByteArray("GET") << QByteArray("/index.html") << QByteArray("404 Not Found") << QByteArray("/metrics");
    QTest::newRow("POST") << QByteArray("POST") << QByteArray("/") << QByteArray("405 Method Not Allowed") << QByteArray("GET and HEAD");
}

// No answer holds an address, and only the JSON holds a handle as it came;
// a HEAD answer has the length of its GET answer and no body.
void tst_StatusPage::routes()
{
    QFETCH(QByteArray, method);
    QFETCH(QByteArray, path);
    QFETCH(QByteArray, head);
    QFETCH(QByteArray, shown);
    const QByteArray answer = get(m_httpPort, path, method);
    QVERIFY2(answer.startsWith("HTTP/1.1 " + head) && body(answer).contains(shown), answer.constData());
    QVERIFY(!answer.contains("127.0.0.") && (!answer.contains("<b>") || path == "/status.json"));
    QCOMPARE(answer.contains("\r\nAllow: GET, HEAD\r\n"), method == "POST");
    if (method == "HEAD") {
        QCOMPARE(body(answer), QByteArray());
        QVERIFY(get(m_httpPort, path).contains(answer.mid(answer.indexOf("Content-Length: ")).split('\r').first()));
    }
}

void tst_StatusPage::hostileClientsAreClosed_data()
{
    QTest::addColumn<QByteArray>("sent");
    QTest::newRow("idle") << QByteArray();
    QTest::newRow("header without end") << ("GET / HTTP/1.1\r\nX-Long: " + QByteArray(16 << 20, 'a'));
    QTest::newRow("not HTTP") << QByteArray("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11);
}

void tst_StatusPage::hostileClientsAreClosed()
{
    QFETCH(QByteArray, sent);
    const qint64 peakBefore = m_server.residentKilobytes(true);
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, m_httpPort);
    QVERIFY(socket.waitForConnected(kWaitMs));
    socket.write(sent);
    QVERIFY(socket.waitForDisconnected(kWaitMs));
    QVERIFY(!socket.readAll().contains("200 OK"));
    QCOMPARE_LT(m_server.residentKilobytes(true) - peakBefore, 8 << 10); // it never held much of it
}

// Clients that send half a request and wait hold every connection the page
// has (4): one more is turned away at once, and the relay goes on answering.
void tst_StatusPage::relayAnswersWhileClientsHoldEveryConnection()
{
    QTcpSocket holders[4];
    for (QTcpSocket &holder : holders) {
        holder.connectToHost(QHostAddress::LocalHost, m_httpPort);
        QVERIFY(holder.waitForConnected(kWaitMs) && holder.write("GET / HTTP/1.1\r\nX-Slow: ") > 0);
        QVERIFY(holder.waitForBytesWritten(kWaitMs));
    }
    QVERIFY(get(m_httpPort, "/metrics").startsWith("HTTP/1.1 503 Service Unavailable"));
    QVERIFY(logOn(3, QStringLiteral("Cid")));
    for (QTcpSocket &holder : holders)
        holder.abort();
    QTRY_VERIFY_WITH_TIMEOUT(get(m_httpPort, "/").startsWith("HTTP/1.1 200 OK"), kWaitMs);
}

// Each runs where its tool could be had; the test says which was missing.
void tst_StatusPage::browserAndPromtool()
{
    const QString chromium = QStandardPaths::findExecutable(QStringLiteral("chromium"));
    const QString promtool = QStandardPaths::findExecutable(QStringLiteral("promtool"));
    if (!chromium.isEmpty()) {
        QTemporaryDir profile;
        QProcess browser;
        browser.start(chromium, QStringLiteral("--headless --no-sandbox --disable-gpu --disable-quic --no-first-run "
                                               "--disable-background-networking --disable-component-update "
                                               "--disable-sync --dump-dom --user-data-dir=%1 http://127.0.0.1:%2/")
                                    .arg(profile.path()).arg(m_httpPort).split(u' '));
        QVERIFY(browser.waitForFinished(60000));
        const QByteArray dom = browser.readAllStandardOutput();
        QVERIFY2(dom.contains("<td>&lt;b&gt;x&lt;/b&gt;</td>") && dom.contains("<td>Bob</td>") && !dom.contains("<b>"),
                 dom.constData());
    }
    if (!promtool.isEmpty()) {
        QProcess check;
        check.start(promtool, {QStringLiteral("check"), QStringLiteral("metrics")});
        check.write(body(get(m_httpPort, "/metrics")));
        check.closeWriteChannel();
        QVERIFY(check.waitForFinished(kWaitMs));
        QVERIFY2(check.exitCode() == 0, check.readAll().constData());
    }
    if (chromium.isEmpty() || promtool.isEmpty())
        QSKIP(chromium.isEmpty() ? "Debian's chromium could not be installed: the page was not seen in a browser"
                                 : "promtool (Debian's prometheus) could not be had: the metrics were not checked");
}

// In the sanitizer build a leak in the HTTP layer would show here.
void tst_StatusPage::cleanupTestCase()
{
    QVERIFY(m_server.stop());
    QCOMPARE(m_server.exitCode(), 0);
    QCOMPARE(m_server.standardError(), QByteArray());
}

QTEST_GUILESS_MAIN(tst_StatusPage)
#include "tst_statuspage.moc"
