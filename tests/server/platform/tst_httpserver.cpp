// The status page's HTTP server in this process on loopback: how requests
// are read, how connections take turns, how often a document is made under
// a flood, and what happens when the server or a client goes mid-request.
#include "HttpDocumentServer.h"

#include <QTcpSocket>
#include <QtTest>

#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>

namespace {

constexpr int kWaitMs = 10000;
using Document = HttpDocumentServer::Document;

QByteArray request(const QByteArray &path, const QByteArray &fields = {})
{
    return "GET " + path + " HTTP/1.1\r\nHost: h\r\n" + fields + "\r\n";
}

// Fed in pieces of `step` bytes, as a connection would feed it.
std::optional<HttpRequest> read(const QByteArray &sent, qsizetype step)
{
    HttpRequestReader reader;
    std::optional<HttpRequest> request;
    for (qsizetype at = 0; !request && at < sent.size();) {
        const qsizetype piece = std::min({step, reader.room(), sent.size() - at});
        reader.append(QByteArrayView(sent).sliced(at, piece));
        at += piece;
        request = reader.take();
    }
    return request;
}

} // namespace

class tst_HttpServer : public QObject
{
    Q_OBJECT

private slots:
    void readRequest_data();
    void readRequest();
    void pipelinedRequestsTakeTurns();
    void documentMadeOncePerSecond();
    void deletedMidRequest_data();
    void deletedMidRequest();
};

void tst_HttpServer::readRequest_data()
{
    QTest::addColumn<QByteArray>("sent");
    QTest::addColumn<int>("refusal");
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<bool>("keepAlive");
    const QByteArray big(8200, 'a');
    const QByteArray exact = request("/", "X: " + QByteArray(8192 - request("/").size() - 5, 'a') + "\r\n");
    QTest::newRow("query") << request("/metrics?x=1") << 0 << QByteArray("/metrics") << true;
    QTest::newRow("LF alone, empty lines first") << QByteArray("\r\n\nHEAD / HTTP/1.1\nHost: h\n\n") << 0 << QByteArray("/") << true;
    QTest::newRow("absolute form") << request("http://h:1/status.json#f") << 0 << QByteArray("/status.json") << true;
    QTest::newRow("percent-encoded") << request("/status%2Ejson") << 0 << QByteArray("/status.json") << true;
    QTest::newRow("HTTP/1.0") << QByteArray("GET / HTTP/1.0\r\n\r\n") << 0 << QByteArray("/") << false;
    QTest::newRow("HTTP/1.0 keep-alive") << QByteArray("GET / HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n") << 0 << QByteArray("/") << true;
    QTest::newRow("close") << request("/", "Connection: x, close\r\n") << 0 << QByteArray("/") << false;
    QTest::newRow("body") << request("/", "Content-Length: 3\r\n") + "abc" << 0 << QByteArray("/") << false;
    QTest::newRow("chunked body") << request("/", "Transfer-Encoding: chunked\r\n") + "0\r\n\r\n" << 0 << QByteArray("/") << false;
    QTest::newRow("head of 8 KB") << exact << 0 << QByteArray("/") << true;
    QTest::newRow("head over 8 KB") << request("/", "X: " + big + "\r\n") << 431 << QByteArray() << false;
    QTest::newRow("65 fields") << request("/", QByteArray("X: y\r\n").repeated(64)) << 431 << QByteArray() << false;
    QTest::newRow("target over 8 KB") << request("/" + big) << 414 << QByteArray() << false;
    QTest::newRow("Transfer-Encoding and Content-Length")
        << request("/", "Transfer-Encoding: chunked\r\nContent-Length: 5\r\n") + "0\r\n\r\n" << 400 << QByteArray() << false;
    QTest::newRow("lengths differ") << request("/", "Content-Length: 3\r\nContent-Length: 4\r\n") << 400 << QByteArray() << false;
    QTest::newRow("signed length") << request("/", "Content-Length: +3\r\n") << 400 << QByteArray() << false;
    QTest::newRow("space before colon") << QByteArray("GET / HTTP/1.1\r\nHost : h\r\n\r\n") << 400 << QByteArray() << false;
    QTest::newRow("folded line") << request("/", " folded\r\n") << 400 << QByteArray() << false;
    QTest::newRow("bare CR") << request("/", "X: a\rb\r\n") << 400 << QByteArray() << false;
    QTest::newRow("control in value") << request("/", QByteArray("X: a\0b\r\n", 8)) << 400 << QByteArray() << false;
    QTest::newRow("two Hosts") << request("/", "Host: i\r\n") << 400 << QByteArray() << false;
    QTest::newRow("no Host") << QByteArray("GET / HTTP/1.1\r\n\r\n") << 400 << QByteArray() << false;
    QTest::newRow("not a path") << request("index.html") << 400 << QByteArray() << false;
    QTest::newRow("no version") << QByteArray("GET /\r\n\r\n") << 400 << QByteArray() << false;
    QTest::newRow("HTTP/2.0") << QByteArray("GET / HTTP/2.0\r\nHost: h\r\n\r\n") << 505 << QByteArray() << false;
}

// Byte by byte and in the largest pieces the reader takes, alike.
void tst_HttpServer::readRequest()
{
    QFETCH(QByteArray, sent);
    QFETCH(int, refusal);
    QFETCH(QByteArray, path);
    QFETCH(bool, keepAlive);
    for (const qsizetype step : {qsizetype(1), HttpRequestReader::MaxHeadBytes}) {
        const std::optional<HttpRequest> request = read(sent, step);
        QVERIFY(request);
        QCOMPARE(request->refusal, refusal);
        QCOMPARE(request->keepAlive, keepAlive);
        if (refusal == 0)
            QCOMPARE(request->path, path);
    }
}

// Two clients pipeline four requests each before the server looks: they
// take turns (a client may have had a turn before the other was accepted),
// each client's in order.
void tst_HttpServer::pipelinedRequestsTakeTurns()
{
    HttpDocumentServer server;
    QByteArrayList made;
    for (const QByteArray path : {"/a1", "/a2", "/a3", "/a4", "/b1", "/b2", "/b3", "/b4"})
        server.addDocument(path, [&made, path] {
            made << path;
            return Document {"text/plain", path};
        });
    QString error;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0, &error));
    QTcpSocket clients[2];
    for (int c = 0; c < 2; ++c) {
        clients[c].connectToHost(QHostAddress::LocalHost, server.listener()->serverPort());
        const QByteArray name = c ? "/b" : "/a";
        QVERIFY(clients[c].waitForConnected(kWaitMs));
        clients[c].write(request(name + '1') + request(name + '2') + request(name + '3') + request(name + '4'));
        QVERIFY(clients[c].waitForBytesWritten(kWaitMs));
    }
    QTRY_COMPARE_WITH_TIMEOUT(made.size(), 8, kWaitMs);
    QByteArray turns, a, b;
    for (const QByteArray &path : made) {
        turns += path[1];
        (path[1] == 'a' ? a : b) += path[2];
    }
    QVERIFY2(a == "1234" && b == "1234" && !turns.contains("aaa") && !turns.contains("bbb"), made.join(' ').constData());
}

// Two clients pipelining 300 requests each, from a thread of their own.
void tst_HttpServer::documentMadeOncePerSecond()
{
    HttpDocumentServer server;
    int made = 0;
    server.addDocument(QStringLiteral("/d"), [&made] {
        ++made;
        return Document {"text/plain", QByteArray(2000, 'x')};
    });
    QString error;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0, &error));
    const quint16 port = server.listener()->serverPort();
    std::atomic<int> answered {0};
    QElapsedTimer elapsed;
    elapsed.start();
    std::thread flood([&answered, port] {
        QTcpSocket clients[2];
        for (QTcpSocket &client : clients) {
            client.connectToHost(QHostAddress::LocalHost, port);
            client.waitForConnected(kWaitMs);
            client.write(request("/d").repeated(300));
        }
        for (QTcpSocket &client : clients) {
            QByteArray answers;
            while (answers.count("HTTP/1.1 200 OK") < 300 && client.waitForReadyRead(kWaitMs))
                answers += client.readAll();
            answered += int(answers.count("HTTP/1.1 200 OK"));
        }
    });
    QTRY_COMPARE_WITH_TIMEOUT(answered.load(), 600, 3 * kWaitMs);
    flood.join();
    QVERIFY2(made >= 1 && made <= elapsed.elapsed() / 1000 + 1, qPrintable(QString::number(made)));
}

void tst_HttpServer::deletedMidRequest_data()
{
    QTest::addColumn<int>("step");
    QTest::newRow("server deleted by its document") << 0;
    QTest::newRow("client and connection gone while the document is made") << 1;
    QTest::newRow("server deleted holding half a request") << 2;
}

// The document runs the event loop, as a handler's send does, and what
// serves the request is deleted meanwhile.
void tst_HttpServer::deletedMidRequest()
{
    QFETCH(int, step);
    auto server = std::make_unique<HttpDocumentServer>();
    QTcpSocket client;
    server->addDocument(QStringLiteral("/"), [&] {
        if (step == 1)
            client.abort();
        QCoreApplication::processEvents();
        if (step == 0)
            server.reset();
        else
            delete server->listener()->findChild<HttpConnection *>();
        return Document {"text/plain", "late"};
    });
    QString error;
    QVERIFY(server->listen(QHostAddress::LocalHost, 0, &error));
    client.connectToHost(QHostAddress::LocalHost, server->listener()->serverPort());
    QVERIFY(client.waitForConnected(kWaitMs));
    client.write(step == 2 ? QByteArray("GET / HTTP/1.1\r\nHo") : request("/"));
    if (step == 2) {
        QTRY_COMPARE_WITH_TIMEOUT(server->listener()->connections(), 1, kWaitMs);
        QTest::qWait(100);
        server.reset();
    }
    QTRY_COMPARE_WITH_TIMEOUT(client.state(), QAbstractSocket::UnconnectedState, kWaitMs);
    QVERIFY(step == 1 || !client.readAll().contains("late"));
    QTest::qWait(100);
    QCOMPARE(server ? server->listener()->connections() : 0, 0); // the slot is free again
}

QTEST_GUILESS_MAIN(tst_HttpServer)
#include "tst_httpserver.moc"
