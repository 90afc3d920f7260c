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

QByteArray request(const QByteArray &path, const QByteArray &fields = {}, const QByteArray &method = "GET")
{
    return method + ' ' + path + " HTTP/1.1\r\nHost: localhost\r\n" + fields + "\r\n";
}

// Sends `sent` from `from` and reads until the server closes the connection.
QByteArray exchange(quint16 port, const QByteArray &sent, const QString &from = QStringLiteral("127.0.0.1"))
{
    QTcpSocket socket;
    socket.bind(QHostAddress(from));
    socket.connectToHost(QHostAddress::LocalHost, port);
    socket.waitForConnected(kWaitMs);
    socket.write(sent);
    QByteArray answer;
    while (socket.waitForReadyRead(kWaitMs))
        answer += socket.readAll();
    return answer;
}

QByteArray get(quint16 port, const QByteArray &path, const QByteArray &method = "GET")
{
    return exchange(port, request(path, "Connection: close\r\n", method));
}

// The status line and fields of each answer on one connection, in order;
// `heads` marks the answers to HEAD requests, which have no body.
QByteArrayList answerHeads(QByteArray stream, const QList<bool> &heads = {})
{
    QByteArrayList answers;
    for (qsizetype end = stream.indexOf("\r\n\r\n"); end >= 0; end = stream.indexOf("\r\n\r\n")) {
        const QByteArray head = stream.left(end);
        const qsizetype field = head.indexOf("Content-Length: ");
        const qsizetype length = field < 0 || heads.value(answers.size()) ? 0 : head.mid(field + 16).split('\r').first().toLongLong();
        answers << head;
        stream.remove(0, end + 4 + length);
    }
    return answers;
}

QByteArray body(const QByteArray &answer)
{
    return answer.mid(answer.indexOf("\r\n\r\n") + 4);
}

// Whether `text` holds only the page's summary lines, and at most one for
// each minute begun since `started`.
bool onlySummaries(const QByteArray &text, const QElapsedTimer &started)
{
    const QByteArrayList lines = text.split('\n');
    for (const QByteArray &line : lines) {
        if (!line.isEmpty() && !line.startsWith("VentoroServer: status page in the last minute: "))
            return false;
    }
    return lines.size() - 1 <= started.elapsed() / 60000 + 1;
}

} // namespace

class tst_StatusPage : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void routes_data();
    void routes();
    void pipelinedRequestsAnsweredInOrder();
    void oddRequestsGetOneAnswer_data();
    void oddRequestsGetOneAnswer();
    void pipelinedFloodLeavesStderrQuiet();
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
    QElapsedTimer m_started;
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
    m_started.start();
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

// One connection carries six requests at once; the fifth asks to close, so
// the sixth is never read.
void tst_StatusPage::pipelinedRequestsAnsweredInOrder()
{
    const QByteArray sent = request("/metrics") + request("/", {}, "HEAD") + request("/x") + request("/", {}, "DELETE")
        + request("/status.json", "Connection: close\r\n") + request("/metrics");
    const QByteArrayList answers = answerHeads(exchange(m_httpPort, sent), {false, true});
    QCOMPARE(answers.size(), 5);
    const char *expected[] = {"200 OK\r\nContent-Type: text/plain; version", "200 OK\r\nContent-Type: text/html",
                              "404 Not Found", "405 Method Not Allowed", "200 OK\r\nContent-Type: application/json"};
    for (int i = 0; i < 5; ++i)
        QVERIFY2(answers[i].startsWith(QByteArray("HTTP/1.1 ") + expected[i]), answers[i].constData());
}

void tst_StatusPage::oddRequestsGetOneAnswer_data()
{
    QTest::addColumn<QByteArray>("sent");
    QTest::addColumn<QByteArray>("answer");
    QTest::newRow("header over 8 KB") << request("/", "X: " + QByteArray(9000, 'a') + "\r\n")
                                      << QByteArray("431 Request Header Fields Too Large");
    QTest::newRow("Transfer-Encoding and Content-Length")
        << request("/", "Transfer-Encoding: chunked\r\nContent-Length: 5\r\n", "POST") + "0\r\n\r\n"
        << QByteArray("400 Bad Request");
    QTest::newRow("body hiding a request") << request("/metrics", "Content-Length: 45\r\n") + request("/status.json")
                                           << QByteArray("200 OK\r\nContent-Type: text/plain; version");
    QTest::newRow("WebSocket upgrade")
        << request("/", "Upgrade: websocket\r\nConnection: Upgrade, close\r\nSec-WebSocket-Version: 13\r\n"
                        "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n")
        << QByteArray("200 OK\r\nContent-Type: text/html");
    QTest::newRow("HTTP/1.0") << QByteArray("GET /metrics HTTP/1.0\r\n\r\n") << QByteArray("200 OK\r\nContent-Type: text/plain");
}

// Each is answered once, and the connection closed.
void tst_StatusPage::oddRequestsGetOneAnswer()
{
    QFETCH(QByteArray, sent);
    QFETCH(QByteArray, answer);
    const QByteArrayList answers = answerHeads(exchange(m_httpPort, sent));
    QCOMPARE(answers.size(), 1);
    QVERIFY2(answers[0].startsWith("HTTP/1.1 " + answer) && answers[0].contains("\r\nConnection: close"),
             answers[0].constData());
}

// Eight connections from four addresses pipeline 201 requests each: every
// one is answered, and nothing is written per request.
void tst_StatusPage::pipelinedFloodLeavesStderrQuiet()
{
    QTcpSocket clients[8];
    for (int i = 0; i < 8; ++i) {
        clients[i].bind(QHostAddress(clientAddresses(4).at(i % 4)));
        clients[i].connectToHost(QHostAddress::LocalHost, m_httpPort);
        QVERIFY(clients[i].waitForConnected(kWaitMs));
        clients[i].write(request("/status.json").repeated(200) + request("/status.json", "Connection: close\r\n"));
    }
    for (QTcpSocket &client : clients) {
        QByteArray answers;
        while (client.waitForReadyRead(kWaitMs))
            answers += client.readAll();
        QCOMPARE(answers.count("HTTP/1.1 200 OK\r\nContent-Type: application/json"), 201);
    }
    QVERIFY2(onlySummaries(m_server.standardError(), m_started), m_server.standardError().constData());
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
    QByteArray answer; // read as it comes: a reset connection keeps nothing
    while (socket.waitForReadyRead(kWaitMs))
        answer += socket.readAll();
    QCOMPARE(socket.state(), QAbstractSocket::UnconnectedState);
    QVERIFY(!answer.contains("200 OK"));
    QCOMPARE_LT(m_server.residentKilobytes(true) - peakBefore, 8 << 10); // it never held much of it
}

// Clients that send half a request and wait hold connections, at most 2
// from one address and 16 in all: one more is turned away at once, and the
// relay goes on answering.
void tst_StatusPage::relayAnswersWhileClientsHoldEveryConnection()
{
    const QStringList addresses = clientAddresses(9);
    const QByteArray busy = "HTTP/1.1 503 Service Unavailable";
    QTcpSocket holders[16];
    for (int i = 0; i < 16; ++i) {
        holders[i].bind(QHostAddress(addresses[i / 2]));
        holders[i].connectToHost(QHostAddress::LocalHost, m_httpPort);
        QVERIFY(holders[i].waitForConnected(kWaitMs) && holders[i].write("GET / HTTP/1.1\r\nX-Slow: ") > 0);
        QVERIFY(holders[i].waitForBytesWritten(kWaitMs));
        if (i == 1)
            QVERIFY(exchange(m_httpPort, request("/metrics"), addresses[0]).startsWith(busy));
    }
    QVERIFY(exchange(m_httpPort, request("/metrics"), addresses[8]).startsWith(busy));
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
    QVERIFY2(onlySummaries(m_server.standardError(), m_started), m_server.standardError().constData());
}

QTEST_GUILESS_MAIN(tst_StatusPage)
#include "tst_statuspage.moc"
