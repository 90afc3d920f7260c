#pragma once

#include <QAbstractHttpServer>
#include <QByteArray>
#include <QHostAddress>
#include <QString>

#include <functional>
#include <map>

// A small read-only HTTP server: GET and HEAD of a fixed set of paths, each
// answered with a document made when it is asked for. Any other path is
// "404 Not Found", any other method "405 Method Not Allowed" (with the
// Allow header). A HEAD answer has the headers of the GET answer and no
// body. Every answer tells caches not to keep it and forbids scripts and
// outside resources; a request with "Connection: close" is closed once it
// is answered.
//
// It listens through an HttpListener, whose limits on connections, request
// size and time hold for every client. Runs on the thread that makes it;
// the document sources are called there, one request at a time.
class HttpDocumentServer : public QAbstractHttpServer
{
    Q_OBJECT

public:
    struct Document {
        QByteArray contentType;
        QByteArray body;
    };
    using Source = std::function<Document()>;

    explicit HttpDocumentServer(QObject *parent = nullptr);
    ~HttpDocumentServer() override;

    // `path` as the request names it, e.g. "/metrics"; a query is ignored.
    void addDocument(const QString &path, Source source);

    // Listens on address:port through an HttpListener. False, with the
    // system's reason in errorText, when it cannot.
    bool listen(const QHostAddress &address, quint16 port, QString *errorText);

protected:
    bool handleRequest(const QHttpServerRequest &request, QTcpSocket *socket) override;
    void missingHandler(const QHttpServerRequest &request, QTcpSocket *socket) override;

private:
    std::map<QString, Source> m_documents;
};
