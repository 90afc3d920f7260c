// What the server makes of its settings at start-up, in-process.
#include "INIFiles.h"
#include "StartupDirectories.h"
#include "StartupOptions.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

namespace {

struct SettingsFile {
    QTemporaryDir dir;
    INIFiles ini;
    explicit SettingsFile(const QByteArray &content)
    {
        const QString path = dir.filePath(QStringLiteral("VentoroServer.ini"));
        if (!content.isNull()) {
            QFile file(path);
            if (file.open(QIODevice::WriteOnly))
                file.write(content);
        }
        ini.FileName(path.toStdString());
    }
};

} // namespace

class tst_Startup : public QObject
{
    Q_OBJECT

private slots:
    void settingsPaths_data();
    void settingsPaths();
    void startupDirectories_data();
    void startupDirectories();
    void defaultsWithoutAFile();
    void switches_data();
    void switches();
    void texts_data();
    void texts();
    void maxPilots_data();
    void maxPilots();
    void ports_data();
    void ports();
    void httpStatusPage_data();
    void httpStatusPage();
    void banner();
};

void tst_Startup::settingsPaths_data()
{
    QTest::addColumn<QString>("directory");
    QTest::addColumn<QString>("users");
    QTest::addColumn<QString>("server");

    QTest::newRow("plain") << QStringLiteral("/opt/ventoro") << QStringLiteral("/opt/ventoro/user.ini")
                           << QStringLiteral("/opt/ventoro/VentoroServer.ini");
    QTest::newRow("root") << QStringLiteral("/") << QStringLiteral("/user.ini") << QStringLiteral("/VentoroServer.ini");
    QTest::newRow("trailing slash") << QStringLiteral("/srv/") << QStringLiteral("/srv/user.ini")
                                    << QStringLiteral("/srv/VentoroServer.ini");
}

void tst_Startup::settingsPaths()
{
    QFETCH(QString, directory);
    QFETCH(QString, users);
    QFETCH(QString, server);
    const auto paths = StartupOptions::settingsPaths(directory);
    QCOMPARE(paths.usersIni, users);
    QCOMPARE(paths.serverIni, server);
}

// The command line as the server takes it (its own options only) and the
// directories it makes of it, in a build with no configured defaults: the
// program directory and the working directory.
void tst_Startup::startupDirectories_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("outcome"); // settings|log|passed on, or the error

    QTest::newRow("defaults") << QStringList{} << "/opt/v|/home/op|VentoroServer";
    QTest::newRow("both, two forms") << QStringList{"--settings-dir", "/etc/ventoro/", "--log-dir=/var/log/ventoro"}
                                     << "/etc/ventoro|/var/log/ventoro|VentoroServer";
    QTest::newRow("relative to the working directory") << QStringList{"--settings-dir=conf", "--log-dir", "."}
                                                       << "/home/op/conf|/home/op|VentoroServer";
    QTest::newRow("window system's own passed on") << QStringList{"-platform", "offscreen"}
                                                   << "/opt/v|/home/op|VentoroServer -platform offscreen";
    QTest::newRow("no directory") << QStringList{"--log-dir"} << "--log-dir needs a directory";
    QTest::newRow("empty directory") << QStringList{"--settings-dir="} << "--settings-dir needs a directory";
    QTest::newRow("misspelt") << QStringList{"--setings-dir", "/etc"} << "unknown option --setings-dir";
}

void tst_Startup::startupDirectories()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, outcome);
    std::vector<QByteArray> bytes{"VentoroServer"};
    for (const QString &argument : arguments)
        bytes.push_back(argument.toUtf8());
    std::vector<const char *> argv;
    for (const QByteArray &argument : bytes)
        argv.push_back(argument.constData());
    const auto request = StartupDirectories::parse(int(argv.size()), argv.data(), true, true);
    if (!request.error.empty()) {
        QCOMPARE(QString::fromStdString(request.error), outcome);
        return;
    }
    const auto directories = StartupDirectories::resolve(request, "/opt/v/", "/home/op");
    QStringList passedOn;
    for (const std::string &argument : request.passOn)
        passedOn << QString::fromStdString(argument);
    QCOMPARE(QString::fromStdString(directories.settings + "|" + directories.log) + "|" + passedOn.join(' '), outcome);
}

void tst_Startup::defaultsWithoutAFile()
{
    SettingsFile file{QByteArray()};
    const auto options = StartupOptions::read(file.ini);
    QVERIFY(options.DebugOn);
    QVERIFY(options.DebugLowLevelOn);
    QVERIFY(options.ShowScreen);
    QVERIFY(!options.ReplyToSourcePort);
    QCOMPARE(options.CrashText, QStringLiteral("stacked his crate!!"));
    QCOMPARE(options.MessageOfTheDay, QStringLiteral("Ventoro server run by Brisalt Ltd"));
    QVERIFY(options.warnings.isEmpty());
    QString error;
    const auto ports = StartupOptions::readPorts(file.ini, &error);
    QVERIFY(ports);
    QCOMPARE(ports->localPort, quint16(1500));
    QCOMPARE(ports->replyPort, quint16(1501));
}

// Debug, DebugLowLevel, ShowScreen and ReplyToSourcePort as written in the
// file. The logging switches fall back to on, ReplyToSourcePort to off.
void tst_Startup::switches_data()
{
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<bool>("debugOn");
    QTest::addColumn<bool>("warned");
    QTest::addColumn<bool>("screenShown");
    QTest::addColumn<bool>("replyToSource");

    QTest::newRow("0") << QByteArray("0") << false << false << false << false;
    QTest::newRow("1") << QByteArray("1") << true << false << true << true;
    QTest::newRow("-1") << QByteArray("-1") << true << false << true << true;
    QTest::newRow("2") << QByteArray("2") << true << false << true << true;
    QTest::newRow("True") << QByteArray("True") << true << false << false << true;
    QTest::newRow("tRuE") << QByteArray("tRuE") << true << false << false << true;
    QTest::newRow("False") << QByteArray("False") << false << false << false << false;
    QTest::newRow("empty") << QByteArray("") << true << true << false << false;
    QTest::newRow("word") << QByteArray("on") << true << true << false << false;
    QTest::newRow("number then word") << QByteArray("1 please") << true << true << true << false;
}

void tst_Startup::switches()
{
    QFETCH(QByteArray, value);
    QFETCH(bool, debugOn);
    QFETCH(bool, warned);
    QFETCH(bool, screenShown);
    QFETCH(bool, replyToSource);

    SettingsFile file("[General]\r\nDebug=" + value + "\r\nDebugLowLevel=" + value + "\r\nShowScreen=" + value
                      + "\r\nReplyToSourcePort=" + value + "\r\n");
    const auto options = StartupOptions::read(file.ini);
    QCOMPARE(options.DebugOn, debugOn);
    QCOMPARE(options.DebugLowLevelOn, debugOn);
    QCOMPARE(options.ShowScreen, screenShown);
    QCOMPARE(options.ReplyToSourcePort, replyToSource);
    QCOMPARE(options.warnings.size(), warned ? 3 : 0);
    if (warned) {
        QVERIFY(options.warnings.first().contains(QStringLiteral("\"Debug\"")));
        QVERIFY(options.warnings.last().endsWith(QStringLiteral("\"ReplyToSourcePort\" in VentoroServer.ini holds \"")
                                                 + QString::fromLatin1(value) + QStringLiteral("\", which is neither a number nor True or False; taking it as off")));
    }
}

void tst_Startup::texts_data()
{
    QTest::addColumn<QByteArray>("motd");
    QTest::addColumn<QString>("messageOfTheDay");
    QTest::addColumn<QByteArray>("crash");
    QTest::addColumn<QString>("crashText");

    QTest::newRow("45 and 60 characters")
        << QByteArray(45, 'm') << QString(40, u'm') << QByteArray(60, 'c') << QString(50, u'c');
    QTest::newRow("leading spaces go before the cut")
        << (QByteArray(5, ' ') + QByteArray(40, 'm')) << QString(40, u'm') << QByteArray("\"  boom  \"")
        << QStringLiteral("boom");
    QTest::newRow("empty") << QByteArray() << QString() << QByteArray() << QString();
    QTest::newRow("UTF-8") << QByteArray("Gr\xC3\xBC\xC3\x9F" "e") << QStringLiteral("Gr\u00FC\u00DFe")
                           << QByteArray("\xE2\x9C\x88") << QStringLiteral("\u2708");
    QTest::newRow("code page 1252") << QByteArray("Gr\xFC\xDF" "e") << QStringLiteral("Gr\u00FC\u00DFe")
                                    << QByteArray("\x80") << QStringLiteral("\u20AC");
}

void tst_Startup::texts()
{
    QFETCH(QByteArray, motd);
    QFETCH(QString, messageOfTheDay);
    QFETCH(QByteArray, crash);
    QFETCH(QString, crashText);

    SettingsFile file("[General]\r\nMOTD=" + motd + "\r\nCrashText=" + crash + "\r\n");
    const auto options = StartupOptions::read(file.ini);
    QCOMPARE(options.MessageOfTheDay, messageOfTheDay);
    QCOMPARE(options.CrashText, crashText);
}

void tst_Startup::maxPilots_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<int>("limit");
    QTest::addColumn<bool>("warned");

    QTest::newRow("missing") << QByteArray() << 0 << false;
    QTest::newRow("20") << QByteArray("MaxPilots=20") << 20 << false;
    QTest::newRow("negative") << QByteArray("MaxPilots=-3") << 0 << true;
    QTest::newRow("word") << QByteArray("MaxPilots=lots") << 0 << true;
}

void tst_Startup::maxPilots()
{
    QFETCH(QByteArray, line);
    QFETCH(int, limit);
    QFETCH(bool, warned);

    SettingsFile file("[General]\r\n" + line + "\r\n");
    const auto options = StartupOptions::read(file.ini);
    QCOMPARE(options.MaxPilots, limit);
    QCOMPARE(options.warnings.size(), int(warned));
    if (warned)
        QVERIFY(options.warnings.first().contains(QStringLiteral("no limit")));
}

void tst_Startup::ports_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("local");
    QTest::addColumn<int>("reply");

    QTest::newRow("ConnectPort 1600") << QByteArray("[General]\r\nConnectPort=1600\r\n") << 1600 << 1501;
    QTest::newRow("both") << QByteArray("[General]\r\nConnectPort=2000\r\nClientConnectPort=2001\r\n") << 2000 << 2001;
    QTest::newRow("not a number") << QByteArray("[General]\r\nConnectPort=fifteen\r\n") << -1 << -1;
    QTest::newRow("too large") << QByteArray("[General]\r\nClientConnectPort=70000\r\n") << -1 << -1;
    QTest::newRow("zero") << QByteArray("[General]\r\nConnectPort=0\r\n") << -1 << -1;
    QTest::newRow("empty") << QByteArray("[General]\r\nConnectPort=\r\n") << -1 << -1;
}

void tst_Startup::ports()
{
    QFETCH(QByteArray, content);
    QFETCH(int, local);
    QFETCH(int, reply);

    SettingsFile file(content);
    QString error;
    const auto ports = StartupOptions::readPorts(file.ini, &error);
    QCOMPARE(ports.has_value(), local > 0);
    if (ports) {
        QCOMPARE(int(ports->localPort), local);
        QCOMPARE(int(ports->replyPort), reply);
    } else {
        QVERIFY(error.contains(QStringLiteral("Port")));
    }
}

void tst_Startup::httpStatusPage_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("warning");

    QTest::newRow("off by default") << QByteArray("HttpAddress=::1\r\n") << 0 << "" << "";
    QTest::newRow("port set") << QByteArray("HttpPort=8080\r\n") << 8080 << "127.0.0.1" << "";
    QTest::newRow("IPv6, spaces") << QByteArray("HttpPort=8080\r\nHttpAddress= ::1 \r\n") << 8080 << "::1" << "";
    QTest::newRow("port not a port") << QByteArray("HttpPort=70000\r\n") << 0 << "" << "\"HttpPort\"";
    QTest::newRow("a name") << QByteArray("HttpPort=80\r\nHttpAddress=localhost\r\n") << 0 << "" << "\"HttpAddress\"";
    QTest::newRow("with a port") << QByteArray("HttpPort=80\r\nHttpAddress=127.0.0.1:80\r\n") << 0 << "" << "\"HttpAddress\"";
}

void tst_Startup::httpStatusPage()
{
    QFETCH(QByteArray, content);
    QFETCH(int, port);
    QFETCH(QString, address);
    QFETCH(QString, warning);

    SettingsFile file("[General]\r\n" + content);
    const StartupOptions::HttpOptions http = StartupOptions::readHttp(file.ini);
    QCOMPARE(int(http.port), port);
    QCOMPARE(port ? http.address.addressText() : QString(), address);
    QCOMPARE(http.warnings.value(0).left(warning.size()), warning);
}

void tst_Startup::banner()
{
    const QString dashes(70, u'-');
    QCOMPARE(StartupOptions::banner(QStringLiteral("09:05:07"), true),
             (QStringList{dashes, QStringLiteral("09:05:07 - FS MP Server Up - (c) Brisalt Ltd"), dashes,
                          QStringLiteral("Low level debugging is on")}));
    QCOMPARE(StartupOptions::banner(QStringLiteral("13:00:00"), false).last(), QStringLiteral("Low level debugging is off"));
}

QTEST_GUILESS_MAIN(tst_Startup)
#include "tst_startup.moc"
