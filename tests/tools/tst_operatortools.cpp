// The quick start from an install into a temporary prefix: the installed
// server started headless, an account added and a pilot probed with the
// installed ventoro, the status read, the pilot kicked, and a stranger
// refused at the control socket; pilots behind one address answered at
// their own ports, and a probe over IPv6; then the command line's answers
// to wrong or unanswered requests, two command lines changing the accounts
// at once, bans, the pilot limit and a reload seen by probes, and the
// service unit's verification.
#include "AccountsLock.h"
#include "CoreHarness.h"
#include "FreePort.h"
#include "LoopbackClient.h"
#include "Records.h"
#include "RuntimeDirectory.h"
#include "ServerProcess.h"
#include "StatusText.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QUdpSocket>
#include <QtTest>

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <tuple>
#include <unistd.h>

namespace {

constexpr int kWaitMs = 20000;

struct Run {
    int exitCode = -1;
    QString out;
    QString err;
};

Run run(const QString &program, const QStringList &arguments, const QString &instance = {})
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("VENTORO_INSTANCE"), instance.isEmpty() ? QStringLiteral("no-such-server") : instance);
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
    if (!process.waitForFinished(kWaitMs))
        process.kill();
    process.waitForFinished();
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            QString::fromUtf8(process.readAllStandardOutput()), QString::fromUtf8(process.readAllStandardError())};
}

// The control socket a client would find for `instance`.
QString controlSocketOf(const QString &instance)
{
    for (const QString &directory : RuntimeDirectory::clientCandidates()) {
        const QString path = RuntimeDirectory::controlPath(directory, instance);
        if (QFile::exists(path))
            return path;
    }
    return QString();
}

// A local user (nobody) who tries to take a server's names before it
// starts: the abstract socket names servers used to go by, the files in the
// runtime directory, and a control socket of its own where root's client
// might look. It answers every connection with a made-up status and writes
// one byte per connection to a pipe the test reads.
class Squatter
{
public:
    explicit Squatter(const QString &instance)
    {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
            return;
        const QByteArray name = instance.toUtf8();
        m_pid = ::fork();
        if (m_pid == 0) {
            ::close(fds[0]);
            squat(name, fds[1]);
        }
        ::close(fds[1]);
        m_connections = fds[0];
    }
    ~Squatter()
    {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
        if (m_connections >= 0)
            ::close(m_connections);
        QDir(QStringLiteral("/tmp/ventoro-0")).removeRecursively();
    }
    bool started() const { return m_pid > 0; }
    int connectionsTaken() const
    {
        char bytes[64];
        const ssize_t read = ::read(m_connections, bytes, sizeof bytes);
        return read > 0 ? int(read) : 0;
    }

private:
    static int listenAt(const char *path, size_t length)
    {
        sockaddr_un address {};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, path, qMin(length, sizeof address.sun_path - 1));
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        if (::bind(fd, reinterpret_cast<sockaddr *>(&address), socklen_t(offsetof(sockaddr_un, sun_path) + length)) != 0
            || ::listen(fd, 8) != 0) {
            ::close(fd);
            return -1;
        }
        return fd;
    }

    // Runs in the child as nobody; plain system calls only.
    [[noreturn]] static void squat(const QByteArray &instance, int report)
    {
        if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(1);
        std::vector<int> listeners;
        for (const QByteArray &suffix : {QByteArray(), QByteArray(".control")}) {
            const QByteArray abstract = '\0' + instance + suffix;
            listeners.push_back(listenAt(abstract.constData(), size_t(abstract.size())));
        }
        for (const char *suffix : {".lock", ".control"}) {
            const QByteArray path = "/run/ventoro/" + instance + suffix;
            ::close(::open(path.constData(), O_CREAT | O_WRONLY, 0666));
        }
        ::mkdir("/tmp/ventoro-0", 0755);
        const QByteArray trap = "/tmp/ventoro-0/" + instance + ".control";
        listeners.push_back(listenAt(trap.constData(), size_t(trap.size())));
        std::vector<pollfd> polls;
        for (int fd : listeners) {
            if (fd >= 0)
                polls.push_back({fd, POLLIN, 0});
        }
        for (;;) {
            if (::poll(polls.data(), polls.size(), 60000) <= 0)
                ::_exit(0);
            for (pollfd &p : polls) {
                if (!(p.revents & POLLIN))
                    continue;
                const int peer = ::accept(p.fd, nullptr, nullptr);
                const char fake[] = "{\"ok\":true,\"message\":\"FAKE\",\"players\":[{\"handle\":\"FAKE\"}]}\n";
                [[maybe_unused]] const ssize_t sent = ::write(peer, fake, sizeof fake - 1);
                [[maybe_unused]] const ssize_t told = ::write(report, "c", 1);
                ::close(peer);
            }
        }
    }

    pid_t m_pid = -1;
    int m_connections = -1;
};

QJsonArray players(const QString &ventoro, const QString &instance)
{
    return QJsonDocument::fromJson(run(ventoro, {QStringLiteral("status"), QStringLiteral("--json")}, instance).out.toUtf8())
        .object().value(QLatin1String("players")).toArray();
}

} // namespace

class tst_OperatorTools : public QObject
{
    Q_OBJECT

private slots:
    void quickStartFromAnInstall();
    void pilotsAnsweredAtTheirSourcePorts();
    void commandLineAnswers_data();
    void commandLineAnswers();
    void twoWritersKeepEveryAccount();
    void bansLimitAndReloadFromOutside();
    void serviceUnitVerifies();
    void statusColumnsFitWhatTheyShow();
    void squatterTakesNoName();
    void bansFileWrittenOnlyInItsPlace();
};

void tst_OperatorTools::quickStartFromAnInstall()
{
    QTemporaryDir prefix;
    QTemporaryDir state;
    QTemporaryDir settingsDir;
    const QString install = QStringLiteral(VENTORO_CMAKE);
    const QStringList installArguments{QStringLiteral("--install"), QStringLiteral(VENTORO_BUILD_DIR),
                                       QStringLiteral("--prefix"), prefix.path()};
    QCOMPARE(run(install, installArguments).exitCode, 0);
    const QString ventoro = prefix.filePath(QStringLiteral("bin/ventoro"));
    for (const char *file : {"bin/VentoroServer", "bin/VentoroConfig", "share/man/man1/ventoro.1",
                             "share/applications/ventoro-config.desktop", "share/icons/hicolor/48x48/apps/ventoro.png",
                             "share/bash-completion/completions/ventoro"})
        QVERIFY2(QFile::exists(prefix.filePath(QLatin1String(file))), file);

    // The installed programs, told where their settings are.
    const quint16 port = freeUdpPort(QStringLiteral("0.0.0.0"));
    const quint16 replyPort = freeUdpPort(clientAddresses(2));
    QFile ini(settingsDir.filePath(QStringLiteral("VentoroServer.ini")));
    const QByteArray settings = "[General]\r\nConnectPort=" + QByteArray::number(port) + "\r\nClientConnectPort="
        + QByteArray::number(replyPort) + "\r\nShowScreen=0\r\n";
    QVERIFY(ini.open(QIODevice::WriteOnly | QIODevice::Truncate) && ini.write(settings) == settings.size());
    ini.close();
    const QStringList at{QStringLiteral("--settings-dir"), settingsDir.path()};
    QCOMPARE(run(ventoro, QStringList{QStringLiteral("accounts"), QStringLiteral("add"), QStringLiteral("1234"),
                                      QStringLiteral("0567890"), QStringLiteral("Ann")} + at).exitCode, 0);
    QCOMPARE(run(ventoro, QStringList{QStringLiteral("accounts"), QStringLiteral("add"), QStringLiteral("2"),
                                      QStringLiteral("22"), QStringLiteral("Bob")} + at).exitCode, 0);
    QVERIFY(run(ventoro, QStringList{QStringLiteral("accounts"), QStringLiteral("list")} + at)
                .out.contains(QStringLiteral("Ann ID:1234")));

    // The installed server, headless, in a state directory of its own.
    const QString instance = QStringLiteral("ventoro-tools-test-%1").arg(QCoreApplication::applicationPid());
    QProcess server;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.insert(QStringLiteral("VENTORO_INSTANCE"), instance);
    environment.remove(QStringLiteral("XDG_RUNTIME_DIR"));
    server.setProcessEnvironment(environment);
    server.setWorkingDirectory(prefix.path());
    server.start(prefix.filePath(QStringLiteral("bin/VentoroServer")), at + QStringList{QStringLiteral("--log-dir"), state.path()});
    QString console;
    QTRY_VERIFY_WITH_TIMEOUT((console += QString::fromUtf8(server.readAllStandardOutput())).contains(QStringLiteral("ventoro status")), kWaitMs);
    QVERIFY2(console.contains(QStringLiteral("Accounts: 2 in ")) && console.contains(state.filePath(QStringLiteral("log.txt"))), qPrintable(console));
    QCOMPARE(server.readAllStandardError(), QByteArray());

    LoopbackClient bob;
    QVERIFY(bob.bind(QStringLiteral("127.0.0.3"), replyPort));
    QVERIFY(bob.sendRecord(ClientRecords::logonRequest(2, 22, QStringLiteral("Bob")), port));
    QVERIFY(bob.waitForDatagram(kWaitMs));

    const Run probe = run(ventoro, {QStringLiteral("probe"), QStringLiteral("127.0.0.1"), QStringLiteral("--port"),
                                    QString::number(port), QStringLiteral("--reply-port"), QString::number(replyPort),
                                    QStringLiteral("--bind"), QStringLiteral("127.0.0.2"), QStringLiteral("--id"),
                                    QStringLiteral("1234"), QStringLiteral("--password"), QStringLiteral("567890"),
                                    QStringLiteral("--handle"), QStringLiteral("Ann")}, instance);
    QCOMPARE(probe.exitCode, 0);
    QVERIFY2(probe.out.contains(QStringLiteral("Message of the day: Ventoro server run by Brisalt Ltd"))
                 && probe.out.contains(QStringLiteral("Player on the server: Bob (server ID 1)")), qPrintable(probe.out));
    QVERIFY(run(ventoro, {QStringLiteral("status")}, instance).out.contains(QStringLiteral("Ann")));
    const QJsonArray before = players(ventoro, instance);
    QCOMPARE(before.size(), 2);
    const QJsonObject ann = before.at(1).toObject();
    QCOMPARE(ann.value(QLatin1String("address")).toString(), QStringLiteral("127.0.0.2"));
    const qint32 annId = ann.value(QLatin1String("serverId")).toInt();
    QVERIFY(bob.waitForDatagram(kWaitMs)); // PlayerAdded: Ann

    QCOMPARE(run(ventoro, {QStringLiteral("kick"), QString::number(annId)}, instance).exitCode, 0);
    const auto removed = bob.waitForDatagram(kWaitMs);
    QVERIFY(removed);
    QCOMPARE(Packet::fromDatagram(removed->bytes), Packet::fromDatagram(Golden::playerNotice(Packet::PlayerRemoved, annId, QStringLiteral("Ann"))));
    QCOMPARE(players(ventoro, instance).size(), 1);
    QFile log(state.filePath(QStringLiteral("log.txt")));
    QVERIFY(log.open(QIODevice::ReadOnly) && log.readAll().contains(" - Operator removed player Ann 127.0.0.2\r\n"));

    const QString setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
    if (::geteuid() == 0 && !setpriv.isEmpty()) {
        QFile::setPermissions(prefix.path(), QFile::permissions(prefix.path()) | QFile::ExeOther | QFile::ReadOther);
        const Run stranger = run(setpriv, {QStringLiteral("--reuid=nobody"), QStringLiteral("--regid=nogroup"),
                                           QStringLiteral("--clear-groups"), ventoro, QStringLiteral("kick"), QStringLiteral("1")}, instance);
        QCOMPARE(stranger.exitCode, 1);
        QVERIFY2(stranger.err.contains(QStringLiteral("refused: user 65534 may not control this server")), qPrintable(stranger.err));
        QCOMPARE(players(ventoro, instance).size(), 1);
    } else {
        qInfo("Not root, or no setpriv: the refusal of another user is not tried");
    }
    // A handle that would drive the terminal reaches it printable, and the
    // JSON of a handle with a lone surrogate stays strict.
    LoopbackClient eve;
    QVERIFY(eve.bind(QStringLiteral("127.0.0.4"), replyPort));
    const QString hostile = QStringLiteral("\u001B]0;owned\u0007") + QChar(0xD800);
    QVERIFY(eve.sendRecord(ClientRecords::logonRequest(2, 22, hostile), port));
    const auto eveAccepted = eve.waitForDatagram(kWaitMs);
    QVERIFY(eveAccepted);
    const Run json = run(ventoro, {QStringLiteral("status"), QStringLiteral("--json")}, instance);
    QVERIFY2(!json.out.contains(QStringLiteral("\\ud800")) && json.out.contains(QChar(0xFFFD)), qPrintable(json.out));
    const Run kicked = run(ventoro, {QStringLiteral("kick"), QString::number(Packet::fromDatagram(eveAccepted->bytes).int32At(Packet::PlayerIDAt))}, instance);
    QVERIFY2(kicked.exitCode == 0 && kicked.out.contains(QStringLiteral("removed ?]0;owned?")), qPrintable(kicked.out));

    // A peer that says nothing holds nobody up; one that says too much is
    // turned away, even when what it says would make sense cut short.
    QLocalSocket silent, talkative, endless;
    for (QLocalSocket *peer : {&silent, &talkative, &endless}) {
        peer->connectToServer(controlSocketOf(instance));
        QVERIFY(peer->waitForConnected(kWaitMs));
    }
    QCOMPARE(players(ventoro, instance).size(), 1);
    for (auto [peer, request] : {std::pair{&talkative, "status" + QByteArray(300, ' ') + '\n'},
                                 std::pair{&endless, QByteArray(300, 's')}}) {
        QByteArray answer;
        peer->write(request);
        QTRY_VERIFY_WITH_TIMEOUT((answer += peer->readAll()).contains('\n'), kWaitMs);
        QVERIFY2(answer.contains("request too long"), answer.constData());
    }

    server.terminate();
    QVERIFY(server.waitForFinished(kWaitMs));
    QCOMPARE(server.exitCode(), 0);
}

// With ReplyToSourcePort=1 two pilots on one address, each with its own
// port, are two players: both accepted, both listed by their endpoints,
// each told of the other and relayed to at its own port. A probe over ::1
// logs on beside them.
void tst_OperatorTools::pilotsAnsweredAtTheirSourcePorts()
{
    const quint16 port = freeUdpPort(QStringLiteral("0.0.0.0"));
    ServerProcess server(QStringLiteral(VENTORO_SERVER_BINARY));
    const QString instance = server.environment().value(QStringLiteral("VENTORO_INSTANCE"));
    QVERIFY(server.writeServerIni("[General]\r\nConnectPort=" + QByteArray::number(port)
                                  + "\r\nShowScreen=0\r\nReplyToSourcePort=1\r\n"));
    QVERIFY(server.writeUserIni("[1]\r\nPwd=11\r\n[2]\r\nPwd=22\r\n[3]\r\nPwd=33\r\n"));
    QVERIFY(server.start());
    QVERIFY2(server.waitUntilListening(port, kWaitMs), server.standardError().constData());

    LoopbackClient ann, bob;
    QVERIFY(ann.bind(QStringLiteral("127.0.0.2"), 0) && bob.bind(QStringLiteral("127.0.0.2"), 0));
    const auto next = [](LoopbackClient &client) {
        const auto datagram = client.waitForDatagram(kWaitMs);
        return datagram ? Packet::fromDatagram(datagram->bytes) : Packet();
    };
    QVERIFY(ann.sendRecord(ClientRecords::logonRequest(1, 11, QStringLiteral("Ann")), port));
    QCOMPARE(next(ann), Packet::fromDatagram(Records::logonAccepted(1, QStringLiteral("Ventoro server run by Brisalt Ltd")).bytes()));
    QVERIFY(bob.sendRecord(ClientRecords::logonRequest(2, 22, QStringLiteral("Bob")), port));
    QCOMPARE(next(bob).int32At(Packet::PlayerIDAt), 2);
    QCOMPARE(next(bob), Packet::fromDatagram(Golden::playerNotice(Packet::PlayerAdded, 1, QStringLiteral("Ann"))));
    QCOMPARE(next(ann), Packet::fromDatagram(Golden::playerNotice(Packet::PlayerAdded, 2, QStringLiteral("Bob"))));
    const QByteArray chat = ClientRecords::flightRecord(Packet::ChatMessage, 1);
    QVERIFY(ann.sendRecord(chat, port));
    QCOMPARE(next(bob), Packet::fromDatagram(chat));

    const QJsonArray listed = players(QStringLiteral(VENTORO_CLI_BINARY), instance);
    QCOMPARE(listed.size(), 2);
    QCOMPARE(listed.at(0).toObject().value(QLatin1String("address")).toString(), QStringLiteral("127.0.0.2:%1").arg(ann.port()));
    QCOMPARE(listed.at(1).toObject().value(QLatin1String("address")).toString(), QStringLiteral("127.0.0.2:%1").arg(bob.port()));
    QVERIFY(run(QStringLiteral(VENTORO_CLI_BINARY), {QStringLiteral("status")}, instance).out
                .contains(QStringLiteral("answers go to the port each pilot sends from")));

    QUdpSocket ipv6;
    if (!ipv6.bind(QHostAddress::LocalHostIPv6, 0))
        QSKIP("no IPv6 loopback (::1) on this machine: the probe over IPv6 is not tried");
    const quint16 replyPort = ipv6.localPort();
    ipv6.close();
    const Run probe = run(QStringLiteral(VENTORO_CLI_BINARY),
                          {QStringLiteral("probe"), QStringLiteral("::1"), QStringLiteral("--port"), QString::number(port),
                           QStringLiteral("--reply-port"), QString::number(replyPort), QStringLiteral("--id"),
                           QStringLiteral("3"), QStringLiteral("--password"), QStringLiteral("33"), QStringLiteral("--handle"),
                           QStringLiteral("Cy")}, instance);
    QCOMPARE(probe.exitCode, 0);
    QVERIFY2(probe.out.contains(QStringLiteral("Player on the server: Bob (server ID 2)")), qPrintable(probe.out));
    QCOMPARE(next(ann), Packet::fromDatagram(Golden::playerNotice(Packet::PlayerAdded, 3, QStringLiteral("Cy"))));
    QCOMPARE(players(QStringLiteral(VENTORO_CLI_BINARY), instance).at(2).toObject().value(QLatin1String("address")).toString(),
             QStringLiteral("[::1]:%1").arg(replyPort));
}

void tst_OperatorTools::commandLineAnswers_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("says");
    const QString noServer = QStringLiteral("no Ventoro server is running on this machine");
    QTest::newRow("overview") << QStringList{QStringLiteral("--help")} << 0 << QStringLiteral("accounts list|add|delete");
    QTest::newRow("usage names the command, arguments whole") << QStringList{QStringLiteral("accounts"), QStringLiteral("--help")}
        << 0 << QStringLiteral("Usage: ventoro accounts [options] list | add PILOTID PASSWORD NAME | delete PILOTID");
    QTest::newRow("status --json, no server") << QStringList{QStringLiteral("status"), QStringLiteral("--json")} << 1
        << QStringLiteral("\"running\": false");
    for (const char *command : {"status", "kick", "accounts", "probe", "ban", "unban", "bans", "reload"})
        QTest::newRow(command) << QStringList{QLatin1String(command), QStringLiteral("--help")} << 0 << QStringLiteral("--help");
    QTest::newRow("unknown command") << QStringList{QStringLiteral("restart")} << 64 << QStringLiteral("Usage: ventoro");
    QTest::newRow("status, no server") << QStringList{QStringLiteral("status")} << 1 << noServer;
    QTest::newRow("kick, no server") << QStringList{QStringLiteral("kick"), QStringLiteral("3")} << 1 << noServer;
    QTest::newRow("letters in ID") << QStringList{QStringLiteral("accounts"), QStringLiteral("add"), QStringLiteral("12x"), QStringLiteral("5"), QStringLiteral("A")} << 1 << QStringLiteral("PILOTID and PASSWORD take digits only");
    QTest::newRow("nil ID") << QStringList{QStringLiteral("accounts"), QStringLiteral("add"), QStringLiteral("000"), QStringLiteral("5"), QStringLiteral("A")} << 1 << QStringLiteral("PILOTID and PASSWORD cannot be 0");
    QTest::newRow("blank name") << QStringList{QStringLiteral("accounts"), QStringLiteral("add"), QStringLiteral("7"), QStringLiteral("5"), QStringLiteral("  ")} << 1 << QStringLiteral("NAME cannot be empty");
    QTest::newRow("ID beyond 32 bits") << QStringList{QStringLiteral("accounts"), QStringLiteral("add"), QStringLiteral("2147483648"), QStringLiteral("5"), QStringLiteral("A")} << 1 << QStringLiteral("at most 2147483647");
    QTest::newRow("heading in the name") << QStringList{QStringLiteral("accounts"), QStringLiteral("add"), QStringLiteral("7"), QStringLiteral("5"), QStringLiteral("Bob [7]")} << 1 << QStringLiteral("cannot contain [ or ]");
    QTest::newRow("two-line name") << QStringList{QStringLiteral("accounts"), QStringLiteral("add"), QStringLiteral("7"), QStringLiteral("5"), QStringLiteral("A\n[8]")} << 1 << QStringLiteral("one line");
    QTest::newRow("delete missing") << QStringList{QStringLiteral("accounts"), QStringLiteral("delete"), QStringLiteral("99")} << 1 << QStringLiteral("No account 99");
    QTest::newRow("reload, no server") << QStringList{QStringLiteral("reload")} << 1 << noServer;
    QTest::newRow("ban, no server") << QStringList{QStringLiteral("ban"), QStringLiteral("0042"), QStringLiteral("--for"), QStringLiteral("2h"), QStringLiteral("--reason"), QStringLiteral("spam")} << 0 << QStringLiteral("Banned 42 until ");
    QTest::newRow("ban wider than /8") << QStringList{QStringLiteral("ban"), QStringLiteral("10.0.0.0/7")} << 1 << QStringLiteral("10.0.0.0/7 would keep out 33,554,432 IPv4 addresses (1/128 of them all); say --force");
    QTest::newRow("ban every IPv4 in IPv6") << QStringList{QStringLiteral("ban"), QStringLiteral("::/80")} << 1 << QStringLiteral("::/80 would keep out every IPv4 address");
    QTest::newRow("ban wider than /32") << QStringList{QStringLiteral("ban"), QStringLiteral("2001::/16")} << 1 << QStringLiteral("65,536 networks of /32");
    QTest::newRow("ban wide, forced") << QStringList{QStringLiteral("ban"), QStringLiteral("10.0.0.0/7"), QStringLiteral("--force")} << 0 << QStringLiteral("Banned 10.0.0.0/7 for good");
    QTest::newRow("ban, a port") << QStringList{QStringLiteral("ban"), QStringLiteral("192.0.2.1:80")} << 1 << QStringLiteral("is no pilot ID and no address");
    QTest::newRow("ban for years") << QStringList{QStringLiteral("ban"), QStringLiteral("7"), QStringLiteral("--for"), QStringLiteral("5y")} << 64 << QStringLiteral("--for takes a duration");
    QTest::newRow("two-line reason") << QStringList{QStringLiteral("ban"), QStringLiteral("7"), QStringLiteral("--reason"), QStringLiteral("a\n[8]")} << 1 << QStringLiteral("one line");
    QTest::newRow("unban, no ban") << QStringList{QStringLiteral("unban"), QStringLiteral("7")} << 1 << QStringLiteral("no ban of 7");
    QTest::newRow("bans, none") << QStringList{QStringLiteral("bans")} << 0 << QStringLiteral("No bans in force");
    QTest::newRow("probe without ID") << QStringList{QStringLiteral("probe"), QStringLiteral("127.0.0.1"), QStringLiteral("--password"), QStringLiteral("1"), QStringLiteral("--handle"), QStringLiteral("A")} << 64 << QStringLiteral("--id is required");
    QTest::newRow("probe, nothing answers") << QStringList{QStringLiteral("probe"), QStringLiteral("127.0.0.1"), QStringLiteral("--port"), QStringLiteral("PORT"), QStringLiteral("--reply-port"), QStringLiteral("REPLY"), QStringLiteral("--bind"), QStringLiteral("127.0.0.2"), QStringLiteral("--id"), QStringLiteral("1"), QStringLiteral("--password"), QStringLiteral("1"), QStringLiteral("--handle"), QStringLiteral("A"), QStringLiteral("--wait"), QStringLiteral("1")} << 2 << QStringLiteral("forward UDP port REPLY");
}

void tst_OperatorTools::commandLineAnswers()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, says);
    QTemporaryDir dir; // an empty program directory for the accounts
    if (QStringList{QStringLiteral("accounts"), QStringLiteral("ban"), QStringLiteral("unban"), QStringLiteral("bans")}
            .contains(arguments.value(0)) && arguments.value(1) != QLatin1String("--help"))
        arguments << QStringLiteral("--dir") << dir.path();
    const QString replyPort = QString::number(freeUdpPort(clientAddresses(1)));
    arguments.replaceInStrings(QStringLiteral("REPLY"), replyPort);
    arguments.replaceInStrings(QStringLiteral("PORT"), QString::number(freeUdpPort()));
    says.replace(QStringLiteral("REPLY"), replyPort);
    const Run result = run(QStringLiteral(VENTORO_CLI_BINARY), arguments);
    QCOMPARE(result.exitCode, exitCode);
    QVERIFY2((result.out + result.err).contains(says), qPrintable(result.out + result.err));
    QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("user.ini")))); // refusals write nothing
}

// Two shells adding 60 accounts each to one directory at the same time keep
// all 120 (each add holds the accounts lock from its read to its
// replacement), and the new user.ini is private even under umask 0. A third
// writer that cannot get the lock says so and changes nothing.
void tst_OperatorTools::twoWritersKeepEveryAccount()
{
    QTemporaryDir dir;
    const QString ventoro = QStringLiteral(VENTORO_CLI_BINARY);
    const QString addSixty = QStringLiteral("i=$1; while [ $i -lt $(($1 + 60)) ]; do "
                                            "\"$0\" accounts add $i $i P$i --dir \"$2\" >/dev/null || exit 1; i=$((i + 1)); done");
    const mode_t savedMask = ::umask(0);
    QProcess writers[2];
    for (int first : {1000, 2000}) {
        QProcess &writer = writers[first / 1000 - 1];
        writer.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), addSixty, ventoro, QString::number(first), dir.path()});
        writer.waitForStarted();
    }
    ::umask(savedMask);
    for (QProcess &writer : writers) {
        if (!writer.waitForFinished(120000))
            writer.kill();
        QVERIFY2(writer.exitStatus() == QProcess::NormalExit && writer.exitCode() == 0, writer.readAllStandardError());
    }
    const QStringList list{QStringLiteral("accounts"), QStringLiteral("list"), QStringLiteral("--dir"), dir.path()};
    QCOMPARE(run(ventoro, list).out.count(QStringLiteral(" ID:")), 120);
    struct stat info {};
    QVERIFY(::stat(QFile::encodeName(dir.filePath(QStringLiteral("user.ini"))).constData(), &info) == 0);
    QCOMPARE(int(info.st_mode & 07777), 0640);

    const AccountsLock otherWriter(QFile::encodeName(dir.filePath(QStringLiteral("user.ini"))).toStdString());
    QVERIFY(otherWriter.held());
    const Run late = run(ventoro, {QStringLiteral("accounts"), QStringLiteral("add"), QStringLiteral("5"), QStringLiteral("5"),
                                   QStringLiteral("Late"), QStringLiteral("--dir"), dir.path()});
    QCOMPARE(late.exitCode, 1);
    QVERIFY2(late.err.contains(QStringLiteral("is being changed by another program; it is unchanged")), qPrintable(late.err));
    QCOMPARE(run(ventoro, list).out.count(QStringLiteral(" ID:")), 120);
}

// MaxPilots=1 refuses a second pilot but lets the first log on again;
// `ventoro reload` takes in a new message of the day and a higher limit and
// names a changed port; `ventoro ban` of the pilot on removes her (the other
// pilot is told) and her next logon is rejected.
void tst_OperatorTools::bansLimitAndReloadFromOutside()
{
    const QString instance = QStringLiteral("ventoro-bans-test-%1").arg(QCoreApplication::applicationPid());
    const quint16 port = freeUdpPort(QStringLiteral("0.0.0.0"));
    const quint16 replyPort = freeUdpPort(clientAddresses(4));
    QByteArray ports = "[General]\r\nConnectPort=" + QByteArray::number(port) + "\r\nClientConnectPort="
        + QByteArray::number(replyPort) + "\r\nShowScreen=0\r\n";
    ServerProcess server(QStringLiteral(VENTORO_SERVER_BINARY));
    server.environment().insert(QStringLiteral("VENTORO_INSTANCE"), instance);
    QVERIFY(server.writeServerIni(ports + "MaxPilots=1\r\n"));
    QVERIFY(server.writeUserIni("[1]\r\nPwd=11\r\nName=Ann\r\n[2]\r\nPwd=22\r\nName=Bob\r\n"));
    QVERIFY(server.start());
    QVERIFY2(server.waitUntilListening(port, kWaitMs), server.standardError().constData());

    const QString ventoro = QStringLiteral(VENTORO_CLI_BINARY);
    auto probe = [&](int n, const char *id, const char *password, const char *handle) {
        return run(ventoro, {QStringLiteral("probe"), QStringLiteral("127.0.0.1"), QStringLiteral("--port"),
                             QString::number(port), QStringLiteral("--reply-port"), QString::number(replyPort),
                             QStringLiteral("--bind"), QStringLiteral("127.0.0.%1").arg(n), QStringLiteral("--id"),
                             QLatin1String(id), QStringLiteral("--password"), QLatin1String(password),
                             QStringLiteral("--handle"), QLatin1String(handle)}, instance);
    };
    QCOMPARE(probe(2, "1", "11", "Ann").exitCode, 0);
    QCOMPARE(probe(3, "2", "22", "Bob").exitCode, 1);
    QCOMPARE(probe(4, "1", "11", "Ann").exitCode, 0);

    QVERIFY(server.writeServerIni(ports.replace("ShowScreen=0", "ShowScreen=1") + "MaxPilots=2\r\nMOTD=Fly safe\r\n"));
    const Run reload = run(ventoro, {QStringLiteral("reload")}, instance);
    QVERIFY2(reload.exitCode == 0 && reload.out.contains(QStringLiteral("change only with a restart: ShowScreen")),
             qPrintable(reload.out + reload.err));
    LoopbackClient bob;
    QVERIFY(bob.bind(QStringLiteral("127.0.0.3"), replyPort));
    QVERIFY(bob.sendRecord(ClientRecords::logonRequest(2, 22, QStringLiteral("Bob")), port));
    const auto accepted = bob.waitForDatagram(kWaitMs);
    QVERIFY(accepted);
    QCOMPARE(Packet::fromDatagram(accepted->bytes).textAt(Packet::MotdAt, 40).trimmed(), QStringLiteral("Fly safe"));
    QVERIFY(bob.waitForDatagram(kWaitMs)); // PlayerAdded: Ann

    const QStringList dir{QStringLiteral("--dir"), server.programDir()};
    const Run ban = run(ventoro, QStringList{QStringLiteral("ban"), QStringLiteral("1"), QStringLiteral("--reason"),
                                             QStringLiteral("abusive chat")} + dir, instance);
    QVERIFY2(ban.exitCode == 0 && ban.out.contains(QStringLiteral("removed Ann (server ID 2, 127.0.0.4)")),
             qPrintable(ban.out + ban.err));
    const auto removed = bob.waitForDatagram(kWaitMs);
    QVERIFY(removed);
    QCOMPARE(Packet::fromDatagram(removed->bytes), Packet::fromDatagram(Golden::playerNotice(Packet::PlayerRemoved, 2, QStringLiteral("Ann"))));
    QCOMPARE(probe(2, "1", "11", "Ann").exitCode, 1);
    QVERIFY(run(ventoro, QStringList{QStringLiteral("bans")} + dir).out.contains(QStringLiteral("for good  abusive chat")));
    const QJsonObject counters = QJsonDocument::fromJson(run(ventoro, {QStringLiteral("status"), QStringLiteral("--json")}, instance).out.toUtf8())
                                     .object().value(QLatin1String("counters")).toObject();
    QCOMPARE(counters.value(QLatin1String("logonsBanned")).toInt(), 1);
    QCOMPARE(counters.value(QLatin1String("logonsRefusedFull")).toInt(), 1);
}

void tst_OperatorTools::serviceUnitVerifies()
{
    const QString analyze = QStandardPaths::findExecutable(QStringLiteral("systemd-analyze"));
    if (analyze.isEmpty())
        QSKIP("no systemd-analyze here");
    QTemporaryDir dir;
    QFile source(QStringLiteral(VENTORO_SERVICE_UNIT));
    QFile unit(dir.filePath(QStringLiteral("ventoro.service")));
    QVERIFY(source.open(QIODevice::ReadOnly) && unit.open(QIODevice::WriteOnly));
    // The unit names the installed program; here it is the one just built.
    unit.write(source.readAll().replace("/usr/bin/VentoroServer", VENTORO_SERVER_BINARY));
    unit.close();
    // The manual page it names is installed with the package, not here.
    const Run verify = run(analyze, {QStringLiteral("verify"), QStringLiteral("--man=no"), unit.fileName()});
    QVERIFY2(verify.exitCode == 0 && verify.err.isEmpty(), qPrintable(verify.err));
}

// Every column of the players' table starts at the same place on every
// line, however long an IPv6 endpoint or a handle is.
void tst_OperatorTools::statusColumnsFitWhatTheyShow()
{
    QJsonArray players;
    for (const auto &[id, handle, address] : {std::tuple{7, "Ann", "192.0.2.7"},
                                              std::tuple{12345, "A rather long handle", "[2001:db8:1234:5678::abcd]:50123"}})
        players.append(QJsonObject{{"serverId", id}, {"handle", handle}, {"address", address},
                                   {"secondsSinceHeartbeat", 3}, {"sentAircraftDetails", true}});
    const QStringList lines = StatusText::format(QJsonObject{{"players", players}}).split(QLatin1Char('\n'));
    const qsizetype heading = lines.indexOf(QRegularExpression(QStringLiteral(" +ID  Handle.*")));
    QVERIFY(heading > 0);
    for (const char *column : {"Handle", "Address", "Aircraft sent"}) {
        const qsizetype at = lines[heading].indexOf(QLatin1String(column));
        for (qsizetype row = heading + 1; row <= heading + 2; ++row)
            QVERIFY2(lines[row].at(at - 1) == QLatin1Char(' ') && lines[row].at(at) != QLatin1Char(' '),
                     qPrintable(lines.mid(heading, 3).join(QLatin1Char('\n'))));
    }
}

// Nobody else can keep the server from starting or answer in its place.
void tst_OperatorTools::squatterTakesNoName()
{
    if (::geteuid() != 0)
        QSKIP("not root: no other user to squat with");
    const QString instance = QStringLiteral("ventoro-squat-%1").arg(QCoreApplication::applicationPid());
    Squatter squatter(instance);
    QVERIFY(squatter.started());
    QTest::qWait(300); // the squatter has taken what it can

    const quint16 port = freeUdpPort(QStringLiteral("0.0.0.0"));
    ServerProcess server(QStringLiteral(VENTORO_SERVER_BINARY));
    server.environment().insert(QStringLiteral("VENTORO_INSTANCE"), instance);
    QVERIFY(server.writeServerIni("[General]\r\nConnectPort=" + QByteArray::number(port)
                                  + "\r\nClientConnectPort=" + QByteArray::number(freeUdpPort(clientAddresses(1)))
                                  + "\r\nShowScreen=0\r\nDebug=0\r\n"));
    QVERIFY(server.start());
    QVERIFY2(server.waitUntilListening(port, kWaitMs), server.standardError().constData());

    const QString ventoro = QStringLiteral(VENTORO_CLI_BINARY);
    const Run status = run(ventoro, {QStringLiteral("status"), QStringLiteral("--json")}, instance);
    QCOMPARE(status.exitCode, 0);
    const QJsonObject answer = QJsonDocument::fromJson(status.out.toUtf8()).object();
    QCOMPARE(answer.value(QLatin1String("connectPort")).toInt(), int(port));
    QCOMPARE(answer.value(QLatin1String("players")).toArray().size(), 0);
    QCOMPARE(run(ventoro, {QStringLiteral("kick"), QStringLiteral("1")}, instance).exitCode, 1); // nobody to kick
    QCOMPARE(squatter.connectionsTaken(), 0);
    QVERIFY(server.isRunning());
}

// Root's ban and accounts commands in a directory another user owns write
// nothing where that user's links point; a ban whose expiry cannot be read
// is written back as it stood, not as a ban for good.
void tst_OperatorTools::bansFileWrittenOnlyInItsPlace()
{
    QTemporaryDir base;
    const QString ventoro = QStringLiteral(VENTORO_CLI_BINARY);
    const QString theirs = base.filePath(QStringLiteral("theirs")), target = base.filePath(QStringLiteral("precious"));
    QFile precious(target);
    QVERIFY(precious.open(QIODevice::WriteOnly) && precious.write("[General]\r\n") == 11);
    precious.close();
    if (::geteuid() == 0) {
        const QByteArray dir = QFile::encodeName(theirs), to = QFile::encodeName(target);
        QVERIFY(::chmod(QFile::encodeName(base.path()).constData(), 0755) == 0 && ::mkdir(dir.constData(), 0755) == 0
                && ::chown(dir.constData(), 65534, 65534) == 0);
        const QByteArray bans = dir + "/bans.ini", users = dir + "/user.ini";
        const pid_t child = ::fork();
        if (child == 0) {
            const bool made = ::setgroups(0, nullptr) == 0 && ::setgid(65534) == 0 && ::setuid(65534) == 0
                && ::symlink(to.constData(), bans.constData()) == 0
                && ::symlink(to.constData(), users.constData()) == 0;
            ::_exit(made ? 0 : 1);
        }
        int status = -1;
        QVERIFY(::waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0);
        const QStringList there{QStringLiteral("--dir"), theirs};
        QCOMPARE(run(ventoro, QStringList{QStringLiteral("ban"), QStringLiteral("7")} + there).exitCode, 1);
        QCOMPARE(run(ventoro, QStringList{QStringLiteral("accounts"), QStringLiteral("add"), QStringLiteral("7"),
                                          QStringLiteral("7"), QStringLiteral("Ann")} + there).exitCode, 1);
        QVERIFY(precious.open(QIODevice::ReadOnly));
        QCOMPARE(precious.readAll(), QByteArray("[General]\r\n"));
    }

    QTemporaryDir dir;
    const QStringList here{QStringLiteral("--dir"), dir.path()};
    QFile bans(dir.filePath(QStringLiteral("bans.ini")));
    QVERIFY(bans.open(QIODevice::WriteOnly) && bans.write("[7]\r\nReason=r\r\nExpires=next Tuesday\r\n") > 0);
    bans.close();
    QCOMPARE(run(ventoro, QStringList{QStringLiteral("ban"), QStringLiteral("192.0.2.0/24")} + here).exitCode, 0);
    QCOMPARE(run(ventoro, QStringList{QStringLiteral("unban"), QStringLiteral("192.0.2.0/24")} + here).exitCode, 0);
    QVERIFY(bans.open(QIODevice::ReadOnly));
    QCOMPARE(bans.readAll(), QByteArray("[7]\r\nReason=r\r\nExpires=next Tuesday\r\n\r\n"));
    QVERIFY(run(ventoro, QStringList{QStringLiteral("bans")} + here).out.contains(QStringLiteral("7                     for good  r")));
}

QTEST_GUILESS_MAIN(tst_OperatorTools)
#include "tst_operatortools.moc"
