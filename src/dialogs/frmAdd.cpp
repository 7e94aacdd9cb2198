#include "dialogs/frmAdd.h"

#include "appearance/SkinLabel.h"
#include "appearance/modSkin.h"
#include "main/EntryModel.h"
#include "main/Form1.h"
#include "main/modGlobals.h"
#include "platform/Twips.h"
#include "startup/Program.h"

#include <QCloseEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>

#include <limits>

namespace {

QLineEdit* textBox(const QString& name, int top, QWidget* parent) {
    auto* box = new QLineEdit(parent);
    box->setObjectName(name);
    // No length limit: a line edit otherwise cuts its text at 32,767, and a
    // longer stored field would be saved back cut.
    box->setMaxLength(std::numeric_limits<int>::max());
    box->setGeometry(twRect(1320, top, 3255, 315));
    return box;
}

SkinLabel* label(const QString& name, const QString& caption, int top, QWidget* parent) {
    auto* l = new SkinLabel(name, caption, parent);
    QFont bold = l->font();
    bold.setBold(true);
    l->setFont(bold);
    l->setGeometry(twRect(120, top, 1155, 255));
    return l;
}

void showError(Program& program, QWidget* parent, const QString& text) {
    program.boxes().show(parent, text, QStringLiteral("Error"), BoxButtons::Ok, BoxAnswer::Ok);
}

} // namespace

frmAdd::frmAdd(Program& program) : Window(program) {
    setObjectName(QStringLiteral("frmAdd"));
    setWindowFlags(Qt::Window | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setWindowIcon(style()->standardIcon(QStyle::SP_FileDialogDetailedView));
    QFont font(QStringLiteral("Verdana"));
    font.setPointSizeF(8.25);
    setFont(font);

    // Created in tab order, so the focus starts on Cancel as designed.
    m_cmdDelete = new QPushButton(QStringLiteral("Cancel"), this);
    m_cmdDelete->setObjectName(QStringLiteral("cmdDelete"));
    m_cmdDelete->setGeometry(twRect(3420, 1500, 1155, 1035));
    m_cmdDelete->setIcon(style()->standardIcon(QStyle::SP_DialogCancelButton));
    m_cmdAdd = new QPushButton(QStringLiteral("Save"), this);
    m_cmdAdd->setObjectName(QStringLiteral("cmdAdd"));
    m_cmdAdd->setGeometry(twRect(120, 1500, 1155, 1035));
    m_cmdAdd->setIcon(style()->standardIcon(QStyle::SP_DialogSaveButton));
    for (QPushButton* b : {m_cmdDelete, m_cmdAdd}) {
        b->setIconSize(QSize(32, 32));
        // No default button: Enter presses only the focused one.
        b->setAutoDefault(true);
    }
    label(QStringLiteral("SkinLabel1"), QStringLiteral("Username:"), 120, this);
    m_txtUsername = textBox(QStringLiteral("txtUsername"), 60, this);
    label(QStringLiteral("SkinLabel2"), QStringLiteral("Password:"), 540, this);
    m_txtPassword = textBox(QStringLiteral("txtPassword"), 480, this);
    label(QStringLiteral("SkinLabel3"), QStringLiteral("Website:"), 960, this);
    m_txtWebsite = textBox(QStringLiteral("txtWebsite"), 900, this);
    m_txtWebsite->installEventFilter(this);

    // What a newly shown window does by itself: the first control in tab
    // order has the focus.
    m_cmdDelete->setFocus();

    connect(m_cmdAdd, &QPushButton::clicked, this, [this] { cmdAdd_Click(0); });
    connect(m_cmdDelete, &QPushButton::clicked, this, &frmAdd::cmdDelete_Click);

    setFixedSize(tw(4680), tw(2610));
    centreOnScreen(this);
}

void frmAdd::Form_Load() {
    const Program& p = m_program;
    if (p.EntryMode == QLatin1String("Add")) {
        setWindowTitle(QStringLiteral("Add an entry"));
    } else {
        setWindowTitle(QStringLiteral("Edit an entry"));
        m_txtUsername->setText(p.EditUsername);
        m_txtPassword->setText(p.EditPassword);
        m_txtWebsite->setText(p.EditLocation);
    }
    if (m_program.UseSkin)
        SkinForm(m_program, this);
}

bool frmAdd::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_txtWebsite && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter)
            cmdAdd_Click(0);
    }
    return QWidget::eventFilter(watched, event);
}

void frmAdd::cmdAdd_Click(int) {
    Program& p = m_program;
    if (RefuseChangeToReadOnlyVault(p, this))
        return;
    const QString username = m_txtUsername->text();
    const QString password = m_txtPassword->text();
    if (username.isEmpty()) {
        showError(p, this, QStringLiteral("You must enter a username"));
        return;
    }
    if (password.isEmpty()) {
        showError(p, this, QStringLiteral("You must enter a password"));
        return;
    }
    Form1* main = p.loaded<Form1>();
    if (!main)
        return;
    Entry entry{username, password, m_txtWebsite->text()};
    EntryModel& entries = main->entries();
    if (p.EntryMode == QLatin1String("Add")) {
        entries.append(std::move(entry));
    } else {
        // The entry chosen with Edit, wherever sorting has moved it since.
        const int row = entries.rowOf(p.EditEntryId);
        if (row >= 0) {
            entries.replace(row, std::move(entry));
        } else if (entries.removedByAnotherCopy(p.EditEntryId)) {
            // Deleted in another copy while it was being edited here: the
            // edit brings it back, as a merge keeps an edit.
            entries.append(std::move(entry));
        } else {
            showError(p, this,
                      QStringLiteral("The entry you were editing has been deleted, so there is "
                                     "nothing to change. Your text is still here: copy what you "
                                     "need, or close this window and add it as a new entry."));
            return;
        }
    }
    if (SaveData(p))
        SetStatus(p, QStringLiteral("Added new entry.  Data saved."));
    p.unload<frmAdd>();
}

void frmAdd::cmdDelete_Click() {
    m_program.unload<frmAdd>();
}

void frmAdd::closeEvent(QCloseEvent* event) {
    event->ignore();
    m_program.unloadWindow(this);
}
