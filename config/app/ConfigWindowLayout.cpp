// Where the window's controls stand. Positions and sizes are in twips.
#include "ConfigWindow.h"

#include "Artwork.h"
#include "KeyPressFilter.h"
#include "ProductLabel.h"
#include "TextBoxGuard.h"
#include "WindowGeometry.h"

#include <QCheckBox>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>

namespace {

constexpr int kReachRowTwips = 540;

template<typename Control>
Control *place(QWidget *window, const char *name, const QRect &geometry)
{
    auto *control = new Control(window);
    control->setObjectName(QString::fromLatin1(name));
    control->setGeometry(geometry);
    return control;
}

// A text box and the guard of what enters it.
TextBoxGuard *textBox(QWidget *window, QLineEdit *&box, const char *name, const QRect &geometry, int maxLength,
                      TextBoxGuard::Characters characters = TextBoxGuard::Characters::Any)
{
    box = place<QLineEdit>(window, name, geometry);
    return new TextBoxGuard(box, maxLength, characters);
}

// A check box with its box at the right of its text, on the window's white.
QCheckBox *checkBox(QWidget *window, const char *name, const QString &text, const QRect &geometry)
{
    auto *box = place<QCheckBox>(window, name, geometry);
    box->setText(text);
    box->setLayoutDirection(Qt::RightToLeft);
    // A narrow gap between box and text, so the longest text fits its width.
    box->setStyleSheet(QStringLiteral("QCheckBox { spacing: 3px; }"));
    box->setAutoFillBackground(true);
    return box;
}

QLabel *label(QWidget *window, const char *name, const QString &text, const QRect &geometry)
{
    auto *caption = place<QLabel>(window, name, geometry);
    caption->setText(text);
    caption->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    return caption;
}

// Enter and Escape reach the focused control: no button is a default one.
QPushButton *button(QWidget *window, const char *name, const QString &text, const QString &toolTip,
                    const QRect &geometry)
{
    auto *command = place<QPushButton>(window, name, geometry);
    command->setText(text);
    command->setToolTip(toolTip);
    command->setAutoDefault(false);
    command->setDefault(false);
    return command;
}

QFrame *line(QWidget *window, const char *name, QFrame::Shape shape, const QRect &geometry)
{
    auto *rule = place<QFrame>(window, name, geometry);
    rule->setFrameShape(shape);
    rule->setFrameShadow(QFrame::Plain);
    rule->setLineWidth(1);
    return rule;
}

} // namespace

void ConfigWindow::createControls()
{
    setObjectName(QStringLiteral("ConfigWindow"));
    setWindowTitle(QStringLiteral("Brisalt Ventoro Server Configuration"));
    setWindowIcon(Artwork::windowIcon());
    // The classic window, 10305 by 4335 twips, with a row below it for the
    // options that came later.
    setFixedSize(twips(10305), twips(4335 + kReachRowTwips));
    setFont(layoutFont());
    QPalette white = palette();
    white.setColor(QPalette::Window, Qt::white);
    setPalette(white);
    setAutoFillBackground(true);

    createOptionControls();
    createReachControls();
    createAccountControls();
    createLabels();
    createButtons();
    createDecorations();
    setTabOrder();
}

void ConfigWindow::createOptionControls()
{
    m_txtMOTDGuard = textBox(this, txtMOTD, "txtMOTD", twipRect(1980, 720, 5235, 285), kMOTDLength);
    chkDebug = checkBox(this, "chkDebug", QStringLiteral("Enable Logging Info:"), twipRect(180, 1170, 1995, 195));
    chkLowLevel = checkBox(this, "chkLowLevel", QStringLiteral("Low Level:"), twipRect(2340, 1170, 1185, 195));
    chkLowLevel->hide();
    chkShowScreen = checkBox(this, "chkShowScreen", QStringLiteral("Show Active Screen:"), twipRect(4320, 1170, 1815, 195));
    chkShowScreen->setToolTip(QStringLiteral("Deselect if going to run in background as service on WindowsNT/2000/XP"));
}

// The bottom row; each control explains itself in one line.
void ConfigWindow::createReachControls()
{
    chkReplyToSourcePort =
        checkBox(this, "chkReplyToSourcePort", QStringLiteral("Reply to source port:"), twipRect(180, 4470, 2115, 195));
    chkReplyToSourcePort->setToolTip(QStringLiteral("Answer each pilot at the address and port it sends from, so "
                                                    "pilots behind a router need no port forwarding"));
    constexpr auto digits = TextBoxGuard::Characters::DigitsOnly;
    lblMaxPilots = label(this, "lblMaxPilots", QStringLiteral("Max pilots:"), twipRect(2520, 4470, 855, 195));
    m_txtMaxPilotsGuard =
        textBox(this, txtMaxPilots, "txtMaxPilots", twipRect(3420, 4425, 735, 285), kMaxPilotsLength, digits);
    txtMaxPilots->setToolTip(QStringLiteral("The most pilots on at once; 0 for no limit"));
    lblHttpPort = label(this, "lblHttpPort", QStringLiteral("HTTP port:"), twipRect(4380, 4470, 855, 195));
    m_txtHttpPortGuard = textBox(this, txtHttpPort, "txtHttpPort", twipRect(5280, 4425, 735, 285), kHttpPortLength, digits);
    txtHttpPort->setToolTip(QStringLiteral("The TCP port of the status page, JSON and metrics; 0 leaves them off"));
    lblHttpAddress = label(this, "lblHttpAddress", QStringLiteral("HTTP address:"), twipRect(6240, 4470, 1095, 195));
    m_txtHttpAddressGuard =
        textBox(this, txtHttpAddress, "txtHttpAddress", twipRect(7380, 4425, 2805, 285), kHttpAddressLength);
    txtHttpAddress->setToolTip(QStringLiteral("Where the status page listens: 127.0.0.1 this machine only, 0.0.0.0 or "
                                              ":: every address"));
}

void ConfigWindow::createAccountControls()
{
    accountList = place<QListWidget>(this, "accountList", twipRect(270, 2160, 4335, 2010));
    accountList->setSelectionMode(QAbstractItemView::SingleSelection);
    constexpr auto digits = TextBoxGuard::Characters::DigitsOnly;
    m_txtIDGuard = textBox(this, txtID, "txtID", twipRect(6390, 2340, 1455, 285), kIDLength, digits);
    m_txtPwdGuard = textBox(this, txtPwd, "txtPwd", twipRect(6390, 2700, 1455, 285), kPwdLength, digits);
    m_txtNameGuard = textBox(this, txtName, "txtName", twipRect(6390, 3060, 1995, 285), kNameLength);
    m_txtIDFilter = new KeyPressFilter(txtID);
    m_txtPwdFilter = new KeyPressFilter(txtPwd);
}

void ConfigWindow::createLabels()
{
    lblProductDescr = label(this, "lblProductDescr", QString(), twipRect(0, 0, 7935, 465));
    lblProductDescr->setFont(ProductLabel::font());
    lblMOTD = label(this, "lblMOTD", QStringLiteral("Message of the day:"), twipRect(180, 720, 1635, 285));
    lblUsers = label(this, "lblUsers", QStringLiteral("Configured Users:"), twipRect(270, 1800, 1725, 285));
    lblID = label(this, "lblID", QStringLiteral("Pilot ID:"), twipRect(5130, 2385, 915, 195));
    lblPwd = label(this, "lblPwd", QStringLiteral("Password:"), twipRect(5130, 2745, 915, 195));
    lblName = label(this, "lblName", QStringLiteral("Name:"), twipRect(5130, 3105, 915, 195));
}

void ConfigWindow::createButtons()
{
    cmdNew = button(this, "cmdNew", QStringLiteral("&New"), QStringLiteral("Click to create a new user."),
                    twipRect(5130, 3600, 1005, 285));
    cmdSave = button(this, "cmdSave", QStringLiteral("&Save"), QStringLiteral("Click to save changes to the user."),
                     twipRect(6480, 3600, 1005, 285));
    cmdDelete = button(this, "cmdDelete", QStringLiteral("&Delete"), QStringLiteral("Click to delete the current user"),
                       twipRect(7740, 3600, 1005, 285));
    cmdOk = button(this, "cmdOk", QStringLiteral("&Ok"), QStringLiteral("Click to close this screen saving changes"),
                   twipRect(9180, 2430, 1005, 645));
}

void ConfigWindow::createDecorations()
{
    // A line from (0, 540) to (9180, 540), and one from (3870, 1080) to (3870, 1350).
    rule = line(this, "rule", QFrame::HLine, QRect(0, twips(540), twips(9180) + 1, 1));
    divider = line(this, "divider", QFrame::VLine, QRect(twips(3870), twips(1080), 1, twips(1350 - 1080) + 1));
    reachRule = line(this, "reachRule", QFrame::HLine, QRect(0, twips(4335), twips(10305), 1));
    picture = place<QLabel>(this, "picture", twipRect(9270, 0, 915, 2235));
    picture->setPixmap(Artwork::decorativePicture());
}

void ConfigWindow::setTabOrder()
{
    const QList<QWidget *> order = {txtMOTD, chkDebug, chkLowLevel, chkShowScreen, accountList, txtID, txtPwd,
                                    txtName, cmdNew, cmdSave, cmdDelete, cmdOk, chkReplyToSourcePort,
                                    txtMaxPilots, txtHttpPort, txtHttpAddress};
    for (qsizetype i = 1; i < order.size(); ++i)
        QWidget::setTabOrder(order[i - 1], order[i]);
}
