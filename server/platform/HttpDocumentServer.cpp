#include "HttpDocumentServer.h"

#include "SocketAddress.h"

#include <fcntl.h>
#include <sys/socket.h>

namespace {

constexpr char kPlainText[] = "text/plain; charset=utf-8";
constexpr int Ok = 200;
constexpr int NotFound = 404;
constexpr int MethodNotAllowed = 405;

QByteArray reasonOf(int status)
{
    switch (status) {
    case Ok:
        return "OK";
    case 400:
        return "Bad Request";
    case NotFound:
        return "Not Found";
    case MethodNotAllowed:
        return "Method Not Allowed";
    case 414:
        return "URI Too Long";
    case 431:
        return "Request Header Fields Too Large";
    case 505:
        return "HTTP Version Not Supported";
    }
    return "Error";
}

QByteArray refusalText(int status)
{
    switch (status) {
    case 414:
        return "The request's target is too long.\n";
    case 431:
        return "The request's header is too large.\n";
    case 505:
        return "Only HTTP/1.1 and HTTP/1.0 are answered here.\n";
    }
    return "The request could not be read.\n";
}

HttpAnswer format(int status, const HttpDocumentServer::Document &document, bool head, bool close)
{
    QByteArray text = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reasonOf(status) + "\r\nContent-Type: "
        + document.contentType + "\r\nContent-Length: " + QByteArray::number(document.body.size())
        + "\r\nCache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\n"
          "Content-Security-Policy: default-src 'none'; style-src 'unsafe-inline'\r\n";
    if (status == MethodNotAllowed)
        text += "Allow: GET, HEAD\r\n";
    if (close)
        text += "Connection: close\r\n";
    text += "\r\n";
    return {text, head ? QByteArray() : document.body};
}

} // namespace

HttpDocumentServer::HttpDocumentServer(QObject *parent) : QObject(parent)
{
    m_clock.start();
    m_reportTimer.setInterval(ReportIntervalMs);
    connect(&m_reportTimer, &QTimer::timeout, this, &HttpDocumentServer::reportRefusals);
}

HttpDocumentServer::~HttpDocumentServer() = default;

void HttpDocumentServer::addDocument(const QString &path, Source source)
{
    m_documents[path.toUtf8()] = Entry {std::move(source), {}, -1};
}

bool HttpDocumentServer::listen(const QHostAddress &address, quint16 port, QString *errorText)
{
    auto *listener = new HttpListener([this](const HttpRequest &request) { return answer(request); }, this);
    if (!listener->listen(address, port)) {
        *errorText = listener->errorString();
        delete listener;
        return false;
    }
    m_listener = listener;
    m_reportTimer.start();
    return true;
}

bool HttpDocumentServer::adopt(int fd, const Endpoint &address, quint16 port, QString *why)
{
    int type = 0;
    int listening = 0;
    socklen_t length = sizeof type;
    const bool stream = ::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) == 0 && type == SOCK_STREAM;
    length = sizeof listening;
    if (!stream || ::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &length) != 0 || !listening) {
        *why = QStringLiteral("it is no listening TCP socket");
        return false;
    }
    sockaddr_in6 local {};
    length = sizeof local;
    const std::optional<Endpoint> bound = ::getsockname(fd, reinterpret_cast<sockaddr *>(&local), &length) == 0
        ? SocketAddress::toEndpoint(reinterpret_cast<const sockaddr *>(&local), length)
        : std::nullopt;
    if (!bound || *bound != address.withPort(port)) {
        *why = QStringLiteral("it is bound to another address or port");
        return false;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0 || ::fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) {
        *why = QStringLiteral("it cannot be made non-blocking");
        return false;
    }
    auto *listener = new HttpListener([this](const HttpRequest &request) { return answer(request); }, this);
    if (!listener->setSocketDescriptor(fd)) {
        *why = listener->errorString();
        delete listener;
        return false;
    }
    m_listener = listener;
    m_reportTimer.start();
    return true;
}

HttpAnswer HttpDocumentServer::answer(const HttpRequest &request)
{
    const bool close = !request.keepAlive;
    if (request.refusal != 0)
        return format(request.refusal, {kPlainText, refusalText(request.refusal)}, false, true);
    const bool head = request.method == "HEAD";
    if (!head && request.method != "GET")
        return format(MethodNotAllowed, {kPlainText, "Only GET and HEAD are answered here.\n"}, false, close);
    const auto found = m_documents.find(request.path);
    if (found == m_documents.end()) {
        QByteArray paths;
        for (const auto &entry : m_documents)
            paths += ' ' + entry.first;
        return format(NotFound, {kPlainText, "Not found. There are:" + paths + '\n'}, head, close);
    }
    const std::optional<Document> document = current(found->second);
    if (!document)
        return {}; // this server is gone
    return format(Ok, *document, head, close);
}

std::optional<HttpDocumentServer::Document> HttpDocumentServer::current(Entry &entry)
{
    if (entry.madeAtMs >= 0 && m_clock.elapsed() - entry.madeAtMs < MaxDocumentAgeMs)
        return entry.copy;
    const QPointer<HttpDocumentServer> alive(this);
    const Source source = entry.source; // the entry goes with this server
    Document made = source();
    if (!alive)
        return std::nullopt;
    entry.copy = made;
    entry.madeAtMs = m_clock.elapsed();
    return made;
}

void HttpDocumentServer::reportRefusals()
{
    if (!m_listener || !m_report)
        return;
    HttpRefusals &refusals = m_listener->refusals();
    if (refusals.turnedAway == 0 && refusals.malformed == 0 && refusals.unread == 0)
        return;
    m_report("VentoroServer: status page in the last minute: " + QByteArray::number(refusals.turnedAway)
             + " connections turned away (every slot or the client's " + QByteArray::number(HttpListener::MaxConnectionsPerClient)
             + " taken), " + QByteArray::number(refusals.malformed) + " malformed requests refused, "
             + QByteArray::number(refusals.unread) + " connections closed with answers left unread");
    refusals = {};
}
