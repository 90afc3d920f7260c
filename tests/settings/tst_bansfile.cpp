// bans.ini: what is written reads back the same, what a person wrote by
// hand is read without surprises (and as the settings accessor reads it),
// too many sections are refused whole, and a new file is private to the
// server's group.
#include "BansFileLayout.h"
#include "ProfileDocument.h"

#include <QFile>
#include <QRandomGenerator>
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
        lines << QString::fromStdString(entry.target) + u'|' + QString::fromStdString(entry.reason) + u'|'
                + (entry.expires ? QString::number(*entry.expires) : QStringLiteral("never")) + u'|'
                + QString::number(entry.expiresUnreadable) + QString::fromStdString(entry.expiresText);
    return lines.join(QLatin1Char('\n'));
}

// The sections as the settings accessor's document finds them.
std::vector<Entry> asTheAccessorReads(const std::string &bytes)
{
    const ProfileDocument document = ProfileDocument::parse(bytes);
    std::vector<Entry> entries;
    for (const std::string &name : document.sectionNames()) {
        Entry entry{name, document.value(name, "Reason").value_or(std::string()), std::nullopt, false, {}};
        const std::string expires(ProfileDocument::asReadBack(document.value(name, "Expires").value_or(std::string())));
        if (!expires.empty()) {
            entry.expires = BansFileLayout::timeFromText(expires);
            entry.expiresUnreadable = !entry.expires;
            entry.expiresText = entry.expires ? std::string() : expires;
        }
        entries.push_back(entry);
    }
    return entries;
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
    void readAsTheAccessorReads();
    void limits();
};

void tst_BansFile::roundTrip()
{
    const std::vector<Entry> entries{{"1234", "abusive chat", 1800000000, false, {}},
                                     {"198.51.100.0/24", "", std::nullopt, false, {}},
                                     {"2001:db8::/32", "Gr\xC3\xBC\xC3\x9F" "e [7] = x", 1800086400, false, {}},
                                     {"7", "", std::nullopt, true, "next Tuesday"}};
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
                                 << QStringLiteral("7||never|12100-02-29T00:00:00Z");
    QTest::newRow("hour 24") << QByteArray("[7]\r\nExpires=2027-01-15T24:00:00Z\r\n")
                             << QStringLiteral("7||never|12027-01-15T24:00:00Z");
    QTest::newRow("no Z") << QByteArray("[7]\r\nExpires=2027-01-15T08:00:00\r\n")
                          << QStringLiteral("7||never|12027-01-15T08:00:00");
    QTest::newRow("names in any case once") << QByteArray("[a]\r\nREASON=x\r\nreason=y\r\n[A]\r\nReason=z\r\n")
                                            << QStringLiteral("a|x|never|0");
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
    const bool written = BansFileLayout::write(bans, {{"7", "", std::nullopt, false, {}}}, usersIni);
    ::umask(mask);
    QVERIFY(written);
    struct stat info {};
    QCOMPARE(::stat(bans.c_str(), &info), 0);
    QCOMPARE(int(info.st_mode & 07777), 0640);
    if (root)
        QCOMPARE(int(info.st_gid), 65534);
}

// The scan of its own must find what the accessor's document finds in any
// file: random lines of headings, keys, blanks, NULs and byte-order marks.
void tst_BansFile::readAsTheAccessorReads()
{
    static const char *const kPieces[] = {"[7]", "[a]", " [ A ] ", "[]", "[x]y]", "[", "Reason=r", " reason = s ",
                                          "Reason", "EXPIRES=2027-01-15T08:00:00Z", "Expires=soon", "Expires =",
                                          "=", "k=v", "\r\n", "\n", "\r", "\x1A", "\t"};
    auto *random = QRandomGenerator::global();
    for (int round = 0; round < 3000; ++round) {
        std::string file = round % 7 == 0 ? "\xEF\xBB\xBF" : "";
        for (int piece = int(random->bounded(16)); piece > 0; --piece)
            file += random->bounded(40) == 0 ? std::string(1, '\0') : kPieces[random->bounded(int(std::size(kPieces)))];
        QVERIFY2(described(BansFileLayout::parse(file)) == described(asTheAccessorReads(file)), file.c_str());
    }
}

// More sections than the limit and the file is refused whole; a name
// repeated counts once. (The server's start shows the file's own limits.)
void tst_BansFile::limits()
{
    bool tooMany = false;
    QCOMPARE(BansFileLayout::parse("[1]\n[2]\n[1]\n", 2, &tooMany).size(), size_t(2));
    QVERIFY(!tooMany);
    QVERIFY(BansFileLayout::parse("[1]\n[2]\n[3]\n", 2, &tooMany).empty() && tooMany);
}

QTEST_GUILESS_MAIN(tst_BansFile)
#include "tst_bansfile.moc"
