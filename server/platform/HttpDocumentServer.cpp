#include "HttpDocumentServer.h"

#include "HttpListener.h"

#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QTcpSocket>

namespace {

using Method = QHttpServerRequest::Method;
using Status = QHttpServerResponder::StatusCode;

constexpr char kPlainText[] = "text/plain; charset=utf-8";

bool asksToClose(const QHttpServerRequest &request)
{
    const auto headers = request.headers();
    for (const auto &[name, value] : headers) {
        if (name.compare("connection", Qt::CaseInsensitive) == 0 && value.trimmed().compare("close", Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

} // namespace

HttpDocumentServer::HttpDocumentServer(QObject *parent) : QAbstractHttpServer(parent) {}

HttpDocumentServer::~HttpDocumentServer() = default;

void HttpDocumentServer::addDocument(const QString &path, Source source)
{
    m_documents[path] = std::move(source);
}

bool HttpDocumentServer::listen(const QHostAddress &address, quint16 port, QString *errorText)
{
    auto *listener = new HttpListener;
    if (!listener->listen(address, port)) {
        *errorText = listener->errorString();
        delete listener;
        return false;
    }
    bind(listener); // takes it as its child
    return true;
}

bool HttpDocumentServer::handleRequest(const QHttpServerRequest &request, QTcpSocket *socket)
{
    const bool head = request.method() == Method::Head;
    const bool allowed = head || request.method() == Method::Get;
    const auto found = m_documents.find(request.url().path());
    Status status = Status::Ok;
    Document document;
    if (!allowed) {
        status = Status::MethodNotAllowed;
        document = {kPlainText, "Only GET and HEAD are answered here.\n"};
    } else if (found == m_documents.end()) {
        status = Status::NotFound;
        QByteArray paths;
        for (const auto &entry : m_documents)
            paths += ' ' + entry.first.toUtf8();
        document = {kPlainText, "Not found. There are:" + paths + '\n'};
    } else {
        document = found->second();
    }
    QHttpServerResponder responder = makeResponder(request, socket);
    responder.writeStatusLine(status);
    responder.writeHeaders({{"Content-Type", document.contentType},
                            {"Content-Length", QByteArray::number(document.body.size())},
                            {"Cache-Control", "no-store"},
                            {"X-Content-Type-Options", "nosniff"},
                            {"Content-Security-Policy", "default-src 'none'; style-src 'unsafe-inline'"}});
    if (!allowed)
        responder.writeHeader("Allow", "GET, HEAD");
    responder.writeBody(head ? QByteArray() : document.body);
    if (asksToClose(request))
        socket->disconnectFromHost();
    return true;
}

// Never called: handleRequest answers every request.
void HttpDocumentServer::missingHandler(const QHttpServerRequest &, QTcpSocket *) {}
