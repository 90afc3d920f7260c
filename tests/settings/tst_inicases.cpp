// Runs every recorded settings-file case against INIFiles. Each case file is
// JSON; strings stand for byte strings (code points U+0000..U+00FF are the
// bytes 0x00..0xFF). The directory comes from VENTORO_INI_CASES, or the
// project's own copy.
#include "INIFiles.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QTemporaryDir>
#include <QtTest>

namespace {

std::string bytesOf(const QJsonValue &value)
{
    const QByteArray bytes = value.toString().toLatin1();
    return std::string(bytes.constData(), static_cast<size_t>(bytes.size()));
}

QString casesDirectory()
{
    const QByteArray fromEnvironment = qgetenv("VENTORO_INI_CASES");
    return fromEnvironment.isEmpty() ? QStringLiteral(VENTORO_INI_CASES_DEFAULT) : QString::fromLocal8Bit(fromEnvironment);
}

// The file's content, or nothing when it does not exist.
std::optional<QByteArray> contentOf(const QString &path)
{
    QFile file(path);
    if (!file.exists())
        return std::nullopt;
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray("<unreadable>");
    return file.readAll();
}

QByteArray expectedContent(const QJsonValue &value)
{
    return value.toString().toLatin1();
}

struct Tally {
    int cases = 0;
    int passed = 0;
};

} // namespace

class tst_IniCases : public QObject
{
    Q_OBJECT

private slots:
    void cases_data();
    void cases();
    void cleanupTestCase();

private:
    QMap<QString, Tally> m_tally;
};

void tst_IniCases::cases_data()
{
    QTest::addColumn<QString>("group");
    QTest::addColumn<QJsonObject>("testCase");

    const QDir dir(casesDirectory());
    const QStringList files = dir.entryList({QStringLiteral("*.json")}, QDir::Files, QDir::Name);
    QVERIFY2(!files.isEmpty(), qPrintable(QStringLiteral("no case files in ") + dir.absolutePath()));
    for (const QString &name : files) {
        QFile file(dir.filePath(name));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QJsonParseError error;
        const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &error);
        QVERIFY2(document.isObject(), qPrintable(name + ": " + error.errorString()));
        for (const QJsonValue &testCase : document.object().value(QStringLiteral("cases")).toArray()) {
            const QJsonObject object = testCase.toObject();
            QTest::addRow("%s/%s", qPrintable(name), qPrintable(object.value(QStringLiteral("id")).toString()))
                << name << object;
            ++m_tally[name].cases;
        }
    }
}

void tst_IniCases::cases()
{
    QFETCH(QString, group);
    QFETCH(QJsonObject, testCase);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(testCase.value(QStringLiteral("file")).toString());
    const QJsonValue initial = testCase.value(QStringLiteral("initial"));
    if (!initial.isNull()) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(expectedContent(initial));
    }

    INIFiles ini;
    ini.FileName(path.toStdString());
    int step = 0;
    for (const QJsonValue &opValue : testCase.value(QStringLiteral("ops")).toArray()) {
        const QJsonObject op = opValue.toObject();
        ++step;
        const QByteArray where = QByteArray("op ") + QByteArray::number(step);
        if (op.contains(QStringLiteral("read"))) {
            const QJsonArray args = op.value(QStringLiteral("read")).toArray();
            const std::string got = ini.ReadINI(bytesOf(args[0]), bytesOf(args[1]), bytesOf(args[2]));
            QVERIFY2(got == bytesOf(op.value(QStringLiteral("expect"))),
                     (where + ": read gave \"" + QByteArray::fromStdString(got) + "\"").constData());
        } else if (op.contains(QStringLiteral("write"))) {
            const QJsonArray args = op.value(QStringLiteral("write")).toArray();
            QVERIFY(ini.WriteINI(bytesOf(args[0]), bytesOf(args[1]), bytesOf(args[2])).empty());
            if (op.contains(QStringLiteral("file_after"))) {
                const QJsonValue after = op.value(QStringLiteral("file_after"));
                const auto content = contentOf(path);
                if (after.isNull()) {
                    QVERIFY2(!content, (where + ": the write created a file").constData());
                } else {
                    QVERIFY2(content, (where + ": no file after the write").constData());
                    QCOMPARE(*content, expectedContent(after));
                }
            }
        } else if (op.contains(QStringLiteral("truncate"))) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        } else {
            QFAIL((where + ": unknown operation").constData());
        }
    }
    if (testCase.contains(QStringLiteral("final"))) {
        const QJsonValue final = testCase.value(QStringLiteral("final"));
        const auto content = contentOf(path);
        if (final.isNull())
            QVERIFY2(!content, "a file exists at the end");
        else
            QCOMPARE(content.value_or("<no file>"), expectedContent(final));
    }
    ++m_tally[group].passed;
}

void tst_IniCases::cleanupTestCase()
{
    for (auto it = m_tally.cbegin(); it != m_tally.cend(); ++it)
        qInfo("%s: %d of %d cases passed", qPrintable(it.key()), it->passed, it->cases);
}

QTEST_GUILESS_MAIN(tst_IniCases)
#include "tst_inicases.moc"
