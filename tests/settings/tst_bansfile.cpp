// bans.ini: what is written reads back the same, what a person wrote by
// hand is read without surprises, and a new file is private to the
// server's group.
#include "BansFileLayout.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

using BansFileLayout::Entry;

namespace {

QString described(const std::vector<Entry> &entries)
{
    QStringList lines;
    for (const Entry &entry : entries)
        lines << QStringLiteral("%1|%2|%3|%4")
                     .arg(QString::fromStdString(entry.target), QString::fromStdString(entry.reason))
                     .arg(entry.expires ? QString::number(*entry.expires) : QStringLiteral("never"))
                     .arg(entry.expiresUnreadable);
    return lines.join(QLatin1Char('\n'));
}

} // namespace

class tst_BansFile : public QObject
{
    Q_OBJECT

private slots:
    void roundTrip();
    void handWritten_data();
    void handWritten();
    void newFileIsPrivate();
};

void tst_BansFile::roundTrip()
{
    const std::vector<Entry> entries{{"1234", "abusive chat", 1800000000, false},
                                     {"198.51.100.0/24", "", std::nullopt, false},
                                     {"2001:db8::/32", "Gr\xC3\xBC\xC3\x9F" "e [7] = x", 1800086400, false}};
    const std::string text = BansFileLayout::serialize(entries);
    QCOMPARE(QByteArray::fromStdString(text).left(66),
             QByteArray("[1234]\r\nReason=abusive chat\r\nExpires=2027-01-15T08:00:00Z\r\n\r\n[198."));
    QCOMPARE(described(BansFileLayout::parse(text)), described(entries));
}

void tst_BansFile::handWritten_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("entries");

    QTest::newRow("LF, blanks, other keys") << QByteArray(" [ 7 ]\n  Reason =  late \nNote=x\n")
                                            << QStringLiteral("7|late|never|0");
    QTest::newRow("a name again counts once") << QByteArray("[7]\r\nReason=first\r\n[7]\r\nReason=second\r\n")
                                              << QStringLiteral("7|first|never|0");
    QTest::newRow("leap day") << QByteArray("[7]\r\nExpires=2000-02-29T23:59:59Z\r\n")
                              << QStringLiteral("7||951868799|0");
    QTest::newRow("no leap day") << QByteArray("[7]\r\nExpires=2100-02-29T00:00:00Z\r\n")
                                 << QStringLiteral("7||never|1");
    QTest::newRow("hour 24") << QByteArray("[7]\r\nExpires=2027-01-15T24:00:00Z\r\n") << QStringLiteral("7||never|1");
    QTest::newRow("no Z") << QByteArray("[7]\r\nExpires=2027-01-15T08:00:00\r\n") << QStringLiteral("7||never|1");
    QTest::newRow("empty expiry") << QByteArray("[7]\r\nExpires=\r\n") << QStringLiteral("7||never|0");
}

void tst_BansFile::handWritten()
{
    QFETCH(QByteArray, file);
    QFETCH(QString, entries);
    QCOMPARE(described(BansFileLayout::parse(file.toStdString())), entries);
}

// Reasons may name people: a new bans.ini is 0640 whatever the umask, and
// takes the group of user.ini, with which the server reads the accounts.
void tst_BansFile::newFileIsPrivate()
{
    QTemporaryDir dir;
    const std::string usersIni = dir.filePath(QStringLiteral("user.ini")).toStdString();
    QFile(QString::fromStdString(usersIni)).open(QIODevice::WriteOnly);
    const bool root = ::geteuid() == 0;
    if (root)
        QCOMPARE(::chown(usersIni.c_str(), uid_t(-1), 65534), 0);
    const std::string bans = BansFileLayout::pathBeside(usersIni);
    const mode_t mask = ::umask(0);
    const bool written = BansFileLayout::write(bans, {{"7", "", std::nullopt, false}}, usersIni);
    ::umask(mask);
    QVERIFY(written);
    struct stat info {};
    QCOMPARE(::stat(bans.c_str(), &info), 0);
    QCOMPARE(int(info.st_mode & 07777), 0640);
    if (root)
        QCOMPARE(int(info.st_gid), 65534);
}

QTEST_GUILESS_MAIN(tst_BansFile)
#include "tst_bansfile.moc"
