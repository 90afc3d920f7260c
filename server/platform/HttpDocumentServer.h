#pragma once

#include "HttpConnection.h"
#include "HttpListener.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <functional>
#include <map>

// A small read-only HTTP/1.1 server: GET and HEAD of a fixed set of paths.
// Any other path is "404 Not Found", any other method "405 Method Not
// Allowed" (with the Allow header). A HEAD answer has the headers of the
// GET answer and no body. Every answer tells caches not to keep it and
// forbids scripts and outside resources; a request with "Connection: close"
// (or HTTP/1.0 without "keep-alive") is closed once it is answered, and one
// the reader refuses is answered with its status and closed.
//
// Each document is made at most once every MaxDocumentAgeMs and served from
// that copy in between, so clients, however many and fast, cost the relay
// the making of a few documents a second and the copying of bytes.
//
// It listens through an HttpListener, whose limits hold for every client.
// Nothing is written per request: what the listener refused is handed to
// the report function, as one line, at most once every ReportIntervalMs.
// Runs on the thread that makes it. A document source may run the event
// loop; if this server is deleted meanwhile, the request's answer is
// dropped and nothing of the server is touched again.
class HttpDocumentServer : public QObject
{
    Q_OBJECT

public:
    static constexpr qint64 MaxDocumentAgeMs = 1000;
    static constexpr int ReportIntervalMs = 60000;

    struct Document {
        QByteArray contentType;
        QByteArray body;
    };
    using Source = std::function<Document()>;
    using Report = std::function<void(const QByteArray &line)>;

    explicit HttpDocumentServer(QObject *parent = nullptr);
    ~HttpDocumentServer() override;

    // `path` as the request names it, e.g. "/metrics"; a query is ignored.
    void addDocument(const QString &path, Source source);
    // Where the minute's summary of refusals goes; none by default.
    void setReport(Report report) { m_report = std::move(report); }

    // Listens on address:port through an HttpListener. False, with the
    // system's reason in errorText, when it cannot.
    bool listen(const QHostAddress &address, quint16 port, QString *errorText);
    // Listens on a socket an earlier run listened on (the service manager
    // kept it across the restart), when it is a listening TCP socket bound
    // to `address` (the unspecified address for every one) and `port`.
    // False, with the reason in `why` and `fd` left to the caller,
    // otherwise; true, and the listener owns `fd`, when taken.
    bool adopt(int fd, const Endpoint &address, quint16 port, QString *why);
    // The listener, while listening.
    HttpListener *listener() const { return m_listener; }

    // The answer to one request, as it goes on the wire; an empty head when
    // this server was deleted while a document was being made.
    HttpAnswer answer(const HttpRequest &request);

private:
    struct Entry {
        Source source;
        Document copy;
        qint64 madeAtMs = -1;
    };

    std::optional<Document> current(Entry &entry);
    void reportRefusals();

    std::map<QByteArray, Entry> m_documents;
    QElapsedTimer m_clock;
    QPointer<HttpListener> m_listener;
    Report m_report;
    QTimer m_reportTimer;
};
