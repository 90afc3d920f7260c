// The accounts file logic of the configuration tool, without its window:
// section scan, pilot IDs, listing, save checks, deletion.
#include "AccountDeletion.h"
#include "AccountList.h"
#include "AccountSave.h"
#include "ConfigFiles.h"
#include "ServerOptions.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// A literal with NULs inside, all of it.
template<size_t N>
QByteArray raw(const char (&literal)[N])
{
    return QByteArray(literal, N - 1);
}

std::string bytesOf(const QJsonValue &value)
{
    return value.toString().toLatin1().toStdString();
}

} // namespace

class tst_ConfigCore : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void sectionScan_data();
    void sectionScan();
    void pilotIds();
    void listingSortsAndSkipsNonNumbers();
    void saveCheck_data();
    void saveCheck();
    void recordedDeletions_data();
    void recordedDeletions();
    void deletion_data();
    void deletion();
    void laterOptions_data();
    void laterOptions();
    void changeNote_data();
    void changeNote();

private:
    void writeUsers(const QByteArray &content);
    QByteArray users() const;

    std::unique_ptr<QTemporaryDir> m_dir;
    ConfigFiles::Context m_context;
};

void tst_ConfigCore::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    ConfigFiles::bindSettingsFiles(m_context, QFile::encodeName(m_dir->path()).toStdString());
    QCOMPARE(m_context.UsersIni.FileName(), QFile::encodeName(m_dir->filePath("user.ini")).toStdString());
}

void tst_ConfigCore::writeUsers(const QByteArray &content)
{
    QFile file(QString::fromStdString(m_context.UsersIni.FileName()));
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(content);
}

QByteArray tst_ConfigCore::users() const
{
    QFile file(QString::fromStdString(m_context.UsersIni.FileName()));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<no file>");
}

void tst_ConfigCore::sectionScan_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QByteArrayList>("names");
    QTest::newRow("CR LF") << QByteArray("[1]\r\nPwd=1\r\n[2]\r\n") << QByteArrayList{"1", "2"};
    QTest::newRow("LF only") << QByteArray("[1]\nPwd=1\n[2]\n") << QByteArrayList{"1", "2"};
    QTest::newRow("CR only") << QByteArray("[1]\r[2]") << QByteArrayList{"1", "2"};
    QTest::newRow("blanks kept, text before") << QByteArray("[ 42 ]\r\nx[55]\r\n") << QByteArrayList{" 42 ", "55"};
    QTest::newRow("brackets in a value") << QByteArray("Name=Bob [7]\r\n") << QByteArrayList{"7"};
    QTest::newRow("first ] before [") << QByteArray("]x[9]\r\n][\r\n") << QByteArrayList{};
    QTest::newRow("two closers, none, empty") << QByteArray("[4]2]\r\n[5\r\n[]") << QByteArrayList{"4", ""};
    QTest::newRow("duplicates") << QByteArray("[1]\r\n[1]\r\n") << QByteArrayList{"1", "1"};
    QTest::newRow("UTF-16 with mark") << raw("\xFF\xFE[\0" "1\0]\0\r\0\n\0[\0" "2\0]\0") << QByteArrayList{"1", "2"};
    QTest::newRow("NUL and 8-bit bytes") << raw("[a\0\xE9]") << QByteArrayList{raw("a\0\xE9")};
}

void tst_ConfigCore::sectionScan()
{
    QFETCH(QByteArray, file);
    QFETCH(QByteArrayList, names);
    QByteArrayList scanned;
    for (const std::string &name : AccountsFileLayout::sectionNames(file.toStdString()))
        scanned << QByteArray::fromStdString(name);
    QCOMPARE(scanned, names);
}

void tst_ConfigCore::pilotIds()
{
    const std::pair<const char *, std::optional<std::int32_t>> cases[] = {
        {"0042", 42}, {" 42 ", 42}, {"2147483647", 2147483647}, {"-2147483648", INT32_MIN}, {"2147483648", {}},
        {"99999999999999999999", {}}, {"12abc", {}}, {"1.5", {}}, {"-", {}}, {"", {}}};
    for (const auto &[name, number] : cases)
        QVERIFY2(AccountsFileLayout::sectionNumber(name) == number, name);
    QCOMPARE(ConfigFiles::settingsFilePath("/", "user.ini"), std::string("/user.ini"));
}

void tst_ConfigCore::listingSortsAndSkipsNonNumbers()
{
    writeUsers("[1234]\r\nName=Ann\r\n[77]\r\nPwd=22\r\n[ 42 ]\r\nName=bob\r\n[abc]\r\nName=Zed\r\n[99999999999]\r\nName=Big\r\n");
    QStringList entries;
    for (const AccountList::Entry &entry : AccountList::listAccounts(m_context.UsersIni).entries)
        entries << entry.text + "=" + QString::number(entry.number);
    QCOMPARE(entries, (QStringList{"Ann ID:1234=1234", "bob ID: 42 =42", "Unknown ID:77=77"}));

    QFile::remove(QString::fromStdString(m_context.UsersIni.FileName()));
    QCOMPARE(AccountList::listAccounts(m_context.UsersIni).status, AccountsFileLayout::FileStatus::Missing);
    QVERIFY(QDir(m_dir->path()).mkdir("user.ini"));
    QCOMPARE(AccountList::listAccounts(m_context.UsersIni).status, AccountsFileLayout::FileStatus::Unreadable);
}

// Values only a hand-edited file can put into the boxes; the window test
// covers what can be typed.
void tst_ConfigCore::saveCheck_data()
{
    QTest::addColumn<QString>("pwd");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("result"); // Pwd as written, or the refusal
    QTest::newRow("text after the digits") << "34abc" << "Ann" << "34";
    QTest::newRow("negative") << "-5" << "Ann" << "-5";
    QTest::newRow("not a number") << "Unknown" << "Ann" << "Pilot ID and Password cannot be Nil";
    QTest::newRow("fraction") << "1.5" << "Ann" << "Pilot ID and Password must be whole numbers";
    QTest::newRow("largest") << "2147483647" << "Ann" << "2147483647";
    QTest::newRow("beyond 32 bits") << "2147483648" << "Ann" << "Pilot ID and Password must be at most 2147483647";
    QTest::newRow("below 32 bits") << "-9999999999" << "Ann" << "Pilot ID and Password must be at least -2147483648";
    QTest::newRow("heading in the name") << "5" << "Bob [7]" << "Pilot Name cannot contain [ or ]";
    QTest::newRow("one bracket") << "5" << "a]" << "Pilot Name cannot contain [ or ]";
}

void tst_ConfigCore::saveCheck()
{
    QFETCH(QString, pwd);
    QFETCH(QString, name);
    QFETCH(QString, result);
    const AccountSave::Check check = AccountSave::check(QStringLiteral("7"), pwd, name);
    QCOMPARE(check.refusal.value_or(QString::fromStdString(check.Pwd)), result);
}

// The recorded deletions: the file ends as the recorded writes leave it.
void tst_ConfigCore::recordedDeletions_data()
{
    QTest::addColumn<QJsonObject>("recorded");
    QTest::addColumn<QString>("deleted");
    const QHash<QString, QString> deleted{{"flow-delete-duplicates", "1234"}, {"flow-delete-missing-keys", "1"},
                                          {"flow-delete-odd-headings", "1"}, {"flow-delete-unknown-id", "999"}};
    QFile file(QStringLiteral(VENTORO_INI_CASES_DIR "/flow.json"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    for (const QJsonValue &value : QJsonDocument::fromJson(file.readAll()).object().value("cases").toArray()) {
        const QString id = value.toObject().value("id").toString();
        if (id.startsWith("flow-delete-"))
            QTest::newRow(qPrintable(id)) << value.toObject() << deleted.value(id);
    }
}

void tst_ConfigCore::recordedDeletions()
{
    QFETCH(QJsonObject, recorded);
    QFETCH(QString, deleted);
    QVERIFY2(!deleted.isEmpty(), "a new recorded deletion: name the ID it deletes");
    INIFiles replay;
    replay.FileName(m_dir->filePath("replay.ini").toStdString());
    for (const QJsonValue &op : recorded.value("ops").toArray()) {
        const QJsonArray write = op.toObject().value("write").toArray();
        if (!write.isEmpty())
            replay.WriteINI(bytesOf(write[0]), bytesOf(write[1]), bytesOf(write[2]));
    }
    QFile replayed(QString::fromStdString(replay.FileName()));
    const QByteArray expected = replayed.open(QIODevice::ReadOnly) ? replayed.readAll() : QByteArray();
    if (recorded.contains("final"))
        QCOMPARE(expected, recorded.value("final").toString().toLatin1());

    writeUsers(recorded.value("initial").toString().toLatin1());
    QCOMPARE(AccountDeletion::deleteAccount(m_context.UsersIni, deleted.toStdString()), AccountDeletion::Outcome::Rewritten);
    QCOMPARE(users(), expected);
}

void tst_ConfigCore::deletion_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QString>("deleted");
    QTest::addColumn<int>("outcome");
    QTest::addColumn<QByteArray>("after");
    const int rewritten = int(AccountDeletion::Outcome::Rewritten);
    QTest::newRow("LF-only file keeps every other account")
        << QByteArray("[1]\nPwd=1\nName=A\n[2]\nPwd=2\nName=B\n[3]\nPwd=3\nName=C\n") << "2" << rewritten
        << QByteArray("[1]\r\nPwd=1\r\nName=A\r\n[3]\r\nPwd=3\r\nName=C\r\n");
    QTest::newRow("the text counts, not the number")
        << QByteArray("[0042]\r\nPwd=1\r\nName=Z\r\n") << "42" << rewritten << QByteArray("[0042]\r\nPwd=1\r\nName=Z\r\n");
    QTest::newRow("values that need their quotes read as before")
        << QByteArray("[1]\r\nPwd=\"\"5\"\"\r\nName=\"Ann  \"\r\n[2]\r\nPwd=2\r\n[3]\r\nName='Cy'\r\n") << "2"
        << rewritten << QByteArray("[1]\r\nPwd=\"\"5\"\"\r\nName=\"Ann  \"\r\n[3]\r\nPwd=Unknown\r\nName=Cy\r\n");
    // Cut to the 127 characters a read gives, ending in blanks that only a
    // padding blank beyond the cut keeps.
    const QByteArray cut = QByteArray(120, 'p') + " \t \t \t ";
    QTest::newRow("cut value ending in blanks") << "[1]\r\nPwd=\"" + cut + "xyz\"\r\n[2]\r\n" << "2" << rewritten
                                                << "[1]\r\nPwd=\"" + cut + " \"\r\nName=Unknown\r\n";
    QTest::newRow("last account") << QByteArray("[5]\r\nPwd=5\r\nName=E\r\n") << "5" << rewritten << QByteArray();
    QTest::newRow("no file") << QByteArray() << "5" << int(AccountDeletion::Outcome::NoFile) << QByteArray("<no file>");
}

void tst_ConfigCore::deletion()
{
    QFETCH(QByteArray, before);
    QFETCH(QString, deleted);
    QFETCH(int, outcome);
    QFETCH(QByteArray, after);
    if (!before.isEmpty())
        writeUsers(before);
    QCOMPARE(int(AccountDeletion::deleteAccount(m_context.UsersIni, deleted.toStdString())), outcome);
    QCOMPARE(users(), after);
    // No scratch file is left behind.
    QCOMPARE(QDir(m_dir->path()).entryList(QDir::Files | QDir::Hidden).size(), before.isEmpty() ? 0 : 1);
}


// ReplyToSourcePort, MaxPilots, HttpPort and HttpAddress: loaded as the
// server takes them, refused in the server's words when it could not take
// them, written in its form, and every other key kept where it stands.
void tst_ConfigCore::laterOptions_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QString>("edit"); // reply|max|port|address, "-" keeps what was loaded
    QTest::addColumn<QString>("outcome"); // the refusal, or the section after the save

    const QByteArray kept = "[General]\r\nMOTD=Hi\r\nSkyUrl=nats://x\r\nMaxPilots= 7 \r\n";
    QTest::newRow("missing keys stay missing") << QByteArray("[General]\r\nMOTD=Hi\r\n") << "-|-|-|-"
        << "MOTD=Hi|Debug=1|DebugLowLevel=1|ShowScreen=1";
    QTest::newRow("all four set, unknown key kept") << kept << "1|0250|8080| ::1 "
        << "MOTD=Hi|SkyUrl=nats://x|MaxPilots=250|Debug=1|DebugLowLevel=1|ShowScreen=1|ReplyToSourcePort=1|"
           "HttpPort=8080|HttpAddress=::1";
    QTest::newRow("present key kept at its default") << kept << "-|0|-|-"
        << "MOTD=Hi|SkyUrl=nats://x|MaxPilots=0|Debug=1|DebugLowLevel=1|ShowScreen=1";
    QTest::newRow("limit not a number") << kept << "-|abc|-|-"
        << "Nothing was saved. The server would say: \"MaxPilots\" in VentoroServer.ini holds \"abc\", which is no "
           "whole number from 0; taking it as no limit";
    QTest::newRow("port too large") << kept << "-|-|70000|-"
        << "Nothing was saved. The server would say: \"HttpPort\" in VentoroServer.ini holds \"70000\", which is no "
           "port number from 0 to 65535; the HTTP status page is off";
    QTest::newRow("address a name") << kept << "-|-|80|localhost"
        << "Nothing was saved. The server would say: \"HttpAddress\" in VentoroServer.ini holds \"localhost\", which "
           "is no IPv4 or IPv6 address (such as 127.0.0.1, 0.0.0.0 or ::1); the HTTP status page is off";
    QTest::newRow("address with a port") << kept << "-|-|80|127.0.0.1:80" << "Nothing was saved. The server would say: "
        "\"HttpAddress\" in VentoroServer.ini holds \"127.0.0.1:80\", which is no IPv4 or IPv6 address (such as "
        "127.0.0.1, 0.0.0.0 or ::1); the HTTP status page is off";
    QTest::newRow("any address while the page is off") << kept << "-|-|0|localhost"
        << "MOTD=Hi|SkyUrl=nats://x|MaxPilots=7|Debug=1|DebugLowLevel=1|ShowScreen=1|HttpAddress=localhost";
    QTest::newRow("odd reply switch shown as off") << QByteArray("[General]\r\nReplyToSourcePort=yes\r\n") << "-|-|-|-"
        << "ReplyToSourcePort=0|MOTD=Hi|Debug=1|DebugLowLevel=1|ShowScreen=1";
}

void tst_ConfigCore::laterOptions()
{
    QFETCH(QByteArray, before);
    QFETCH(QString, edit);
    QFETCH(QString, outcome);
    QFile file(QString::fromStdString(m_context.ServerIni.FileName()));
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(before) == before.size());
    file.close();
    ServerOptions::Options options = ServerOptions::load(m_context.ServerIni);
    options.MOTD = QStringLiteral("Hi");
    const QStringList edits = edit.split(QLatin1Char('|'));
    QString *const boxes[] = {&options.MaxPilots, &options.HttpPort, &options.HttpAddress};
    if (edits[0] != QLatin1String("-"))
        options.ReplyToSourcePort = edits[0] == QLatin1String("1");
    for (int i = 0; i < 3; ++i) {
        if (edits[i + 1] != QLatin1String("-"))
            *boxes[i] = edits[i + 1];
    }
    if (const std::optional<QString> refusal = ServerOptions::check(options)) {
        QCOMPARE(*refusal, outcome);
        return;
    }
    QVERIFY(ServerOptions::save(m_context.ServerIni, options));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(QString::fromUtf8(file.readAll()), "[General]\r\n" + outcome.replace(QLatin1Char('|'), QStringLiteral("\r\n")) + "\r\n");
}

void tst_ConfigCore::changeNote_data()
{
    QTest::addColumn<QString>("change"); // which field changes
    QTest::addColumn<QString>("note");
    QTest::newRow("nothing") << "" << "";
    QTest::newRow("message of the day") << "MOTD" << "reload";
    QTest::newRow("pilot limit") << "MaxPilots" << "reload";
    QTest::newRow("limit written otherwise") << "MaxPilots 007" << "";
    QTest::newRow("status page port") << "HttpPort" << "HttpPort only after a restart";
    QTest::newRow("reply mode and screen") << "ReplyToSourcePort ShowScreen" << "ShowScreen, ReplyToSourcePort only after";
    QTest::newRow("low level while logging is off") << "DebugLowLevel" << "";
}

void tst_ConfigCore::changeNote()
{
    QFETCH(QString, change);
    QFETCH(QString, note);
    const ServerOptions::Options before{"Hi", false, false, true, false, "7", "0", "127.0.0.1"};
    ServerOptions::Options after = before;
    after.MOTD = change.contains("MOTD") ? "Hello" : after.MOTD;
    after.MaxPilots = change.contains("007") ? "007" : change.contains("MaxPilots") ? "9" : after.MaxPilots;
    after.HttpPort = change.contains("HttpPort") ? "8080" : after.HttpPort;
    after.ReplyToSourcePort = change.contains("ReplyToSourcePort");
    after.ShowScreen = !change.contains("ShowScreen");
    after.DebugLowLevel = change.contains("DebugLowLevel");
    const QString text = ServerOptions::changeNote(before, after);
    QVERIFY2(note.isEmpty() ? text.isEmpty() : text.contains(note), qPrintable(text));
}

QTEST_GUILESS_MAIN(tst_ConfigCore)
#include "tst_configcore.moc"
