// The log writer: line form, line ends, flushing, and hostile text.
#include "CoreHarness.h"
#include "EventLog.h"
#include "OperatorCommands.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QtTest>

class tst_EventLog : public QObject
{
    Q_OBJECT

private slots:
    void timeOfDay_data();
    void timeOfDay();
    void eachLineReachesTheFileAtOnce();
    void controlCharactersCannotStartALine_data();
    void controlCharactersCannotStartALine();
    void closedLogWritesNothing();
};

void tst_EventLog::timeOfDay_data()
{
    QTest::addColumn<QTime>("time");
    QTest::addColumn<QString>("line");

    QTest::newRow("morning") << QTime(9, 5, 7) << QStringLiteral("09:05:07 - Send Player Added data to clients");
    QTest::newRow("one p.m.") << QTime(13, 0, 0) << QStringLiteral("13:00:00 - Send Player Added data to clients");
    QTest::newRow("midnight") << QTime(0, 0, 0) << QStringLiteral("00:00:00 - Send Player Added data to clients");
}

void tst_EventLog::timeOfDay()
{
    QFETCH(QTime, time);
    QFETCH(QString, line);
    CoreHarness h;
    h.clock.setTimeOfDay(time);
    h.ctx().logEvent(QStringLiteral("Send Player Added data to clients"));
    QCOMPARE(h.logLines(), QStringList{line});
}

void tst_EventLog::eachLineReachesTheFileAtOnce()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("log.txt"));
    auto file = std::make_unique<QFile>(path);
    QVERIFY(file->open(QIODevice::WriteOnly | QIODevice::Append));
    EventLog log;
    log.open(std::move(file));
    log.WriteLog(QStringLiteral("first"));
    log.WriteLog(QStringLiteral("zweite \u00FCber"));
    QFile reader(path);
    QVERIFY(reader.open(QIODevice::ReadOnly));
    QCOMPARE(reader.readAll(), QByteArray("first\r\nzweite \xC3\xBC" "ber\r\n"));
}

// The handle as the log line and the operator's JSON status carry it.
void tst_EventLog::controlCharactersCannotStartALine_data()
{
    QTest::addColumn<QString>("handle");
    QTest::addColumn<QString>("logged");
    QTest::addColumn<QString>("inJson");
    const QString escape = QStringLiteral("\u001B]0;owned\u0007");
    QTest::newRow("CR LF") << QStringLiteral("Ev\r\nil") << QStringLiteral("Ev??il") << QStringLiteral("Ev\r\nil");
    QTest::newRow("DEL, C1 controls") << QStringLiteral("A\u007F\u0080\u0085\u009FB") << QStringLiteral("A????B")
                                      << QStringLiteral("A\u007F\u0080\u0085\u009FB");
    QTest::newRow("line, paragraph separators") << QStringLiteral("A\u2028B\u2029") << QStringLiteral("A?B?")
                                                << QStringLiteral("A\u2028B\u2029");
    QTest::newRow("accented, no-break space") << QStringLiteral("Zo\u00EB \u00C5gren\u00A0\u00FF")
                                              << QStringLiteral("Zo\u00EB \u00C5gren\u00A0\u00FF")
                                              << QStringLiteral("Zo\u00EB \u00C5gren\u00A0\u00FF");
    QTest::newRow("terminal title") << escape << QStringLiteral("?]0;owned?") << escape;
    const QString pair = QStringLiteral("\U0001F6E9");
    QTest::newRow("lone surrogates") << QChar(0xDC00) + pair + QChar(0xD800) << QLatin1Char('?') + pair + QLatin1Char('?')
                                     << QChar(0xFFFD) + pair + QChar(0xFFFD);
}

void tst_EventLog::controlCharactersCannotStartALine()
{
    QFETCH(QString, handle);
    QFETCH(QString, logged);
    QFETCH(QString, inJson);
    CoreHarness h;
    h.logOn(handle, QStringLiteral("127.0.0.2"));
    const QStringList lines = h.logLines();
    QCOMPARE(lines.size(), 5);
    QCOMPARE(lines.last(), QStringLiteral("09:05:07 - Not Dumping to:1 Player:%1 Server ID:1").arg(logged));
    const QJsonObject status = OperatorCommands::status(h.ctx(), {});
    const QByteArray json = QJsonDocument(status).toJson();
    QVERIFY(!json.contains("\\ud8") && !json.contains("\\udc"));
    QCOMPARE(status.value(QLatin1String("players")).toArray().at(0).toObject().value(QLatin1String("handle")).toString(),
             inJson);
}

void tst_EventLog::closedLogWritesNothing()
{
    CoreHarness h(false, true);
    QVERIFY(!h.ctx().ordinaryLinesOn());
    QVERIFY(!h.ctx().lowLevelLinesOn());
    h.logOn(QStringLiteral("Ann"), QStringLiteral("127.0.0.2"));
    QCOMPARE(h.logLines(), QStringList());
}

QTEST_GUILESS_MAIN(tst_EventLog)
#include "tst_eventlog.moc"
