#include "dialogs/frmPass.h"

#include "appearance/SkinLabel.h"
#include "appearance/modSkin.h"
#include "dialogs/modOnTop.h"
#include "main/AwayLock.h"
#include "main/Form1.h"
#include "main/modGlobals.h"
#include "platform/Twips.h"
#include "startup/Program.h"
#include "vault/VaultFormat.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include <limits>

namespace {
constexpr int kClientWidth = 6825;
constexpr int kClientHeight = 1800;
// Layout heights are outer heights, title bar and borders included; this is
// what the frame takes of them.
constexpr int kFrameTwips = 450;

QLineEdit* passwordBox(const QString& name, QWidget* parent) {
    auto* box = new QLineEdit(parent);
    box->setObjectName(name);
    box->setEchoMode(QLineEdit::Password);
    // Every character shows as "*", whatever mask character the style has.
    box->setStyleSheet(QStringLiteral("lineedit-password-character: 42;"));
    // No length limit: a line edit otherwise cuts its text at 32,767.
    box->setMaxLength(std::numeric_limits<int>::max());
    return box;
}
} // namespace

frmPass::frmPass(Program& program) : Window(program) {
    setObjectName(QStringLiteral("frmPass"));
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setWindowTitle(QStringLiteral("Password Required"));
    QFont font(QStringLiteral("Verdana"));
    font.setPointSizeF(8.25);
    setFont(font);

    // Created in tab order.
    m_label1 = new SkinLabel(QStringLiteral("SkinLabel1"),
                             QStringLiteral("Please enter your password"), this);
    m_label1->setGeometry(twRect(120, 60, 6615, 315));
    m_label1->setWordWrap(true);
    m_label1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    m_cmdOK = new QPushButton(QStringLiteral("Ok"), this);
    m_cmdOK->setObjectName(QStringLiteral("cmdOK"));
    m_cmdOK->setGeometry(twRect(4500, 1260, 1095, 495));
    m_cmdCancel = new QPushButton(QStringLiteral("Cancel"), this);
    m_cmdCancel->setObjectName(QStringLiteral("cmdCancel"));
    m_cmdCancel->setGeometry(twRect(5700, 1260, 1035, 495));
    m_txtPass = passwordBox(QStringLiteral("txtPass"), this);
    m_txtPass->setGeometry(twRect(1740, 480, 4995, 315));
    m_label2 = new SkinLabel(QStringLiteral("SkinLabel2"), QStringLiteral("Password:"), this);
    m_label2->setGeometry(twRect(120, 540, 915, 255));
    m_txtPass2 = passwordBox(QStringLiteral("txtPass2"), this);
    m_txtPass2->setGeometry(twRect(1740, 2400, 4995, 315));
    m_label3 =
        new SkinLabel(QStringLiteral("SkinLabel3"), QStringLiteral("Retype Password:"), this);
    m_label3->setGeometry(twRect(120, 2460, 1935, 255));

    // Neither button is the dialog's default: Enter presses the focused button
    // only, and Esc does nothing.
    for (QPushButton* b : {m_cmdOK, m_cmdCancel}) {
        b->setAutoDefault(true);
        b->setDefault(false);
    }

    m_timer1 = new QTimer(this);
    m_timer1->setObjectName(QStringLiteral("Timer1"));
    m_timer1->setInterval(100);

    connect(m_cmdOK, &QPushButton::clicked, this, &frmPass::cmdOK_Click);
    connect(m_cmdCancel, &QPushButton::clicked, this, &frmPass::cmdCancel_Click);
    connect(m_txtPass, &QLineEdit::returnPressed, this, &frmPass::cmdOK_Click);
    connect(m_txtPass2, &QLineEdit::returnPressed, this, &frmPass::cmdOK_Click);
    connect(m_timer1, &QTimer::timeout, this, &frmPass::Timer1_Timer);

    setFixedSize(tw(kClientWidth), tw(kClientHeight));
}

QString frmPass::firstUseMessage(const QString& productName) {
    return QStringLiteral("Because this is the first time you have used ") + productName +
           QStringLiteral(", you will need to create a master password.  This password will be "
                          "required to open the program from now on, and can not be reset.") +
           QStringLiteral("\n\nPlease enter a password that you will not forget.");
}

void frmPass::Form_Load() {
    if (Form1* main = m_program.loaded<Form1>())
        main->setVisible(false);
    m_program.PasswordTries = 0;
    if (m_program.PasswordMode == -1)
        layoutForCreate();
    else
        layoutForVerify();
    m_timer1->start();

    centreOnScreen(this);
    raise();
    SetOnTop(this, -1);
    QCoreApplication::processEvents();
    m_txtPass->clear();
    if (m_program.UseSkin)
        SkinForm(m_program, this);
}

void frmPass::layoutForCreate() {
    m_label1->setText(firstUseMessage(m_program.version().productName));
    m_label1->resize(m_label1->width(), tw(1500));
    const int passTop = 1700;
    m_txtPass->move(m_txtPass->x(), tw(passTop));
    m_label2->move(m_label2->x(), tw(passTop));
    const int pass2Top = passTop + toTwips(m_txtPass->height()) + 60;
    m_txtPass2->move(m_txtPass2->x(), tw(pass2Top));
    m_txtPass2->setVisible(true);
    m_label3->move(m_label3->x(), tw(pass2Top));
    m_label3->setVisible(true);
    const int okTop = pass2Top + toTwips(m_txtPass2->height()) + 60;
    m_cmdOK->move(m_cmdOK->x(), tw(okTop));
    m_cmdCancel->move(m_cmdCancel->x(), tw(okTop));
    setOuterHeight(okTop + toTwips(m_cmdOK->height()) + 60 + 500);
}

void frmPass::layoutForVerify() {
    m_label1->setText(QStringLiteral("Please enter your password"));
    m_txtPass->move(m_txtPass->x(), tw(360));
    m_label2->move(m_label2->x(), tw(360));
    m_txtPass2->setVisible(false);
    m_label3->setVisible(false);
    m_cmdOK->move(m_cmdOK->x(), tw(780));
    m_cmdCancel->move(m_cmdCancel->x(), tw(780));
    setOuterHeight(1845);
}

void frmPass::setOuterHeight(int twips) {
    setFixedSize(width(), tw(twips - kFrameTwips));
}

void frmPass::Timer1_Timer() {
    if (Form1* main = m_program.loaded<Form1>())
        main->setVisible(false);
}

void frmPass::cmdOK_Click() {
    Program& p = m_program;
    if (p.PasswordMode == -1) {
        const QString typed = m_txtPass->text();
        if (!vaultformat::longEnoughForMaster(typed)) {
            SetOnTop(this, 0);
            p.boxes().show(
                this,
                QStringLiteral("You must enter a password that is at least 4 characters long"),
                p.applicationTitle(), BoxButtons::Ok, BoxAnswer::Ok);
            SetOnTop(this, -1);
            return;
        }
        if (m_txtPass2->text() != typed) {
            SetOnTop(this, 0);
            p.boxes().show(this, QStringLiteral("Your passwords did not match.  Please try again."),
                           p.applicationTitle(), BoxButtons::Ok, BoxAnswer::Ok);
            m_txtPass2->clear();
            m_txtPass->clear();
            SetOnTop(this, -1);
            return;
        }
        p.MasterPassword = typed;
        m_timer1->stop();
        CreateMasterPassword(p);
        return;
    }

    const bool away = p.away.on;
    if (CheckMasterPassword(p, m_txtPass->text(), this)) {
        p.MasterPassword = p.StoredPassword;
        m_timer1->stop();
        if (away)
            ComeBack(p); // the vault put away while its person was gone
        else
            LoadEntries(p);
        return;
    }
    if (p.ended())
        return;
    const BoxAnswer answer = p.boxes().show(
        this, QStringLiteral("Sorry, the password you entered was not correct."),
        QStringLiteral("Incorrect Password"), BoxButtons::RetryCancel, BoxAnswer::Retry);
    if (answer != BoxAnswer::Retry) {
        m_timer1->stop();
        p.end();
        return;
    }
    p.PasswordTries = static_cast<qint16>(p.PasswordTries + 1);
    if (p.PasswordTries == 3) {
        p.boxes().show(this, QStringLiteral("Only 3 tries allowed.  Click Ok to close."),
                       p.applicationTitle(), BoxButtons::Ok, BoxAnswer::Ok);
        m_timer1->stop();
        p.end();
        return;
    }
    m_txtPass->clear();
}

void frmPass::cmdCancel_Click() {
    m_timer1->stop();
    m_program.end();
}

void frmPass::closeEvent(QCloseEvent* event) {
    event->ignore();
    m_program.unloadWindow(this);
}

void frmPass::Form_Unload() {
    m_timer1->stop();
    if (m_program.MasterPassword.isEmpty())
        m_program.end();
}
