// The accounts file and options logic of the configuration tool, without
// its window: section scan, listing, save checks, deletion, switches.
#include "AccountDeletion.h"
#include "AccountList.h"
#include "AccountSave.h"
#include "ConfigModule.h"
#include "SectionScan.h"
#include "ServerOptions.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

namespace {

std::string bytes(const QByteArray &data)
{
    return data.toStdString();
}

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

QStringList asList(const std::vector<std::string> &names)
{
    QStringList list;
    for (const std::string &name : names)
        list << QString::fromLatin1(name.data(), qsizetype(name.size()));
    return list;
}

} // namespace

class tst_ConfigCore : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void settingsFilePath_data();
    void settingsFilePath();
    void sectionScan_data();
    void sectionScan();
    void sectionNumber_data();
    void sectionNumber();
    void listingSortsAndSkipsNonNumbers();
    void saveCheck_data();
    void saveCheck();
    void recordedDeletions_data();
    void recordedDeletions();
    void deletion_data();
    void deletion();
    void switches_data();
    void switches();
    void optionsFromMissingFileAreTheServerDefaults();

private:
    void writeUsers(const QByteArray &content);
    QByteArray users() const;

    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_path;
    ConfigModule::Context m_context;
};

void tst_ConfigCore::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    ConfigModule::bindSettingsFiles(m_context, QFile::encodeName(m_dir->path()).toStdString());
    m_path = m_dir->filePath(QStringLiteral("user.ini"));
}

void tst_ConfigCore::writeUsers(const QByteArray &content)
{
    QFile file(m_path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(content);
}

QByteArray tst_ConfigCore::users() const
{
    QFile file(m_path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<no file>");
}

void tst_ConfigCore::settingsFilePath_data()
{
    QTest::addColumn<QString>("directory");
    QTest::addColumn<QString>("path");
    QTest::newRow("program directory") << "/opt/ventoro" << "/opt/ventoro/user.ini";
    QTest::newRow("root directory") << "/" << "/user.ini";
}

void tst_ConfigCore::settingsFilePath()
{
    QFETCH(QString, directory);
    QFETCH(QString, path);
    QCOMPARE(QString::fromStdString(ConfigModule::settingsFilePath(directory.toStdString(), "user.ini")), path);
}

void tst_ConfigCore::sectionScan_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QStringList>("names");
    QTest::newRow("CR LF") << QByteArray("[1]\r\nPwd=1\r\n[2]\r\n") << QStringList{"1", "2"};
    QTest::newRow("LF only") << QByteArray("[1]\nPwd=1\n[2]\n") << QStringList{"1", "2"};
    QTest::newRow("CR only") << QByteArray("[1]\r[2]") << QStringList{"1", "2"};
    QTest::newRow("blanks kept, text before") << QByteArray("[ 42 ]\r\nx[55]\r\n") << QStringList{" 42 ", "55"};
    QTest::newRow("brackets in a value") << QByteArray("Name=Bob [7]\r\n") << QStringList{"7"};
    QTest::newRow("first ] before [") << QByteArray("]x[9]\r\n][\r\n") << QStringList{};
    QTest::newRow("two closers") << QByteArray("[4]2]\r\n") << QStringList{"4"};
    QTest::newRow("no closer") << QByteArray("[5\r\n[]\r\n") << QStringList{""};
    QTest::newRow("duplicates") << QByteArray("[1]\r\n[1]\r\n") << QStringList{"1", "1"};
    QTest::newRow("UTF-16 with mark") << raw("\xFF\xFE[\0" "1\0]\0\r\0\n\0[\0" "2\0]\0") << QStringList{"1", "2"};
    QTest::newRow("NUL and 8-bit bytes") << raw("[a\0\xE9]") << QStringList{QString::fromLatin1("a\0\xE9", 3)};
}

void tst_ConfigCore::sectionScan()
{
    QFETCH(QByteArray, file);
    QFETCH(QStringList, names);
    QCOMPARE(asList(SectionScan::sectionNames(bytes(file))), names);
}

void tst_ConfigCore::sectionNumber_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("number"); // -1 here: not a pilot ID
    QTest::newRow("plain") << "1234" << 1234;
    QTest::newRow("leading zeros") << "0042" << 42;
    QTest::newRow("blanks") << " 42 " << 42;
    QTest::newRow("largest") << "2147483647" << 2147483647;
    QTest::newRow("too large") << "2147483648" << -1;
    QTest::newRow("very long") << "99999999999999999999999" << -1;
    QTest::newRow("smallest") << "-2147483648" << int(-2147483648LL);
    QTest::newRow("letters") << "12abc" << -1;
    QTest::newRow("fraction") << "1.5" << -1;
    QTest::newRow("sign only") << "-" << -1;
    QTest::newRow("empty") << "" << -1;
}

void tst_ConfigCore::sectionNumber()
{
    QFETCH(QString, name);
    QFETCH(int, number);
    const std::optional<std::int32_t> got = AccountList::sectionNumber(name.toStdString());
    QCOMPARE(got.value_or(-1), number);
}

void tst_ConfigCore::listingSortsAndSkipsNonNumbers()
{
    writeUsers("[1234]\r\nName=Ann\r\n[77]\r\nPwd=22\r\n[ 42 ]\r\nName=bob\r\n[abc]\r\nName=Zed\r\n"
               "[99999999999]\r\nName=Big\r\n");
    const AccountList::Listing listing = AccountList::listAccounts(m_context.UsersIni);
    QStringList texts;
    QList<int> numbers;
    for (const AccountList::Entry &entry : listing.entries) {
        texts << entry.text;
        numbers << entry.number;
    }
    QCOMPARE(texts, (QStringList{"Ann ID:1234", "bob ID: 42 ", "Unknown ID:77"}));
    QCOMPARE(numbers, (QList<int>{1234, 42, 77}));

    QFile::remove(m_path);
    QCOMPARE(AccountList::listAccounts(m_context.UsersIni).status, SectionScan::FileStatus::Missing);
    QVERIFY(QDir(m_dir->path()).mkdir(QStringLiteral("user.ini")));
    QCOMPARE(AccountList::listAccounts(m_context.UsersIni).status, SectionScan::FileStatus::Unreadable);
}

void tst_ConfigCore::saveCheck_data()
{
    QTest::addColumn<QString>("id");
    QTest::addColumn<QString>("pwd");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("refusal");
    QTest::addColumn<QString>("written"); // section/Pwd/Name
    const QString nil = "Pilot ID and Password cannot be Nil";
    QTest::newRow("new account") << "1234" << "99" << "Ann" << "" << "1234/99/Ann";
    QTest::newRow("leading zeros dropped") << "0042" << "007" << " Bo " << "" << "42/7/ Bo ";
    QTest::newRow("text after the digits") << "12" << "34abc" << "Cy" << "" << "12/34/Cy";
    QTest::newRow("empty ID") << "" << "1" << "Ann" << nil << "";
    QTest::newRow("zeros only") << "1" << "000" << "Ann" << nil << "";
    QTest::newRow("not a number") << "1" << "Unknown" << "Ann" << nil << "";
    QTest::newRow("fraction") << "1" << "1.5" << "Ann" << "Pilot ID and Password must be whole numbers" << "";
    QTest::newRow("beyond 32 bits") << "1" << "9999999999" << "Ann" << "Pilot ID and Password must be whole numbers" << "";
    QTest::newRow("blank name") << "1" << "1" << "   " << "Pilot Name is mandatory" << "";
    QTest::newRow("nil before name") << "0" << "1" << "" << nil << "";
}

void tst_ConfigCore::saveCheck()
{
    QFETCH(QString, id);
    QFETCH(QString, pwd);
    QFETCH(QString, name);
    QFETCH(QString, refusal);
    QFETCH(QString, written);
    const AccountSave::Check check = AccountSave::check(id, pwd, name);
    QCOMPARE(check.refusal.value_or(QString()), refusal);
    if (!check.refusal)
        QCOMPARE(QString::fromStdString(check.section + "/" + check.Pwd + "/" + check.Name), written);
}

// The recorded deletions: the accounts kept are the recorded reads and
// writes, and the file ends as recorded.
void tst_ConfigCore::recordedDeletions_data()
{
    QTest::addColumn<QJsonObject>("recorded");
    QTest::addColumn<QString>("deleted");
    QFile file(QStringLiteral(VENTORO_INI_CASES_DIR "/flow.json"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QHash<QString, QString> deleted{{"flow-delete-duplicates", "1234"},
                                          {"flow-delete-missing-keys", "1"},
                                          {"flow-delete-odd-headings", "1"},
                                          {"flow-delete-unknown-id", "999"}};
    int rows = 0;
    for (const QJsonValue &value : QJsonDocument::fromJson(file.readAll()).object().value("cases").toArray()) {
        const QString id = value.toObject().value("id").toString();
        if (id.startsWith("flow-delete-")) {
            QTest::newRow(qPrintable(id)) << value.toObject() << deleted.value(id);
            ++rows;
        }
    }
    QCOMPARE(rows, int(deleted.size()));
}

void tst_ConfigCore::recordedDeletions()
{
    QFETCH(QJsonObject, recorded);
    QFETCH(QString, deleted);
    QVERIFY(!deleted.isEmpty());
    writeUsers(recorded.value("initial").toString().toLatin1());

    std::vector<std::string> writes;
    INIFiles replay;
    replay.FileName(m_dir->filePath("replay.ini").toStdString());
    for (const QJsonValue &op : recorded.value("ops").toArray()) {
        const QJsonArray write = op.toObject().value("write").toArray();
        if (!write.isEmpty()) {
            writes.push_back(bytesOf(write[0]) + "|" + bytesOf(write[1]) + "|" + bytesOf(write[2]));
            replay.WriteINI(bytesOf(write[0]), bytesOf(write[1]), bytesOf(write[2]));
        }
    }
    std::vector<std::string> kept;
    const auto sections = SectionScan::scan(m_context.UsersIni).names;
    for (const auto &account : AccountDeletion::keptAccounts(m_context.UsersIni, sections, deleted.toStdString())) {
        kept.push_back(account.section + "|Pwd|" + account.Pwd);
        kept.push_back(account.section + "|Name|" + account.Name);
    }
    QCOMPARE(asList(kept), asList(writes));

    QCOMPARE(AccountDeletion::deleteAccount(m_context.UsersIni, deleted.toStdString()),
             AccountDeletion::Outcome::Rewritten);
    QFile replayed(QString::fromStdString(replay.FileName()));
    QVERIFY(replayed.open(QIODevice::ReadOnly));
    const QByteArray expected = recorded.contains("final") ? recorded.value("final").toString().toLatin1() : replayed.readAll();
    QCOMPARE(users(), expected);
}

void tst_ConfigCore::deletion_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QString>("deleted");
    QTest::addColumn<int>("outcome");
    QTest::addColumn<QByteArray>("after");
    const int rewritten = int(AccountDeletion::Outcome::Rewritten);
    QTest::newRow("comments, extra keys, Name first")
        << QByteArray("; pilots\r\n[1]\r\nPwd=1\r\nName=A\r\nExtra=x\r\n\r\n[2]\r\nName=B\r\nPwd=2\r\nRank=3\r\n")
        << "1" << rewritten << QByteArray("[2]\r\nPwd=2\r\nName=B\r\n");
    QTest::newRow("LF-only file keeps every other account")
        << QByteArray("[1]\nPwd=1\nName=A\n[2]\nPwd=2\nName=B\n[3]\nPwd=3\nName=C\n") << "2" << rewritten
        << QByteArray("[1]\r\nPwd=1\r\nName=A\r\n[3]\r\nPwd=3\r\nName=C\r\n");
    QTest::newRow("the text counts, not the number") << QByteArray("[0042]\r\nPwd=1\r\nName=Z\r\n") << "42" << rewritten
                                                     << QByteArray("[0042]\r\nPwd=1\r\nName=Z\r\n");
    QTest::newRow("last account") << QByteArray("[5]\r\nPwd=5\r\nName=E\r\n") << "5" << rewritten << QByteArray();
    QTest::newRow("no file") << QByteArray("<no file>") << "5" << int(AccountDeletion::Outcome::NoFile)
                             << QByteArray("<no file>");
}

void tst_ConfigCore::deletion()
{
    QFETCH(QByteArray, before);
    QFETCH(QString, deleted);
    QFETCH(int, outcome);
    QFETCH(QByteArray, after);
    if (before != "<no file>")
        writeUsers(before);
    QCOMPARE(int(AccountDeletion::deleteAccount(m_context.UsersIni, deleted.toStdString())), outcome);
    QCOMPARE(users(), after);
    QCOMPARE(QDir(m_dir->path()).entryList(QDir::Hidden | QDir::Files).size(), after == "<no file>" ? 0 : 1);
}

void tst_ConfigCore::switches_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("logging");
    QTest::addColumn<bool>("screen");
    QTest::newRow("1") << "1" << true << true;
    QTest::newRow("0") << "0" << false << false;
    QTest::newRow("the server's default -1") << "-1" << true << true;
    QTest::newRow("2") << "2" << true << true;
    QTest::newRow("empty") << "" << true << false;
    QTest::newRow("other text") << "yes" << true << false;
    QTest::newRow("False") << "False" << false << false;
    QTest::newRow("number then text") << "1x" << true << true;
}

void tst_ConfigCore::switches()
{
    QFETCH(QString, text);
    QFETCH(bool, logging);
    QFETCH(bool, screen);
    QCOMPARE(ServerOptions::loggingSwitch(text.toStdString()), logging);
    QCOMPARE(ServerOptions::screenSwitch(text.toStdString()), screen);
}

void tst_ConfigCore::optionsFromMissingFileAreTheServerDefaults()
{
    const ServerOptions::Options options = ServerOptions::load(m_context.ServerIni);
    QCOMPARE(options.MOTD, QString());
    QVERIFY(options.Debug && options.DebugLowLevel && options.ShowScreen);
    QVERIFY(!QFile::exists(QString::fromStdString(m_context.ServerIni.FileName())));
}

QTEST_GUILESS_MAIN(tst_ConfigCore)
#include "tst_configcore.moc"
