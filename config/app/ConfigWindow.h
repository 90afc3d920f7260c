#pragma once

#include "ConfigFiles.h"
#include "MessageBox.h"
#include "ServerOptions.h"

#include <QWidget>

class KeyPressFilter;
class QCheckBox;
class QFrame;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class TextBoxGuard;

// The configuration tool's one window. Its upper part edits four server
// options in VentoroServer.ini and its bottom row four more (the reply
// mode, the pilot limit and where the status page listens); "&Ok" checks
// them as the server would, saves them, says whether a running server
// needs a reload or a restart for what changed, and closes the window. The
// middle part lists, shows, creates, updates and deletes the pilot
// accounts in user.ini. Closing the window by its title bar saves
// nothing. A write that does not reach its file is reported; the boxes then
// keep what was typed and the window stays open.
//
// The window reads and writes the files bound to the context's accessors
// and keeps no copy of them. Every message goes through `MsgBox`.
class ConfigWindow : public QWidget
{
    Q_OBJECT

public:
    explicit ConfigWindow(ConfigFiles::Context &context, MessageBoxFunction MsgBox = modalMessageBox,
                      QWidget *parent = nullptr);

private slots:
    void accountList_Click();
    void cmdNew_Click();
    void cmdSave_Click();
    void cmdDelete_Click();
    void txtID_KeyPress(int &KeyAscii);
    void txtPwd_KeyPress(int &KeyAscii);
    void chkDebug_Click();
    void cmdOk_Click();

private:
    // The most characters the operator can type into each box.
    static constexpr int kMOTDLength = 35;
    static constexpr int kIDLength = 6;
    static constexpr int kPwdLength = 6;
    static constexpr int kNameLength = 15;
    static constexpr int kMaxPilotsLength = 10;
    static constexpr int kHttpPortLength = 5;
    static constexpr int kHttpAddressLength = 45;

    // The three states of the accounts editor, which decide the buttons.
    enum class EditorState { Idle, AccountShown, NewAccount };

    // ConfigWindowLayout.cpp: the controls, where they stand, their tab order.
    void createControls();
    void createOptionControls();
    void createReachControls();
    void createAccountControls();
    void createLabels();
    void createButtons();
    void createDecorations();
    void setTabOrder();

    void connectEvents();
    void Form_Load();
    void loadOptions();
    ServerOptions::Options optionsShown() const;
    void Refresh_UserList();
    void setEditorState(EditorState state);
    void clearAccountBoxes();
    void numbersOnly(int &KeyAscii);
    void showError(const QString &prompt);

    ConfigFiles::Context &m_context;
    MessageBoxFunction m_msgBox;

    QLineEdit *txtMOTD = nullptr;
    QCheckBox *chkDebug = nullptr;
    QCheckBox *chkLowLevel = nullptr;
    QCheckBox *chkShowScreen = nullptr;
    QCheckBox *chkReplyToSourcePort = nullptr;
    QLineEdit *txtMaxPilots = nullptr;
    QLineEdit *txtHttpPort = nullptr;
    QLineEdit *txtHttpAddress = nullptr;
    QListWidget *accountList = nullptr;
    QLineEdit *txtID = nullptr;
    QLineEdit *txtPwd = nullptr;
    QLineEdit *txtName = nullptr;
    QLabel *lblProductDescr = nullptr;
    QLabel *lblMOTD = nullptr;
    QLabel *lblUsers = nullptr;
    QLabel *lblID = nullptr;
    QLabel *lblPwd = nullptr;
    QLabel *lblName = nullptr;
    QLabel *lblMaxPilots = nullptr;
    QLabel *lblHttpPort = nullptr;
    QLabel *lblHttpAddress = nullptr;
    QPushButton *cmdNew = nullptr;
    QPushButton *cmdSave = nullptr;
    QPushButton *cmdDelete = nullptr;
    QPushButton *cmdOk = nullptr;
    QFrame *rule = nullptr;
    QFrame *divider = nullptr;
    QFrame *reachRule = nullptr;
    QLabel *picture = nullptr;

    TextBoxGuard *m_txtMOTDGuard = nullptr;
    TextBoxGuard *m_txtIDGuard = nullptr;
    TextBoxGuard *m_txtPwdGuard = nullptr;
    TextBoxGuard *m_txtNameGuard = nullptr;
    TextBoxGuard *m_txtMaxPilotsGuard = nullptr;
    TextBoxGuard *m_txtHttpPortGuard = nullptr;
    TextBoxGuard *m_txtHttpAddressGuard = nullptr;
    KeyPressFilter *m_txtIDFilter = nullptr;
    KeyPressFilter *m_txtPwdFilter = nullptr;
};
