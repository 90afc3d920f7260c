#include "OperatorAccess.h"

#include "AccountsFileLayout.h"
#include "ArrivalQueue.h"
#include "HttpDocumentServer.h"
#include "RuntimeDirectory.h"
#include "ServerContext.h"
#include "ServiceManager.h"
#include "StatusMetrics.h"
#include "StatusPage.h"
#include "UdpEndpoint.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>

#include <unistd.h>

OperatorAccess::OperatorAccess(ServerContext &context, UdpEndpoint &endpoint, const ArrivalQueue &arrivals,
                               const QString &instanceName, OperatorCommands::Reloads reloads)
    : m_context(context), m_endpoint(endpoint), m_arrivals(arrivals), m_instanceName(instanceName),
      m_reloads(std::move(reloads)),
      m_startedAt(context.now())
{
}

OperatorAccess::~OperatorAccess() = default;

void OperatorAccess::start(const QString &path)
{
    const bool listening = m_control.listen(path, [this](const QByteArray &request, const ControlSocket::Reply &reply) {
        // The reply is a copy that outlives the connection, and so is safe
        // to keep until a reload's bans are in force.
        OperatorCommands::answer(m_context, facts(), request, m_reloads, [reply](const QByteArray &answer) { reply(answer); });
    });
    if (!listening) {
        std::fprintf(stderr,
                     "VentoroServer: no control socket (%s); ventoro status, kick, reload and ban will not reach "
                     "this server\n",
                     qPrintable(m_control.errorText()));
        std::fflush(stderr);
    }
}

void OperatorAccess::stop()
{
    m_control.close();
}

OperatorCommands::RunFacts OperatorAccess::facts() const
{
    return {m_startedAt,
            m_endpoint.localPort(),
            m_context.ClientConnectPort,
            m_endpoint.droppedDatagrams() - m_endpoint.droppedMappedSources() + m_arrivals.overflowDropped(),
            m_arrivals.oddSizedDropped(),
            m_endpoint.droppedMappedSources()};
}

void OperatorAccess::printSummary(std::FILE *out, const QString &logPath) const
{
    std::fprintf(out, "VentoroServer is running (stop it with Ctrl+C or SIGTERM).\n");
    if (m_context.ReplyToSourcePort)
        std::fprintf(out, "  Pilots send to UDP port %u here; answers go to the address and port each pilot sends from.\n",
                     unsigned(m_endpoint.localPort()));
    else
        std::fprintf(out, "  Pilots send to UDP port %u here; answers go to UDP port %u of each pilot's address.\n",
                     unsigned(m_endpoint.localPort()), unsigned(m_context.ClientConnectPort));
    if (m_context.ordinaryLinesOn())
        std::fprintf(out, "  Log: %s\n", qPrintable(logPath));
    else
        std::fprintf(out, "  Log: off (\"Debug\" is 0 in VentoroServer.ini, or log.txt could not be opened)\n");
    const QString usersIni = QFileInfo(QString::fromStdString(m_context.UsersIni.FileName())).absoluteFilePath();
    const AccountsFileLayout::Count accounts = AccountsFileLayout::countAccounts(m_context.UsersIni);
    if (accounts.status == AccountsFileLayout::FileStatus::Unreadable)
        std::fprintf(out, "  Accounts: %s cannot be read; every logon will be refused.\n", qPrintable(usersIni));
    else if (accounts.accounts == 0)
        std::fprintf(out, "  Accounts: none in %s; no pilot can log on until you add one:\n"
                          "    ventoro accounts add PILOTID PASSWORD NAME\n", qPrintable(usersIni));
    else
        std::fprintf(out, "  Accounts: %lld in %s\n", qint64(accounts.accounts), qPrintable(usersIni));
    const bool defaultInstance = m_instanceName == QLatin1String(RuntimeDirectory::DefaultInstance);
    std::fprintf(out, "  See who is on: %sventoro status\n",
                 defaultInstance ? "" : qPrintable(QStringLiteral("VENTORO_INSTANCE=%1 ").arg(m_instanceName)));
    std::fflush(out);
}

// Listens on the socket the previous run left in the service manager's
// store when it fits, else anew (and then stores that socket).
bool OperatorAccess::listenForStatus(HttpDocumentServer &server, const StartupOptions::HttpOptions &http,
                                     int storedSocket, QString *error)
{
    if (storedSocket >= 0) {
        QString why;
        if (server.adopt(storedSocket, http.address, http.port, &why))
            return true;
        std::fprintf(stderr, "VentoroServer: the status page's socket kept from the previous run is not used (%s)\n",
                     qPrintable(why));
        ::close(storedSocket);
        // The manager's copy would keep the port taken for the bind below;
        // it drops it soon after this, so a bind that loses that race fails
        // this start only.
        ServiceManager::forgetSocket("http");
    }
    const QString address = http.address.addressText();
    // "::" means every address of both families, as the relay's own socket.
    const QHostAddress host = http.address == Endpoint() ? QHostAddress(QHostAddress::Any) : QHostAddress(address);
    if (!server.listen(host, http.port, error))
        return false;
    ServiceManager::storeSocket(int(server.listener()->socketDescriptor()), "http");
    return true;
}

void OperatorAccess::startStatusPage(const StartupOptions::HttpOptions &http, std::FILE *out, int storedSocket)
{
    if (http.port == 0) {
        if (storedSocket >= 0)
            ::close(storedSocket);
        return;
    }
    using Document = HttpDocumentServer::Document;
    auto server = std::make_unique<HttpDocumentServer>();
    const auto publicStatus = [this] { return OperatorCommands::status(m_context, facts(), OperatorCommands::Audience::Public); };
    server->addDocument(QStringLiteral("/"), [publicStatus] {
        return Document{"text/html; charset=utf-8", StatusPage::html(publicStatus())};
    });
    server->addDocument(QStringLiteral("/status.json"), [publicStatus] {
        return Document{"application/json", QJsonDocument(publicStatus()).toJson(QJsonDocument::Compact) + '\n'};
    });
    server->addDocument(QStringLiteral("/metrics"), [publicStatus] {
        return Document{StatusMetrics::ContentType, StatusMetrics::exposition(publicStatus())};
    });
    server->setReport([](const QByteArray &line) {
        std::fprintf(stderr, "%s\n", line.constData());
        std::fflush(stderr);
    });
    QString error;
    const QString address = http.address.addressText();
    if (!listenForStatus(*server, http, storedSocket, &error)) {
        std::fprintf(stderr, "VentoroServer: no HTTP status page on %s port %u (%s); the server runs on without it\n",
                     qPrintable(address), unsigned(http.port), qPrintable(error));
        std::fflush(stderr);
        return;
    }
    m_http = std::move(server);
    const QString url = http.address.isIpv4() ? address : QLatin1Char('[') + address + QLatin1Char(']');
    std::fprintf(out, "  Status page: http://%s:%u/ (and /status.json, /metrics)\n", qPrintable(url),
                 unsigned(http.port));
    std::fflush(out);
}
