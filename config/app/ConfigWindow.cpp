#include "ConfigWindow.h"

#include "AccountDeletion.h"
#include "AccountList.h"
#include "AccountSave.h"
#include "AccountsFileLayout.h"
#include "AccountsFileText.h"
#include "AccountsLock.h"
#include "KeyPressFilter.h"
#include "ProductLabel.h"
#include "TextBoxGuard.h"
#include "WindowText.h"
#include "WindowGeometry.h"

#include <QCheckBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>

#include <algorithm>
#include <functional>
#include <optional>

namespace {

constexpr int kBackspace = 8;

// The wait cursor for as long as the guard lives, on every way out.
class WaitCursor
{
public:
    WaitCursor() { QGuiApplication::setOverrideCursor(Qt::WaitCursor); }
    ~WaitCursor() { QGuiApplication::restoreOverrideCursor(); }
    WaitCursor(const WaitCursor &) = delete;
    WaitCursor &operator=(const WaitCursor &) = delete;
};

// Runs `change` with the wait cursor shown and the accounts lock held, so
// no other writer of user.ini comes between its read and its replacement.
// Gives what to tell the operator when the lock or the change failed.
std::optional<QString> changeAccounts(const ConfigFiles::Context &context,
                                      const std::function<std::optional<QString>()> &change)
{
    const WaitCursor wait;
    const AccountsLock lock(context.UsersIni.FileName(), context.accountsLockWait);
    if (!lock.held())
        return AccountsFileText::lockRefused(lock);
    return change();
}

} // namespace

ConfigWindow::ConfigWindow(ConfigFiles::Context &context, MessageBoxFunction MsgBox, QWidget *parent)
    : QWidget(parent), m_context(context), m_msgBox(std::move(MsgBox))
{
    createControls();
    connectEvents();
    Form_Load();
    txtMOTD->setFocus();
}

void ConfigWindow::connectEvents()
{
    connect(accountList, &QListWidget::itemSelectionChanged, this, &ConfigWindow::accountList_Click);
    connect(cmdNew, &QPushButton::clicked, this, &ConfigWindow::cmdNew_Click);
    connect(cmdSave, &QPushButton::clicked, this, &ConfigWindow::cmdSave_Click);
    connect(cmdDelete, &QPushButton::clicked, this, &ConfigWindow::cmdDelete_Click);
    connect(m_txtIDFilter, &KeyPressFilter::KeyPress, this, &ConfigWindow::txtID_KeyPress);
    connect(m_txtPwdFilter, &KeyPressFilter::KeyPress, this, &ConfigWindow::txtPwd_KeyPress);
    connect(chkDebug, &QCheckBox::toggled, this, &ConfigWindow::chkDebug_Click);
    connect(cmdOk, &QPushButton::clicked, this, &ConfigWindow::cmdOk_Click);
}

void ConfigWindow::Form_Load()
{
    lblProductDescr->setText(ProductLabel::text());
    centreOnScreen(this);
    Refresh_UserList();
    loadOptions();
}

// The logging box's reaction runs as soon as its state is set, so the
// low-level box, read after it, keeps the state read from the file.
void ConfigWindow::loadOptions()
{
    const ServerOptions::Options options = ServerOptions::load(m_context.ServerIni);
    m_txtMOTDGuard->showValue(options.MOTD);
    chkDebug->setChecked(options.Debug);
    chkLowLevel->setChecked(options.DebugLowLevel);
    chkShowScreen->setChecked(options.ShowScreen);
    chkReplyToSourcePort->setChecked(options.ReplyToSourcePort);
    m_txtMaxPilotsGuard->showValue(options.MaxPilots);
    m_txtHttpPortGuard->showValue(options.HttpPort);
    m_txtHttpAddressGuard->showValue(options.HttpAddress);
}

ServerOptions::Options ConfigWindow::optionsShown() const
{
    return {txtMOTD->text(),       chkDebug->isChecked(),  chkLowLevel->isChecked(), chkShowScreen->isChecked(),
            chkReplyToSourcePort->isChecked(), txtMaxPilots->text(), txtHttpPort->text(), txtHttpAddress->text()};
}

void ConfigWindow::setEditorState(EditorState state)
{
    cmdNew->setEnabled(state != EditorState::NewAccount);
    cmdSave->setEnabled(state != EditorState::Idle);
    cmdDelete->setEnabled(state == EditorState::AccountShown);
}

void ConfigWindow::clearAccountBoxes()
{
    m_txtIDGuard->showValue(QString());
    m_txtPwdGuard->showValue(QString());
    m_txtNameGuard->showValue(QString());
}

void ConfigWindow::Refresh_UserList()
{
    accountList->clear();
    setEditorState(EditorState::Idle);
    const AccountList::Listing listing = AccountList::listAccounts(m_context.UsersIni);
    if (listing.status == AccountsFileLayout::FileStatus::Unreadable)
        showError(AccountsFileText::unreadable());
    for (const AccountList::Entry &entry : listing.entries) {
        auto *item = new QListWidgetItem(entry.text);
        item->setData(Qt::UserRole, entry.number);
        accountList->addItem(item);
    }
    clearAccountBoxes();
}

void ConfigWindow::accountList_Click()
{
    const QList<QListWidgetItem *> selected = accountList->selectedItems();
    if (selected.isEmpty())
        return;
    setEditorState(EditorState::AccountShown);
    const QString pilotId = QString::number(selected.first()->data(Qt::UserRole).toInt());
    m_txtIDGuard->showValue(pilotId);
    const std::string section = toSettingsText(pilotId);
    m_txtPwdGuard->showValue(fromSettingsText(m_context.UsersIni.ReadINI(section, AccountsFileLayout::PwdKey, "")));
    m_txtNameGuard->showValue(fromSettingsText(m_context.UsersIni.ReadINI(section, AccountsFileLayout::NameKey, "")));
}

void ConfigWindow::cmdNew_Click()
{
    accountList->clearSelection();
    accountList->setCurrentItem(nullptr);
    setEditorState(EditorState::NewAccount);
    clearAccountBoxes();
    txtID->setFocus();
}

void ConfigWindow::cmdSave_Click()
{
    const AccountSave::Check account = AccountSave::check(txtID->text(), txtPwd->text(), txtName->text());
    if (account.refusal) {
        showError(*account.refusal);
        return;
    }
    const std::optional<QString> failure = changeAccounts(m_context, [&]() -> std::optional<QString> {
        if (!AccountSave::write(m_context.UsersIni, account))
            return AccountsFileText::unwritten();
        return std::nullopt;
    });
    if (failure) {
        showError(*failure); // the boxes keep what was typed
        return;
    }
    Refresh_UserList();
}

void ConfigWindow::cmdDelete_Click()
{
    const MessageBoxCall question{QStringLiteral("Are you sure you want to delete?"), QStringLiteral("Are you sure"),
                                  QMessageBox::Yes | QMessageBox::No, QMessageBox::No};
    if (m_msgBox(this, question) != QMessageBox::Yes)
        return;
    const std::optional<QString> failure = changeAccounts(m_context, [&]() -> std::optional<QString> {
        switch (AccountDeletion::deleteAccount(m_context.UsersIni, toSettingsText(txtID->text()))) {
        case AccountDeletion::Outcome::Unwritable:
            return AccountsFileText::unwritten();
        case AccountDeletion::Outcome::Unreadable:
            return AccountsFileText::unreadable();
        case AccountDeletion::Outcome::Rewritten:
        case AccountDeletion::Outcome::NoFile:
            break;
        }
        return std::nullopt;
    });
    if (failure) {
        showError(*failure); // nothing was written: the boxes keep what they hold
        return;
    }
    Refresh_UserList();
}

void ConfigWindow::numbersOnly(int &KeyAscii)
{
    if (KeyAscii == kBackspace || (KeyAscii >= '0' && KeyAscii <= '9'))
        return;
    KeyAscii = 0;
    showError(QStringLiteral("Numbers only in this field"));
}

void ConfigWindow::txtID_KeyPress(int &KeyAscii)
{
    numbersOnly(KeyAscii);
}

void ConfigWindow::txtPwd_KeyPress(int &KeyAscii)
{
    numbersOnly(KeyAscii);
}

void ConfigWindow::chkDebug_Click()
{
    chkLowLevel->setChecked(false);
    chkLowLevel->setVisible(chkDebug->isChecked());
}

void ConfigWindow::cmdOk_Click()
{
    if (txtMOTD->text().isEmpty()) {
        showError(QStringLiteral("Message of the day is mandatory"));
        return;
    }
    const ServerOptions::Options options = optionsShown();
    if (const std::optional<QString> refusal = ServerOptions::check(options)) {
        showError(*refusal);
        return;
    }
    const ServerOptions::Options before = ServerOptions::load(m_context.ServerIni);
    if (!ServerOptions::save(m_context.ServerIni, options)) {
        showError(QStringLiteral("The options file VentoroServer.ini could not be written; it is unchanged"));
        return;
    }
    const QString note = ServerOptions::changeNote(before, options);
    if (!note.isEmpty())
        m_msgBox(this, MessageBoxCall{note, windowTitle(), QMessageBox::Ok, QMessageBox::Ok});
    close();
}

void ConfigWindow::showError(const QString &prompt)
{
    m_msgBox(this, errorMessage(prompt));
}
