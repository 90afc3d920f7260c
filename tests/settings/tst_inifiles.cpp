// What the accessor promises beyond the recorded cases: number arguments,
// one-step replacement of the file, and a defined result for hostile files,
// and for what is not a file where one should be; and the accounts writers'
// lock.
#include "AccountsFileLayout.h"
#include "AccountsLock.h"
#include "BansFileLayout.h"
#include "INIFiles.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <future>
#include <thread>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<none>");
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), bytes.size());
}

// A full disk's stand-in that works even for root: while it lives, this
// process may write no file beyond `bytes` (0 leaves the limit alone).
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        ::getrlimit(RLIMIT_FSIZE, &m_saved);
        m_savedSignal = std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{bytes ? bytes : m_saved.rlim_cur, m_saved.rlim_max};
        ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit()
    {
        ::setrlimit(RLIMIT_FSIZE, &m_saved);
        std::signal(SIGXFSZ, m_savedSignal);
    }

private:
    rlimit m_saved {};
    void (*m_savedSignal)(int) = nullptr;
};

// What the readers of VentoroServer.ini, user.ini and bans.ini in `dir`
// make of them ("MOTD|accounts status|bans status"), read on a thread of
// its own; empty when that has not returned within 5 s (a read that waits
// for good is left behind, holding only what it shares here).
QString readWithin5s(const QString &dir)
{
    auto readings = std::make_shared<std::promise<QString>>();
    std::future<QString> future = readings->get_future();
    std::thread([readings, path = dir.toStdString()] {
        INIFiles ini, users;
        ini.FileName(path + "/VentoroServer.ini");
        users.FileName(path + "/user.ini");
        readings->set_value(QString::fromStdString(ini.ReadINI("General", "MOTD", "dflt")) + u'|'
                            + QString::number(int(AccountsFileLayout::scan(users).status)) + u'|'
                            + QString::number(int(BansFileLayout::read(path + "/bans.ini").status)));
    }).detach();
    return future.wait_for(std::chrono::seconds(5)) == std::future_status::ready ? future.get() : QString();
}

} // namespace

class tst_INIFiles : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void numbersBecomeDecimalText();
    void writeKeepsPermissionsAndLeavesNoTemporary();
    void writeFollowsSymbolicLink();
    void accountsStayPrivateWithOneWriter();
    void refusedWriteLeavesFileWhole_data();
    void refusedWriteLeavesFileWhole();
    void unchangedValueDoesNotRewrite();
    void valueIsOneLine();
    void argumentsEndAtNul();
    void unreadableFileGivesEmptyTextAndStoresNothing();
    void oversizedFileIsRefused();
    void hostileBytesNeverCrash();
    void blankLinesSurviveARewrite();
    void bomFilesKeepTheirEncoding();
    void notAFileInPlace_data();
    void notAFileInPlace();
    void writersFollowNoStrangersLink_data();
    void writersFollowNoStrangersLink();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_path;
    INIFiles m_ini;
};

void tst_INIFiles::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_path = m_dir->filePath(QStringLiteral("VentoroServer.ini"));
    m_ini.FileName(m_path.toStdString());
}

void tst_INIFiles::numbersBecomeDecimalText()
{
    QCOMPARE(m_ini.ReadINI("General", "Debug", -1), std::string("-1"));
    QCOMPARE(m_ini.ReadINI("General", "ConnectPort", 1500), std::string("1500"));
    m_ini.WriteINI(42, "Pwd", 123456);
    m_ini.WriteINI(-7, std::string("Name"), std::string_view("Neg"));
    QCOMPARE(readFile(m_path), QByteArray("[42]\r\nPwd=123456\r\n[-7]\r\nName=Neg\r\n"));
    QCOMPARE(m_ini.ReadINI(42, "pwd", "No"), std::string("123456"));
    QCOMPARE(m_ini.ReadINI("-7", "NAME", 0), std::string("Neg"));
}

void tst_INIFiles::writeKeepsPermissionsAndLeavesNoTemporary()
{
    writeFile(m_path, "[General]\r\nMOTD=a\r\n");
    QVERIFY(::chmod(m_path.toLocal8Bit().constData(), 0640) == 0);
    m_ini.WriteINI("General", "MOTD", "b");
    struct stat info {};
    QVERIFY(::stat(m_path.toLocal8Bit().constData(), &info) == 0);
    QCOMPARE(int(info.st_mode & 07777), 0640);
    QCOMPARE(readFile(m_path), QByteArray("[General]\r\nMOTD=b\r\n"));
    QCOMPARE(QDir(m_dir->path()).entryList(QDir::Files | QDir::Hidden), QStringList{"VentoroServer.ini"});
}

void tst_INIFiles::writeFollowsSymbolicLink()
{
    const QString target = m_dir->filePath(QStringLiteral("real.ini"));
    writeFile(target, "[General]\r\nMOTD=a\r\n");
    QVERIFY(QFile::link(target, m_path));
    m_ini.WriteINI("General", "MOTD", "b");
    QVERIFY(QFileInfo(m_path).isSymLink());
    QCOMPARE(readFile(target), QByteArray("[General]\r\nMOTD=b\r\n"));
}

// A new accounts file is never readable by others, whatever the umask; the
// lock admits one writer, is closed to other users, and follows no link.
void tst_INIFiles::accountsStayPrivateWithOneWriter()
{
    const std::string users = m_dir->filePath(QStringLiteral("user.ini")).toStdString();
    m_ini.FileName(users);
    m_ini.setNewFileMode(0640);
    const mode_t savedMask = ::umask(0);
    m_ini.WriteINI(7, "Pwd", 7);
    ::umask(savedMask);
    const auto modeOf = [](const std::string &path) {
        struct stat info {};
        return ::lstat(path.c_str(), &info) == 0 ? int(info.st_mode & 07777) : -1;
    };
    QCOMPARE(modeOf(users), 0640);

    const std::string lockFile = AccountsLock::lockFileFor(users);
    {
        const AccountsLock first(users);
        QCOMPARE(first.status(), AccountsLock::Status::Held);
        QCOMPARE(modeOf(lockFile), 0600);
        QCOMPARE(AccountsLock(users, std::chrono::milliseconds(30)).status(), AccountsLock::Status::Busy);
    }
    QVERIFY(AccountsLock(users, std::chrono::milliseconds(0)).held());
    const QString elsewhere = m_dir->filePath(QStringLiteral("elsewhere"));
    QVERIFY(QFile::remove(QString::fromStdString(lockFile)) && QFile::link(elsewhere, QString::fromStdString(lockFile)));
    QCOMPARE(AccountsLock(users).status(), AccountsLock::Status::Unavailable);
    QVERIFY(!QFile::exists(elsewhere));
}

void tst_INIFiles::refusedWriteLeavesFileWhole_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("sizeLimit"); // the most bytes a file may take, 0 for no limit
    QTest::newRow("read-only") << 0444 << 0;
    QTest::newRow("only others may write") << 0466 << 0;
    QTest::newRow("disk full") << 0640 << 16;
}

// Tests run as root, whom a missing write bit does not stop by itself.
void tst_INIFiles::refusedWriteLeavesFileWhole()
{
    QFETCH(int, mode);
    QFETCH(int, sizeLimit);
    const QByteArray before = "[General]\r\nMOTD=a\r\n";
    writeFile(m_path, before);
    QVERIFY(::chmod(m_path.toLocal8Bit().constData(), mode_t(mode)) == 0);
    {
        const FileSizeLimit limit{rlim_t(sizeLimit)};
        m_ini.WriteINI("General", "MOTD", "b");
        QVERIFY(!m_ini.writeEntries({{"General", "MOTD", "c"}, {"General", "Debug", 1}}));
    }
    QCOMPARE(readFile(m_path), before);
    QCOMPARE(QDir(m_dir->path()).entryList(QDir::Files | QDir::Hidden), QStringList{"VentoroServer.ini"});
    QVERIFY(::chmod(m_path.toLocal8Bit().constData(), 0644) == 0);
    QVERIFY(m_ini.writeEntries({{"General", "MOTD", " d "}, {"General", "Debug", 1}}));
    QCOMPARE(readFile(m_path), QByteArray("[General]\r\nMOTD=d \r\nDebug=1\r\n"));
}

void tst_INIFiles::unchangedValueDoesNotRewrite()
{
    const QByteArray layout("; hand-written\n[General]\n  MOTD = same  \n");
    writeFile(m_path, layout);
    m_ini.WriteINI("general", "motd", "same");
    QCOMPARE(readFile(m_path), layout);
}

void tst_INIFiles::valueIsOneLine()
{
    m_ini.WriteINI("1", "Name", "Bob\r\n[2]\r\nPwd=1");
    m_ini.WriteINI("1\n[3]", "Pwd\r", "5");
    QCOMPARE(readFile(m_path), QByteArray("[1]\r\nName=Bob\r\nPwd=5\r\n"));
    QCOMPARE(m_ini.ReadINI("2", "Pwd", "No"), std::string("No"));
}

void tst_INIFiles::argumentsEndAtNul()
{
    m_ini.WriteINI(std::string("Gen\0x", 5), std::string("MOTD\0y", 6), std::string("hi\0there", 8));
    QCOMPARE(readFile(m_path), QByteArray("[Gen]\r\nMOTD=hi\r\n"));
    QCOMPARE(m_ini.ReadINI("Gen", "MOTD", std::string("d\0x", 3)), std::string("hi"));
    QCOMPARE(m_ini.ReadINI("Gen", "Other", std::string("d\0x", 3)), std::string("d"));
}

void tst_INIFiles::unreadableFileGivesEmptyTextAndStoresNothing()
{
    QVERIFY(QDir(m_dir->path()).mkdir(QStringLiteral("VentoroServer.ini")));
    QCOMPARE(m_ini.ReadINI("General", "MOTD", "dflt"), std::string());
    m_ini.WriteINI("General", "MOTD", "x");
    QVERIFY(QFileInfo(m_path).isDir());
    QCOMPARE(QDir(m_dir->path()).entryList(QDir::Files | QDir::Hidden), QStringList());
}

void tst_INIFiles::oversizedFileIsRefused()
{
    QByteArray huge("[General]\r\nMOTD=x\r\n");
    huge.append(QByteArray(17 * 1024 * 1024, 'a'));
    writeFile(m_path, huge);
    QCOMPARE(m_ini.ReadINI("General", "MOTD", "dflt"), std::string());
    m_ini.WriteINI("General", "MOTD", "y");
    QCOMPARE(QFileInfo(m_path).size(), qint64(huge.size()));
}

void tst_INIFiles::hostileBytesNeverCrash()
{
    auto *random = QRandomGenerator::global();
    static const char kAlphabet[] = "[]=\r\n \t\"'\0\x1A\xEF\xBB\xBF\xFF\xFE" "ab";
    const QByteArray alphabet(kAlphabet, sizeof kAlphabet - 1);
    for (int round = 0; round < 300; ++round) {
        QByteArray bytes;
        const int length = int(random->bounded(200));
        for (int i = 0; i < length; ++i)
            bytes.append(random->bounded(2) ? alphabet[int(random->bounded(alphabet.size()))] : char(random->bounded(256)));
        writeFile(m_path, bytes);
        const std::string got = m_ini.ReadINI("a", "b", "dflt");
        QVERIFY(got.size() <= 127);
        m_ini.WriteINI("a", "b", "v");
        QCOMPARE(m_ini.ReadINI("a", "b", "dflt"), std::string("v"));
    }
}

void tst_INIFiles::blankLinesSurviveARewrite()
{
    writeFile(m_path, "[A]\r\nx=1\r\n\r\n[B]\r\ny=2\r\n");
    m_ini.WriteINI("A", "z", "3");
    QCOMPARE(readFile(m_path), QByteArray("[A]\r\nx=1\r\nz=3\r\n\r\n[B]\r\ny=2\r\n"));
}

void tst_INIFiles::bomFilesKeepTheirEncoding()
{
    const QString text = QStringLiteral("[General]\r\nMOTD=x\r\n");
    QByteArray utf16("\xFF\xFE");
    utf16.append(reinterpret_cast<const char *>(text.utf16()), text.size() * 2);
    writeFile(m_path, utf16);
    m_ini.WriteINI("General", "MOTD", "\xE9" "t\xE9");
    const QByteArray after = readFile(m_path);
    QVERIFY(after.startsWith("\xFF\xFE"));
    const QString decoded = QString::fromUtf16(reinterpret_cast<const char16_t *>(after.constData() + 2), (after.size() - 2) / 2);
    QCOMPARE(decoded, QStringLiteral("[General]\r\nMOTD=\u00E9t\u00E9\r\n"));
    QCOMPARE(m_ini.ReadINI("General", "MOTD", ""), std::string("\xE9" "t\xE9"));
    // An 8-bit file whose first line, blanks aside, begins with a mark's bytes.
    writeFile(m_path, "\t\xFF\xFE=1\r\n[General]\r\n");
    m_ini.WriteINI("General", "MOTD", "Hi");
    QCOMPARE(m_ini.ReadINI("General", "MOTD", ""), std::string("Hi"));
    QCOMPARE(m_ini.ReadINI("", "\xFF\xFE", ""), std::string("1"));
}

void tst_INIFiles::notAFileInPlace_data()
{
    QTest::addColumn<QString>("thing");
    QTest::addColumn<QString>("readings"); // statuses: 0 read, 1 missing, 2 unreadable
    QTest::newRow("FIFO") << "fifo" << "|2|2";
    QTest::newRow("directory") << "dir" << "|2|2";
    QTest::newRow("link to a FIFO") << "link:fifo" << "|2|2";
    QTest::newRow("link to a device") << "link:/dev/zero" << "|2|2";
    QTest::newRow("link to a file") << "link:file" << "hi|0|0";
    QTest::newRow("dangling link") << "link:none" << "dflt|1|1";
}

// Each settings file in turn is something else; every reader returns at
// once: what is no regular file reads as unreadable, never as a wait.
void tst_INIFiles::notAFileInPlace()
{
    QFETCH(QString, thing);
    QFETCH(QString, readings);
    const QDir dir(m_dir->path());
    writeFile(dir.filePath(QStringLiteral("file")), "[General]\r\nMOTD=hi\r\n[7]\r\n");
    QCOMPARE(::mkfifo(QFile::encodeName(dir.filePath(QStringLiteral("fifo"))).constData(), 0600), 0);
    for (const char *name : {"VentoroServer.ini", "user.ini", "bans.ini"}) {
        const QString path = dir.filePath(QLatin1String(name));
        if (thing == QLatin1String("fifo"))
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        else if (thing == QLatin1String("dir"))
            QVERIFY(dir.mkdir(QLatin1String(name)));
        else
            QVERIFY(QFile::link(thing.mid(5).startsWith(u'/') ? thing.mid(5) : dir.filePath(thing.mid(5)), path));
    }
    QCOMPARE(readWithin5s(dir.path()), readings);
}

void tst_INIFiles::writersFollowNoStrangersLink_data()
{
    QTest::addColumn<uint>("linkOwner");
    QTest::addColumn<uint>("dirOwner");
    QTest::addColumn<int>("dirMode");
    QTest::addColumn<bool>("followed");
    const uint me = ::geteuid();
    QTest::newRow("own link in own directory") << me << me << 0755 << true;
    QTest::newRow("own link, directory others may write") << me << me << 01777 << false;
    QTest::newRow("a stranger's link") << 65534u << me << 0755 << false;
    QTest::newRow("own link in a stranger's directory") << me << 65534u << 0755 << false;
}

// Root told to write a settings file in a directory another user controls
// must not write wherever a link there points: the write fails, the file
// the link names stays as it was. The lock goes beside the file written.
void tst_INIFiles::writersFollowNoStrangersLink()
{
    QFETCH(uint, linkOwner);
    QFETCH(uint, dirOwner);
    QFETCH(int, dirMode);
    QFETCH(bool, followed);
    if (::geteuid() != 0 && (linkOwner != ::geteuid() || dirOwner != ::geteuid()))
        QSKIP("not root: no other user to own the link or directory");
    const QDir dir(m_dir->path());
    const QString target = dir.filePath(QStringLiteral("target.ini"));
    const QString place = dir.filePath(QStringLiteral("place"));
    const QByteArray before = "[General]\r\nMOTD=a\r\n";
    writeFile(target, before);
    QVERIFY(dir.mkdir(QStringLiteral("place")));
    for (const char *name : {"VentoroServer.ini", "bans.ini"}) {
        const QByteArray link = QFile::encodeName(place + QLatin1Char('/') + QLatin1String(name));
        QCOMPARE(::symlink(QFile::encodeName(target).constData(), link.constData()), 0);
        QCOMPARE(::lchown(link.constData(), linkOwner, uid_t(-1)), 0);
    }
    QCOMPARE(::chown(QFile::encodeName(place).constData(), dirOwner, gid_t(-1)), 0);
    QCOMPARE(::chmod(QFile::encodeName(place).constData(), mode_t(dirMode)), 0);

    m_ini.FileName((place + QStringLiteral("/VentoroServer.ini")).toStdString());
    QCOMPARE(m_ini.writeEntries({{"General", "MOTD", "b"}}), followed);
    QCOMPARE(readFile(target), followed ? QByteArray("[General]\r\nMOTD=b\r\n") : before);
    QCOMPARE(BansFileLayout::write((place + QStringLiteral("/bans.ini")).toStdString(), {}, target.toStdString()),
             followed);
    QCOMPARE(readFile(target).isEmpty(), followed);
    QCOMPARE(QString::fromStdString(AccountsLock::lockFileFor(m_ini.FileName())),
             (followed ? m_dir->path() : place) + QStringLiteral("/.accounts.lock"));
}

QTEST_GUILESS_MAIN(tst_INIFiles)
#include "tst_inifiles.moc"
