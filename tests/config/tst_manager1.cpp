// The window driven as an operator drives it: typing, clicking, access keys.
// Every message box is answered by the test through the injected function.
#include "Manager1.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QScreen>
#include <QTemporaryDir>
#include <QtTest>

class tst_Manager1 : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void opensCentredWithSortedAccounts();
    void selectingAnEntryShowsItsAccount();
    void newThenSaveAppendsTheAccount();
    void saveRefusals_data();
    void saveRefusals();
    void deleteAsksThenRewrites();
    void keyFilter_data();
    void keyFilter();
    void contextMenuPasteIsFiltered();
    void accessKeys();
    void tabOrder();
    void optionsLoad_data();
    void optionsLoad();
    void loggingBoxResetsLowLevel();
    void okRefusesEmptyMotdThenSaves();

private:
    void write(const QString &name, const QByteArray &content);
    QByteArray read(const QString &name) const;
    void open(bool shown = false);
    template<typename T> T *child(const char *name) const { return m_window->findChild<T *>(name); }
    QStringList listTexts() const;
    QString buttonStates() const;
    void clickEntry(const QString &text);
    QStringList prompts() const;

    std::unique_ptr<QTemporaryDir> m_dir;
    ConfigModule::Context m_context;
    std::unique_ptr<Manager1> m_window;
    QList<MessageBoxCall> m_calls;
    QMessageBox::StandardButton m_answer = QMessageBox::Ok;
};

void tst_Manager1::init()
{
    m_window.reset();
    m_calls.clear();
    m_answer = QMessageBox::Ok;
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    ConfigModule::bindSettingsFiles(m_context, QFile::encodeName(m_dir->path()).toStdString());
}

void tst_Manager1::write(const QString &name, const QByteArray &content)
{
    QFile file(m_dir->filePath(name));
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(content);
}

QByteArray tst_Manager1::read(const QString &name) const
{
    QFile file(m_dir->filePath(name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<no file>");
}

void tst_Manager1::open(bool shown)
{
    m_window = std::make_unique<Manager1>(m_context, [this](QWidget *, const MessageBoxCall &call) {
        m_calls << call;
        return m_answer;
    });
    if (shown) {
        m_window->show();
        QApplication::setActiveWindow(m_window.get());
        QVERIFY(QTest::qWaitForWindowActive(m_window.get()));
    }
}

QStringList tst_Manager1::listTexts() const
{
    QStringList texts;
    for (int row = 0; row < child<QListWidget>("List1")->count(); ++row)
        texts << child<QListWidget>("List1")->item(row)->text();
    return texts;
}

// New, Save, Delete: 1 enabled, 0 disabled.
QString tst_Manager1::buttonStates() const
{
    QString states;
    for (const char *name : {"cmdNew", "cmdSave", "cmdDelete"})
        states += child<QPushButton>(name)->isEnabled() ? '1' : '0';
    return states;
}

void tst_Manager1::clickEntry(const QString &text)
{
    auto *list = child<QListWidget>("List1");
    const QList<QListWidgetItem *> found = list->findItems(text, Qt::MatchExactly);
    QVERIFY(!found.isEmpty());
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(found.first()).center());
}

QStringList tst_Manager1::prompts() const
{
    QStringList texts;
    for (const MessageBoxCall &call : m_calls)
        texts << call.title + ": " + call.prompt;
    return texts;
}

void tst_Manager1::opensCentredWithSortedAccounts()
{
    write("user.ini", "[1234]\r\nPwd=11\r\nName=Ann\r\n[77]\r\nPwd=22\r\n[5]\r\nPwd=3\r\nName=bob\r\n");
    open();
    QCOMPARE(m_window->windowTitle(), QStringLiteral("Brisalt Ventoro Server Configuration"));
    QCOMPARE(child<QLabel>("lblProductDescr")->text(), QStringLiteral("Ventoro Server Module. (c) Brisalt Ltd Ver:1.0.2"));
    const QRect screen = m_window->screen()->geometry();
    QCOMPARE(m_window->pos(), QPoint((screen.width() - 687) / 2, (screen.height() - 289) / 2));
    QCOMPARE(listTexts(), (QStringList{"Ann ID:1234", "bob ID:5", "Unknown ID:77"}));
    QCOMPARE(buttonStates(), QStringLiteral("100"));
    QCOMPARE(child<QLineEdit>("txtID")->text() + child<QLineEdit>("txtPwd")->text() + child<QLineEdit>("txtName")->text(), QString());
    QVERIFY(m_calls.isEmpty());
}

void tst_Manager1::selectingAnEntryShowsItsAccount()
{
    write("user.ini", "[1234]\r\nPwd=11\r\nName=Ann\r\n[77]\r\nPwd=22\r\n[1234567]\r\nPwd=12345678\r\nName=A name over fifteen\r\n");
    open(true);
    clickEntry("Unknown ID:77");
    QCOMPARE(buttonStates(), QStringLiteral("111"));
    QCOMPARE(child<QLineEdit>("txtID")->text(), QStringLiteral("77"));
    QCOMPARE(child<QLineEdit>("txtPwd")->text(), QStringLiteral("22"));
    QCOMPARE(child<QLineEdit>("txtName")->text(), QString());
    // Values longer than a box's limit are shown whole, never cut.
    clickEntry("A name over fifteen ID:1234567");
    QCOMPARE(child<QLineEdit>("txtID")->text(), QStringLiteral("1234567"));
    QCOMPARE(child<QLineEdit>("txtPwd")->text(), QStringLiteral("12345678"));
    QCOMPARE(child<QLineEdit>("txtName")->text(), QStringLiteral("A name over fifteen"));
}

void tst_Manager1::newThenSaveAppendsTheAccount()
{
    write("user.ini", "[1234]\r\nPwd=11\r\nName=Ann\r\n");
    open(true);
    clickEntry("Ann ID:1234");
    QTest::mouseClick(child<QPushButton>("cmdNew"), Qt::LeftButton);
    QCOMPARE(buttonStates(), QStringLiteral("010"));
    QVERIFY(child<QListWidget>("List1")->selectedItems().isEmpty());
    QTRY_VERIFY(child<QLineEdit>("txtID")->hasFocus());
    QTest::keyClicks(child<QLineEdit>("txtID"), "0042");
    QTest::keyClicks(child<QLineEdit>("txtPwd"), "0070");
    QTest::keyClicks(child<QLineEdit>("txtName"), " Zed ");
    QTest::mouseClick(child<QPushButton>("cmdSave"), Qt::LeftButton);
    QVERIFY(m_calls.isEmpty());
    QCOMPARE(read("user.ini"), QByteArray("[1234]\r\nPwd=11\r\nName=Ann\r\n[42]\r\nPwd=70\r\nName=Zed \r\n"));
    QCOMPARE(listTexts(), (QStringList{"Ann ID:1234", "Zed ID:42"}));
    QCOMPARE(buttonStates(), QStringLiteral("100"));
    QCOMPARE(child<QLineEdit>("txtID")->text(), QString());
}

void tst_Manager1::saveRefusals_data()
{
    QTest::addColumn<QString>("id");
    QTest::addColumn<QString>("pwd");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("message");
    QTest::newRow("empty ID") << "" << "12" << "Ann" << "Pilot ID and Password cannot be Nil";
    QTest::newRow("zero password") << "5" << "000" << "Ann" << "Pilot ID and Password cannot be Nil";
    QTest::newRow("blank name") << "5" << "12" << "   " << "Pilot Name is mandatory";
}

void tst_Manager1::saveRefusals()
{
    QFETCH(QString, id);
    QFETCH(QString, pwd);
    QFETCH(QString, name);
    QFETCH(QString, message);
    open(true);
    QTest::mouseClick(child<QPushButton>("cmdNew"), Qt::LeftButton);
    QTest::keyClicks(child<QLineEdit>("txtID"), id);
    QTest::keyClicks(child<QLineEdit>("txtPwd"), pwd);
    QTest::keyClicks(child<QLineEdit>("txtName"), name);
    QTest::mouseClick(child<QPushButton>("cmdSave"), Qt::LeftButton);
    QCOMPARE(prompts(), QStringList{"ERROR: " + message});
    QCOMPARE(m_calls.first().buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QCOMPARE(read("user.ini"), QByteArray("<no file>"));
    QCOMPARE(buttonStates(), QStringLiteral("010"));
    QCOMPARE(child<QLineEdit>("txtName")->text(), name);
}

void tst_Manager1::deleteAsksThenRewrites()
{
    const QByteArray before = "[1]\r\nPwd=1\r\nName=A\r\n; note\r\n[2]\r\nPwd=2\r\nName=B\r\nX=y\r\n[1]\r\nPwd=9\r\n";
    write("user.ini", before);
    open(true);
    clickEntry("A ID:1");
    m_answer = QMessageBox::No;
    QTest::mouseClick(child<QPushButton>("cmdDelete"), Qt::LeftButton);
    QCOMPARE(prompts(), QStringList{"Are you sure: Are you sure you want to delete?"});
    QCOMPARE(m_calls.first().buttons, QMessageBox::Yes | QMessageBox::No);
    QCOMPARE(m_calls.first().defaultButton, QMessageBox::No);
    QCOMPARE(read("user.ini"), before);
    QCOMPARE(buttonStates(), QStringLiteral("111"));

    m_answer = QMessageBox::Yes;
    QTest::mouseClick(child<QPushButton>("cmdDelete"), Qt::LeftButton);
    QCOMPARE(read("user.ini"), QByteArray("[2]\r\nPwd=2\r\nName=B\r\n"));
    QCOMPARE(listTexts(), QStringList{"B ID:2"});
    QCOMPARE(buttonStates(), QStringLiteral("100"));
    QVERIFY(!QGuiApplication::overrideCursor());
}

void tst_Manager1::keyFilter_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("modifiers");
    QTest::addColumn<QString>("typed"); // the text the key event carries
    QTest::addColumn<QString>("clipboard");
    QTest::addColumn<QString>("after"); // from "12" with the cursor between the digits
    QTest::addColumn<bool>("refused");
    QTest::newRow("digit") << int(Qt::Key_3) << 0 << "3" << "" << "132" << false;
    QTest::newRow("Backspace") << int(Qt::Key_Backspace) << 0 << "\b" << "" << "2" << false;
    QTest::newRow("Delete") << int(Qt::Key_Delete) << 0 << "\x7f" << "" << "1" << false;
    QTest::newRow("letter") << int(Qt::Key_A) << 0 << "a" << "" << "12" << true;
    QTest::newRow("blank") << int(Qt::Key_Space) << 0 << " " << "" << "12" << true;
    QTest::newRow("Enter") << int(Qt::Key_Return) << 0 << "\r" << "" << "12" << true;
    QTest::newRow("Escape") << int(Qt::Key_Escape) << 0 << "\x1b" << "" << "12" << true;
    QTest::newRow("Ctrl+V") << int(Qt::Key_V) << int(Qt::ControlModifier) << "\x16" << "5" << "12" << true;
    QTest::newRow("Shift+Insert digits") << int(Qt::Key_Insert) << int(Qt::ShiftModifier) << "" << "56" << "1562" << false;
    QTest::newRow("Shift+Insert letters") << int(Qt::Key_Insert) << int(Qt::ShiftModifier) << "" << "5x" << "12" << true;
}

void tst_Manager1::keyFilter()
{
    QFETCH(int, key);
    QFETCH(int, modifiers);
    QFETCH(QString, typed);
    QFETCH(QString, clipboard);
    QFETCH(QString, after);
    QFETCH(bool, refused);
    open(true);
    QGuiApplication::clipboard()->setText(clipboard);
    for (const char *name : {"txtID", "txtPwd"}) {
        m_calls.clear();
        auto *box = child<QLineEdit>(name);
        box->setFocus();
        QTest::keyClicks(box, "12");
        box->setCursorPosition(1);
        QTest::sendKeyEvent(QTest::Click, box, Qt::Key(key), typed, Qt::KeyboardModifiers(modifiers));
        QCOMPARE(box->text(), after);
        QCOMPARE(prompts(), refused ? QStringList{"ERROR: Numbers only in this field"} : QStringList{});
        QTest::keyClicks(box, "98765");
        QCOMPARE(box->text().size(), 6);
    }
}

void tst_Manager1::contextMenuPasteIsFiltered()
{
    open(true);
    auto *box = child<QLineEdit>("txtPwd");
    for (const QString &pasted : {QStringLiteral("7x"), QStringLiteral("78")}) {
        QGuiApplication::clipboard()->setText(pasted);
        QContextMenuEvent event(QContextMenuEvent::Keyboard, QPoint(2, 2), box->mapToGlobal(QPoint(2, 2)));
        QApplication::sendEvent(box, &event);
        QTRY_VERIFY(qobject_cast<QMenu *>(QApplication::activePopupWidget()));
        auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
        const QList<QAction *> actions = menu->actions();
        const auto paste = std::find_if(actions.begin(), actions.end(),
                                        [](QAction *action) { return action->text().startsWith("&Paste"); });
        QVERIFY(paste != actions.end());
        (*paste)->trigger();
        menu->close();
    }
    QCOMPARE(box->text(), QStringLiteral("78"));
    QCOMPARE(prompts(), QStringList{"ERROR: Numbers only in this field"});
}

void tst_Manager1::accessKeys()
{
    write("user.ini", "[1]\r\nPwd=1\r\nName=A\r\n");
    write("VentoroServer.ini", "[General]\r\nMOTD=Hi\r\n");
    open(true);
    clickEntry("A ID:1");
    m_answer = QMessageBox::No;
    QTest::keyClick(m_window.get(), Qt::Key_D, Qt::AltModifier);
    QTRY_COMPARE(prompts(), QStringList{"Are you sure: Are you sure you want to delete?"});
    QTest::keyClick(m_window.get(), Qt::Key_N, Qt::AltModifier);
    QTRY_COMPARE(buttonStates(), QStringLiteral("010"));
    QTest::keyClick(m_window.get(), Qt::Key_S, Qt::AltModifier);
    QTRY_COMPARE(prompts().size(), 2);
    QCOMPARE(prompts().last(), QStringLiteral("ERROR: Pilot ID and Password cannot be Nil"));
    QTest::keyClick(m_window.get(), Qt::Key_O, Qt::AltModifier);
    QTRY_VERIFY(!m_window->isVisible());
}

void tst_Manager1::tabOrder()
{
    write("VentoroServer.ini", "[General]\r\nDebug=1\r\n");
    open(true);
    QStringList visited{QApplication::focusWidget()->objectName()};
    for (int i = 0; i < 9; ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        visited << QApplication::focusWidget()->objectName();
    }
    // Save and Delete are disabled, so Tab passes them by.
    QCOMPARE(visited, (QStringList{"txtMOTD", "chkDebug", "chkLowLevel", "chkShowScreen", "List1", "txtID", "txtPwd",
                                   "txtName", "cmdNew", "cmdOk"}));
}

void tst_Manager1::optionsLoad_data()
{
    QTest::addColumn<QByteArray>("options");
    QTest::addColumn<QString>("motd");
    QTest::addColumn<QString>("boxes"); // Debug, DebugLowLevel, "Low Level:" shown, ShowScreen
    QTest::newRow("all on") << QByteArray("[General]\r\nMOTD=Hi\r\nDebug=1\r\nDebugLowLevel=1\r\nShowScreen=1\r\n") << "Hi" << "1111";
    QTest::newRow("logging off keeps low level") << QByteArray("[General]\r\nDebug=0\r\nDebugLowLevel=1\r\nShowScreen=0\r\n") << "" << "0100";
    QTest::newRow("no file: the server's defaults") << QByteArray() << "" << "1111";
    QTest::newRow("odd values") << QByteArray("[General]\r\nDebug=abc\r\nDebugLowLevel=2\r\nShowScreen=\r\n") << "" << "1110";
}

void tst_Manager1::optionsLoad()
{
    QFETCH(QByteArray, options);
    QFETCH(QString, motd);
    QFETCH(QString, boxes);
    if (!options.isEmpty())
        write("VentoroServer.ini", options);
    open();
    QString states;
    for (const char *name : {"chkDebug", "chkLowLevel"})
        states += child<QCheckBox>(name)->isChecked() ? '1' : '0';
    states += child<QCheckBox>("chkLowLevel")->isVisibleTo(m_window.get()) ? '1' : '0';
    states += child<QCheckBox>("chkShowScreen")->isChecked() ? '1' : '0';
    QCOMPARE(states, boxes);
    QCOMPARE(child<QLineEdit>("txtMOTD")->text(), motd);
}

void tst_Manager1::loggingBoxResetsLowLevel()
{
    write("VentoroServer.ini", "[General]\r\nMOTD=Hi\r\nDebug=1\r\nDebugLowLevel=1\r\nShowScreen=1\r\n");
    open(true);
    auto *logging = child<QCheckBox>("chkDebug");
    auto *lowLevel = child<QCheckBox>("chkLowLevel");
    QTest::mouseClick(logging, Qt::LeftButton);
    QVERIFY(!lowLevel->isVisible() && !lowLevel->isChecked());
    QTest::mouseClick(logging, Qt::LeftButton);
    QVERIFY(lowLevel->isVisible() && !lowLevel->isChecked());
    QTest::mouseClick(child<QPushButton>("cmdOk"), Qt::LeftButton);
    QCOMPARE(read("VentoroServer.ini"), QByteArray("[General]\r\nMOTD=Hi\r\nDebug=1\r\nDebugLowLevel=0\r\nShowScreen=1\r\n"));
}

void tst_Manager1::okRefusesEmptyMotdThenSaves()
{
    const QByteArray before = "[General]\r\nCrashText=boom\r\nMOTD=Old\r\nDebug=0\r\nDebugLowLevel=1\r\nConnectPort=1600\r\n";
    write("VentoroServer.ini", before);
    open(true);
    auto *motd = child<QLineEdit>("txtMOTD");
    motd->selectAll();
    QTest::keyClick(motd, Qt::Key_Backspace);
    QTest::mouseClick(child<QPushButton>("cmdOk"), Qt::LeftButton);
    QCOMPARE(prompts(), QStringList{"ERROR: Message of the day is mandatory"});
    QCOMPARE(read("VentoroServer.ini"), before);
    QVERIFY(m_window->isVisible());

    QTest::keyClicks(motd, QString(40, QLatin1Char('m')));
    QTest::mouseClick(child<QPushButton>("cmdOk"), Qt::LeftButton);
    QCOMPARE(read("VentoroServer.ini"), "[General]\r\nCrashText=boom\r\nMOTD=" + QByteArray(35, 'm')
                                            + "\r\nDebug=0\r\nDebugLowLevel=1\r\nConnectPort=1600\r\nShowScreen=1\r\n");
    QVERIFY(!m_window->isVisible());
}

QTEST_MAIN(tst_Manager1)
#include "tst_manager1.moc"
