// The window driven as an operator drives it: typing, clicking, access keys.
// Every message box is answered by the test through the injected function.
#include "AccountsLock.h"
#include "ConfigWindow.h"
#include "ProductLabel.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QScreen>
#include <QTemporaryDir>
#include <QtTest>

class tst_ConfigWindow : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void opensWithSortedAccountsAndShowsOne();
    void save_data();
    void save();
    void deleteAsksThenRewrites();
    void keyFilter_data();
    void keyFilter();
    void contextMenuPasteIsFiltered();
    void onlyDigitsEnterByAnyRoute();
    void loadedLongValueKeepsTheLimit();
    void unwrittenFileIsReported_data();
    void unwrittenFileIsReported();
    void accessKeysAndTabOrder();
    void options_data();
    void options();
    void loggingBoxResetsLowLevelAndOkNeedsMotd();
    void laterOptionsOnTheBottomRow_data();
    void laterOptionsOnTheBottomRow();

private:
    void write(const QString &name, const QByteArray &content);
    QByteArray read(const QString &name) const;
    void open();
    template<typename T> T *child(const char *name) const { return m_window->findChild<T *>(name); }
    QLineEdit *box(const char *name) const { return child<QLineEdit>(name); }
    void click(const char *button) { QTest::mouseClick(child<QPushButton>(button), Qt::LeftButton); }
    QString states(const QStringList &names) const;
    QStringList listTexts() const;
    void clickEntry(const QString &text);

    std::unique_ptr<QTemporaryDir> m_dir;
    ConfigFiles::Context m_context;
    std::unique_ptr<ConfigWindow> m_window;
    QStringList m_prompts; // "title: prompt", one per message box
    MessageBoxCall m_lastCall;
    QMessageBox::StandardButton m_answer = QMessageBox::Ok;
};

void tst_ConfigWindow::init()
{
    m_window.reset();
    m_prompts.clear();
    m_answer = QMessageBox::Ok;
    m_context.accountsLockWait = std::chrono::milliseconds(50);
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    ConfigFiles::bindSettingsFiles(m_context, QFile::encodeName(m_dir->path()).toStdString());
}

void tst_ConfigWindow::write(const QString &name, const QByteArray &content)
{
    QFile file(m_dir->filePath(name));
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(content);
}

QByteArray tst_ConfigWindow::read(const QString &name) const
{
    QFile file(m_dir->filePath(name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<no file>");
}

void tst_ConfigWindow::open()
{
    m_window = std::make_unique<ConfigWindow>(m_context, [this](QWidget *, const MessageBoxCall &call) {
        m_prompts << call.title + ": " + call.prompt;
        m_lastCall = call;
        return m_answer;
    });
    m_window->show();
    QApplication::setActiveWindow(m_window.get());
    QVERIFY(QTest::qWaitForWindowActive(m_window.get()));
}

// One character per control: 1 when it is enabled (buttons) or ticked
// (check boxes), 0 otherwise; a check box hidden from view is "-".
QString tst_ConfigWindow::states(const QStringList &names) const
{
    QString states;
    for (const QString &name : names) {
        auto *control = m_window->findChild<QAbstractButton *>(name);
        if (auto *check = qobject_cast<QCheckBox *>(control))
            states += check->isVisible() ? (check->isChecked() ? '1' : '0') : '-';
        else
            states += control->isEnabled() ? '1' : '0';
    }
    return states;
}

QStringList tst_ConfigWindow::listTexts() const
{
    QStringList texts;
    for (int row = 0; row < child<QListWidget>("accountList")->count(); ++row)
        texts << child<QListWidget>("accountList")->item(row)->text();
    return texts;
}

void tst_ConfigWindow::clickEntry(const QString &text)
{
    auto *list = child<QListWidget>("accountList");
    const QList<QListWidgetItem *> found = list->findItems(text, Qt::MatchExactly);
    QVERIFY(!found.isEmpty());
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(found.first()).center());
}

const QStringList kAccountButtons{"cmdNew", "cmdSave", "cmdDelete"};

void tst_ConfigWindow::opensWithSortedAccountsAndShowsOne()
{
    write("user.ini", "[1234]\r\nPwd=11\r\nName=Ann\r\n[77]\r\nPwd=22\r\n[5]\r\nPwd=3\r\nName=bob\r\n"
                      "[1234567]\r\nPwd=12345678\r\nName=A name over fifteen\r\n");
    open();
    QCOMPARE(child<QLabel>("lblProductDescr")->text(), QStringLiteral("Ventoro Server Module. (c) Brisalt Ltd Ver:1.0.2"));
    QVERIFY(ProductLabel::text({1, 12, 0}).endsWith(QStringLiteral("Ver:1.12.0")));
    // Centred on its outer size, frame included, once shown.
    const QRect screen = m_window->screen()->geometry();
    const QRect outer = m_window->frameGeometry();
    QVERIFY(outer.height() > 289);
    QTRY_COMPARE(outer.topLeft(), QPoint((screen.width() - outer.width()) / 2, (screen.height() - outer.height()) / 2));
    QCOMPARE(listTexts(), (QStringList{"A name over fifteen ID:1234567", "Ann ID:1234", "bob ID:5", "Unknown ID:77"}));
    QCOMPARE(states(kAccountButtons), QStringLiteral("100"));

    clickEntry("Unknown ID:77");
    QCOMPARE(states(kAccountButtons), QStringLiteral("111"));
    QCOMPARE(box("txtID")->text() + "|" + box("txtPwd")->text() + "|" + box("txtName")->text(), QStringLiteral("77|22|"));
    // Values longer than a box's limit are shown whole, never cut.
    clickEntry("A name over fifteen ID:1234567");
    QCOMPARE(box("txtID")->text() + "|" + box("txtPwd")->text() + "|" + box("txtName")->text(),
             QStringLiteral("1234567|12345678|A name over fifteen"));
    QVERIFY(m_prompts.isEmpty());
}

void tst_ConfigWindow::save_data()
{
    QTest::addColumn<QString>("typed"); // Pilot ID|Password|Name
    QTest::addColumn<QString>("message");
    QTest::addColumn<QByteArray>("file");
    const QByteArray ann = "[1234]\r\nPwd=11\r\nName=Ann\r\n";
    QTest::newRow("new, zeros dropped") << "0042|0070| Zed " << "" << ann + "[42]\r\nPwd=70\r\nName=Zed \r\n";
    QTest::newRow("existing ID updated") << "1234|99|Anne" << "" << QByteArray("[1234]\r\nPwd=99\r\nName=Anne\r\n");
    QTest::newRow("empty ID") << "|12|Bo" << "ERROR: Pilot ID and Password cannot be Nil" << ann;
    QTest::newRow("zero password") << "5|000|Bo" << "ERROR: Pilot ID and Password cannot be Nil" << ann;
    QTest::newRow("blank name") << "5|12|   " << "ERROR: Pilot Name is mandatory" << ann;
    QTest::newRow("heading in the name") << "5|12|Bo [7]" << "ERROR: Pilot Name cannot contain [ or ]" << ann;
}

void tst_ConfigWindow::save()
{
    QFETCH(QString, typed);
    QFETCH(QString, message);
    QFETCH(QByteArray, file);
    write("user.ini", "[1234]\r\nPwd=11\r\nName=Ann\r\n");
    open();
    clickEntry("Ann ID:1234");
    click("cmdNew");
    QCOMPARE(states(kAccountButtons), QStringLiteral("010"));
    QVERIFY(child<QListWidget>("accountList")->selectedItems().isEmpty());
    QTRY_VERIFY(box("txtID")->hasFocus());
    const QStringList fields = typed.split('|');
    QTest::keyClicks(box("txtID"), fields[0]);
    QTest::keyClicks(box("txtPwd"), fields[1]);
    QTest::keyClicks(box("txtName"), fields[2]);
    click("cmdSave");
    QCOMPARE(m_prompts, message.isEmpty() ? QStringList() : QStringList{message});
    QCOMPARE(read("user.ini"), file);
    QCOMPARE(states(kAccountButtons), message.isEmpty() ? QStringLiteral("100") : QStringLiteral("010"));
    QCOMPARE(box("txtName")->text(), message.isEmpty() ? QString() : fields[2]);
}

void tst_ConfigWindow::deleteAsksThenRewrites()
{
    const QByteArray before = "[1]\r\nPwd=1\r\nName=A\r\n; note\r\n[2]\r\nName=B\r\nX=y\r\n[1]\r\nPwd=9\r\n";
    write("user.ini", before);
    open();
    clickEntry("A ID:1");
    m_answer = QMessageBox::No;
    click("cmdDelete");
    QCOMPARE(m_prompts, QStringList{"Are you sure: Are you sure you want to delete?"});
    QCOMPARE(m_lastCall.buttons, QMessageBox::Yes | QMessageBox::No);
    QCOMPARE(m_lastCall.defaultButton, QMessageBox::No);
    QCOMPARE(read("user.ini"), before);
    QCOMPARE(states(kAccountButtons), QStringLiteral("111"));

    m_answer = QMessageBox::Yes;
    click("cmdDelete");
    QCOMPARE(read("user.ini"), QByteArray("[2]\r\nPwd=Unknown\r\nName=B\r\n"));
    QCOMPARE(listTexts(), QStringList{"B ID:2"});
    QCOMPARE(states(kAccountButtons), QStringLiteral("100"));
    QVERIFY(!QGuiApplication::overrideCursor());
}

void tst_ConfigWindow::keyFilter_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("modifiers");
    QTest::addColumn<QString>("typed"); // the text the key event carries
    QTest::addColumn<QString>("clipboard");
    QTest::addColumn<QString>("after"); // from "12" with the cursor between the digits
    QTest::newRow("digit") << int(Qt::Key_3) << 0 << "3" << "" << "132";
    QTest::newRow("Backspace") << int(Qt::Key_Backspace) << 0 << "\b" << "" << "2";
    QTest::newRow("Delete") << int(Qt::Key_Delete) << 0 << "\x7f" << "" << "1";
    QTest::newRow("letter") << int(Qt::Key_A) << 0 << "a" << "" << "12";
    QTest::newRow("blank") << int(Qt::Key_Space) << 0 << " " << "" << "12";
    QTest::newRow("Enter") << int(Qt::Key_Return) << 0 << "\r" << "" << "12";
    QTest::newRow("Ctrl+V") << int(Qt::Key_V) << int(Qt::ControlModifier) << "\x16" << "5" << "12";
    QTest::newRow("Shift+Insert digits") << int(Qt::Key_Insert) << int(Qt::ShiftModifier) << "" << "56" << "1562";
    QTest::newRow("Shift+Insert letters") << int(Qt::Key_Insert) << int(Qt::ShiftModifier) << "" << "5x" << "12";
}

void tst_ConfigWindow::keyFilter()
{
    QFETCH(int, key);
    QFETCH(int, modifiers);
    QFETCH(QString, typed);
    QFETCH(QString, clipboard);
    QFETCH(QString, after);
    const bool refused = after == "12";
    open();
    QGuiApplication::clipboard()->setText(clipboard);
    for (const char *name : {"txtID", "txtPwd"}) {
        m_prompts.clear();
        box(name)->setFocus();
        QTest::keyClicks(box(name), "12");
        box(name)->setCursorPosition(1);
        QTest::sendKeyEvent(QTest::Click, box(name), Qt::Key(key), typed, Qt::KeyboardModifiers(modifiers));
        QCOMPARE(box(name)->text(), after);
        QCOMPARE(m_prompts, refused ? QStringList{"ERROR: Numbers only in this field"} : QStringList());
        QTest::keyClicks(box(name), "98765");
        QCOMPARE(box(name)->text().size(), 6);
    }
}

void tst_ConfigWindow::contextMenuPasteIsFiltered()
{
    open();
    for (const QString &pasted : {QStringLiteral("7x"), QStringLiteral("78")}) {
        QGuiApplication::clipboard()->setText(pasted);
        QContextMenuEvent event(QContextMenuEvent::Keyboard, QPoint(2, 2), QPoint(2, 2));
        QApplication::sendEvent(box("txtPwd"), &event);
        QTRY_VERIFY(QApplication::activePopupWidget());
        for (QAction *action : QApplication::activePopupWidget()->actions()) {
            if (action->text().startsWith("&Paste"))
                action->trigger();
        }
        QApplication::activePopupWidget()->close();
    }
    QCOMPARE(box("txtPwd")->text(), QStringLiteral("78"));
    QCOMPARE(m_prompts, QStringList{"ERROR: Numbers only in this field"});
}

void tst_ConfigWindow::onlyDigitsEnterByAnyRoute()
{
    open();
    for (const char *name : {"txtID", "txtPwd"}) {
        box(name)->setFocus();
        QTest::keyClicks(box(name), "12");
        box(name)->insert("3x"); // where every paste and drop ends
        QTest::keyClick(box(name), Qt::Key_X, Qt::AltModifier); // no button takes Alt+X
        box(name)->insert("4");
        QCOMPARE(box(name)->text(), QStringLiteral("124"));
    }
    QVERIFY(m_prompts.isEmpty());
}

void tst_ConfigWindow::loadedLongValueKeepsTheLimit()
{
    write("VentoroServer.ini", "[General]\r\nMOTD=" + QByteArray(50, 'm') + "\r\n");
    write("user.ini", "[1]\r\nPwd=1\r\nName=A name over fifteen\r\n");
    open();
    clickEntry("A name over fifteen ID:1");
    for (const auto &[name, limit] : {std::pair{"txtMOTD", 35}, std::pair{"txtName", 15}}) {
        const QString loaded = box(name)->text();
        box(name)->end(false);
        QTest::keyClick(box(name), Qt::Key_Backspace);
        QTest::keyClicks(box(name), "xy");
        QCOMPARE(box(name)->text(), loaded.chopped(1));
        box(name)->selectAll();
        QTest::keyClicks(box(name), QString(60, QLatin1Char('z')));
        QCOMPARE(box(name)->text().size(), limit);
    }
}

void tst_ConfigWindow::unwrittenFileIsReported_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<bool>("otherWriter"); // another writer holds the accounts lock
    QTest::addColumn<QString>("message");
    for (const char *button : {"cmdSave", "cmdDelete"}) {
        QTest::newRow(button) << button << false << "ERROR: The accounts file user.ini could not be written; it is unchanged";
        QTest::newRow(qPrintable(QStringLiteral("%1, another writer").arg(button)))
            << button << true << "ERROR: The accounts file user.ini is being changed by another program; it is unchanged";
    }
    QTest::newRow("Ok") << "cmdOk" << false << "ERROR: The options file VentoroServer.ini could not be written; it is unchanged";
}

// A file marked read-only is never replaced, even when the tool runs as root;
// nor is user.ini while another writer holds the accounts lock.
void tst_ConfigWindow::unwrittenFileIsReported()
{
    QFETCH(QString, button);
    QFETCH(bool, otherWriter);
    QFETCH(QString, message);
    const QByteArray users = "[1234]\r\nPwd=11\r\nName=Ann\r\n", options = "[General]\r\nMOTD=Hi\r\n";
    write("user.ini", users);
    write("VentoroServer.ini", options);
    std::optional<AccountsLock> otherWriterLock;
    if (otherWriter)
        QVERIFY(otherWriterLock.emplace(m_context.UsersIni.FileName()).held());
    for (const char *name : {"user.ini", "VentoroServer.ini"})
        QVERIFY(otherWriter || QFile::setPermissions(m_dir->filePath(name), QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther));
    open();
    clickEntry("Ann ID:1234");
    QTest::keyClicks(box("txtPwd"), "7");
    QTest::keyClicks(box("txtMOTD"), "!");
    m_answer = QMessageBox::Yes;
    click(button.toLatin1());
    QCOMPARE(m_prompts.value(m_prompts.size() - 1), message);
    QCOMPARE(m_lastCall.buttons, QMessageBox::Ok);
    QCOMPARE(read("user.ini") + read("VentoroServer.ini"), users + options);
    QCOMPARE(box("txtPwd")->text() + "|" + box("txtMOTD")->text(), QStringLiteral("117|Hi!"));
    QCOMPARE(states(kAccountButtons), QStringLiteral("111"));
    QVERIFY(m_window->isVisible());
}

void tst_ConfigWindow::accessKeysAndTabOrder()
{
    write("user.ini", "[1]\r\nPwd=1\r\nName=A\r\n");
    write("VentoroServer.ini", "[General]\r\nMOTD=Hi\r\nDebug=1\r\n");
    open();
    QStringList visited{QApplication::focusWidget()->objectName()};
    for (int i = 0; i < 9; ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        visited << QApplication::focusWidget()->objectName();
    }
    // Save and Delete are disabled, so Tab passes them by.
    QCOMPARE(visited, (QStringList{"txtMOTD", "chkDebug", "chkLowLevel", "chkShowScreen", "accountList", "txtID", "txtPwd",
                                   "txtName", "cmdNew", "cmdOk"}));

    clickEntry("A ID:1");
    m_answer = QMessageBox::No;
    QTest::keyClick(m_window.get(), Qt::Key_D, Qt::AltModifier);
    QTRY_COMPARE(m_prompts, QStringList{"Are you sure: Are you sure you want to delete?"});
    QTest::keyClick(m_window.get(), Qt::Key_N, Qt::AltModifier);
    QTRY_COMPARE(states(kAccountButtons), QStringLiteral("010"));
    QTest::keyClick(m_window.get(), Qt::Key_S, Qt::AltModifier);
    QTRY_COMPARE(m_prompts.size(), 2);
    QCOMPARE(m_prompts.last(), QStringLiteral("ERROR: Pilot ID and Password cannot be Nil"));
    QTest::keyClick(m_window.get(), Qt::Key_O, Qt::AltModifier);
    QTRY_VERIFY(!m_window->isVisible());
}

void tst_ConfigWindow::options_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QString>("boxes"); // chkDebug, chkLowLevel, chkShowScreen as loaded
    QTest::addColumn<QByteArray>("after"); // the file once "&Ok" has saved it
    QTest::newRow("all on") << QByteArray("[General]\r\nMOTD=Hi\r\nDebug=1\r\nDebugLowLevel=1\r\nShowScreen=1\r\n") << "111"
                            << QByteArray("[General]\r\nMOTD=Hi\r\nDebug=1\r\nDebugLowLevel=1\r\nShowScreen=1\r\n");
    QTest::newRow("hidden low level kept") << QByteArray("[General]\r\nMOTD=Hi\r\nDebug=0\r\nDebugLowLevel=1\r\nShowScreen=0\r\n")
                                           << "0-0" << QByteArray("[General]\r\nMOTD=Hi\r\nDebug=0\r\nDebugLowLevel=1\r\nShowScreen=0\r\n");
    QTest::newRow("odd values") << QByteArray("[General]\r\nCrashText=x\r\nMOTD=Hi\r\nDebug=abc\r\nDebugLowLevel=2\r\nShowScreen=\r\n")
                                << "110" << QByteArray("[General]\r\nCrashText=x\r\nMOTD=Hi\r\nDebug=1\r\nDebugLowLevel=1\r\nShowScreen=0\r\n");
    QTest::newRow("no file: the server's defaults") << QByteArray() << "111" << QByteArray();
}

void tst_ConfigWindow::options()
{
    QFETCH(QByteArray, before);
    QFETCH(QString, boxes);
    QFETCH(QByteArray, after);
    if (!before.isEmpty())
        write("VentoroServer.ini", before);
    open();
    QCOMPARE(states({"chkDebug", "chkLowLevel", "chkShowScreen"}), boxes);
    if (after.isEmpty())
        return;
    QCOMPARE(box("txtMOTD")->text(), QStringLiteral("Hi"));
    click("cmdOk");
    QCOMPARE(read("VentoroServer.ini"), after);
    QVERIFY(!m_window->isVisible());
}

void tst_ConfigWindow::loggingBoxResetsLowLevelAndOkNeedsMotd()
{
    const QByteArray before = "[General]\r\nMOTD=Old\r\nDebug=1\r\nDebugLowLevel=1\r\nShowScreen=1\r\nConnectPort=1600\r\n";
    write("VentoroServer.ini", before);
    open();
    QTest::mouseClick(child<QCheckBox>("chkDebug"), Qt::LeftButton);
    QCOMPARE(states({"chkDebug", "chkLowLevel"}), QStringLiteral("0-"));
    QTest::mouseClick(child<QCheckBox>("chkDebug"), Qt::LeftButton);
    QCOMPARE(states({"chkDebug", "chkLowLevel"}), QStringLiteral("10"));

    box("txtMOTD")->selectAll();
    QTest::keyClick(box("txtMOTD"), Qt::Key_Backspace);
    click("cmdOk");
    QCOMPARE(m_prompts, QStringList{"ERROR: Message of the day is mandatory"});
    QCOMPARE(read("VentoroServer.ini"), before);
    QVERIFY(m_window->isVisible());

    QTest::keyClicks(box("txtMOTD"), QString(40, QLatin1Char('m')));
    click("cmdOk");
    QCOMPARE(read("VentoroServer.ini"), "[General]\r\nMOTD=" + QByteArray(35, 'm')
                                            + "\r\nDebug=1\r\nDebugLowLevel=0\r\nShowScreen=1\r\nConnectPort=1600\r\n");
    QVERIFY(!m_window->isVisible());
}

// The bottom row shows the four later options as the server takes them;
// "&Ok" refuses what the server could not take (the window stays open,
// the file unchanged), else saves and says what a running server needs.
void tst_ConfigWindow::laterOptionsOnTheBottomRow_data()
{
    QTest::addColumn<QString>("typed"); // into txtMaxPilots, txtHttpPort, txtHttpAddress after clearing; "-" leaves it
    QTest::addColumn<QString>("message");
    QTest::addColumn<QByteArray>("after"); // empty: unchanged
    const QByteArray head = "[General]\r\nMOTD=Hi\r\nDebug=0\r\nDebugLowLevel=0\r\nShowScreen=0\r\nX=1\r\n";
    QTest::newRow("nothing changed") << "-|-|-" << "" << head + "ReplyToSourcePort=1\r\nMaxPilots=5\r\n";
    QTest::newRow("limit: a reload") << "20x|-|-" << "Brisalt Ventoro Server Configuration: Saved. A running server "
        "takes in the new pilot limit on a reload" << head + "ReplyToSourcePort=1\r\nMaxPilots=20\r\n";
    QTest::newRow("page on: a restart") << "-|8080|0.0.0.0" << "HttpPort, HttpAddress only after a restart"
        << head + "ReplyToSourcePort=1\r\nMaxPilots=5\r\nHttpPort=8080\r\nHttpAddress=0.0.0.0\r\n";
    QTest::newRow("no port") << "-|99999|-" << "ERROR: Nothing was saved. The server would say: \"HttpPort\" in "
        "VentoroServer.ini holds \"99999\", which is no port number from 0 to 65535" << QByteArray();
    QTest::newRow("no limit") << "|-|-" << "ERROR: Nothing was saved. The server would say: \"MaxPilots\"" << QByteArray();
}

void tst_ConfigWindow::laterOptionsOnTheBottomRow()
{
    QFETCH(QString, typed);
    QFETCH(QString, message);
    QFETCH(QByteArray, after);
    const QByteArray before = "[General]\r\nMOTD=Hi\r\nDebug=0\r\nDebugLowLevel=0\r\nShowScreen=0\r\nX=1\r\n"
                              "ReplyToSourcePort=1\r\nMaxPilots=5\r\n";
    write("VentoroServer.ini", before);
    open();
    QCOMPARE(states({"chkReplyToSourcePort"}), QStringLiteral("1"));
    QCOMPARE(box("txtMaxPilots")->text() + "|" + box("txtHttpPort")->text() + "|" + box("txtHttpAddress")->text(),
             QStringLiteral("5|0|127.0.0.1"));
    const QStringList texts = typed.split(QLatin1Char('|'));
    const char *names[] = {"txtMaxPilots", "txtHttpPort", "txtHttpAddress"};
    for (int i = 0; i < 3; ++i) {
        if (texts[i] == QLatin1String("-"))
            continue;
        box(names[i])->selectAll();
        QTest::keyClick(box(names[i]), Qt::Key_Backspace);
        QTest::keyClicks(box(names[i]), texts[i]); // the digits-only boxes let no letter in
    }
    click("cmdOk");
    QVERIFY2(message.isEmpty() ? m_prompts.isEmpty() : m_prompts.value(0).contains(message), qPrintable(m_prompts.join('\n')));
    QCOMPARE(read("VentoroServer.ini"), after.isEmpty() ? before : after);
    QCOMPARE(m_window->isVisible(), after.isEmpty());
}

QTEST_MAIN(tst_ConfigWindow)
#include "tst_configwindow.moc"
