// The log writer: line form, line ends, flushing, and hostile text.
#include "CoreHarness.h"
#include "EventLog.h"

#include <QFile>
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

void tst_EventLog::controlCharactersCannotStartALine_data()
{
    QTest::addColumn<QString>("handle");
    QTest::addColumn<QString>("logged");
    QTest::newRow("CR LF") << QStringLiteral("Ev\r\nil") << QStringLiteral("Ev??il");
    QTest::newRow("DEL, C1 controls") << QStringLiteral("A\u007F\u0080\u0085\u009FB") << QStringLiteral("A????B");
    QTest::newRow("line, paragraph separators") << QStringLiteral("A\u2028B\u2029") << QStringLiteral("A?B?");
    QTest::newRow("accented, no-break space") << QStringLiteral("Zo\u00EB \u00C5gren\u00A0\u00FF")
                                              << QStringLiteral("Zo\u00EB \u00C5gren\u00A0\u00FF");
}

void tst_EventLog::controlCharactersCannotStartALine()
{
    QFETCH(QString, handle);
    QFETCH(QString, logged);
    CoreHarness h;
    h.logOn(handle, QStringLiteral("127.0.0.2"));
    const QStringList lines = h.logLines();
    QCOMPARE(lines.size(), 5);
    QCOMPARE(lines.last(), QStringLiteral("09:05:07 - Not Dumping to:1 Player:%1 Server ID:1").arg(logged));
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
