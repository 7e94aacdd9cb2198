#include "main/Form1.h"

#include "appearance/modSkin.h"
#include "dialogs/frmAdd.h"
#include "dialogs/frmPass.h"
#include "main/AwayLock.h"
#include "main/EntryModel.h"
#include "main/GotoLocation.h"
#include "main/ListView.h"
#include "main/VaultWatcher.h"
#include "main/modGlobals.h"
#include "main/modListViewEnh.h"
#include "platform/Twips.h"
#include "side/Form8.h"
#include "side/frmAbout.h"
#include "side/frmWebsite.h"
#include "startup/Program.h"
#include "startup/frmSplash.h"

#include <QClipboard>
#include <QCloseEvent>
#include <QFile>
#include <QGuiApplication>
#include <QHeaderView>
#include <QLabel>
#include <QMenuBar>
#include <QMimeData>
#include <QPushButton>
#include <QStatusBar>
#include <QTimer>

#include <cstdlib>

namespace {
// Design size of the client area, including the status line at its bottom.
constexpr int kClientWidth = 9015;
constexpr int kClientHeight = 6555;
constexpr int kStatusHeight = 315;
} // namespace

Form1::Form1(Program& program) : Window(program) {
    setObjectName(QStringLiteral("Form1"));
    setAttribute(Qt::WA_DeleteOnClose, false);
    QFont font(QStringLiteral("Verdana"));
    font.setPointSizeF(8.25);
    setFont(font);

    m_client = new QWidget(this);
    m_client->setObjectName(QStringLiteral("client"));
    setCentralWidget(m_client);

    // Controls in tab order: Qt's default focus chain follows creation order.
    QPushButton* add =
        addButton(QStringLiteral("cmdAdd"), QStringLiteral("Add"), 60, 60, 1155, 1035);
    QPushButton* edit =
        addButton(QStringLiteral("cmdEdit"), QStringLiteral("Edit"), 2460, 60, 1155, 1035);
    QPushButton* del =
        addButton(QStringLiteral("cmdDelete"), QStringLiteral("Delete"), 1260, 60, 1155, 1035);
    m_cmdWebsite = addButton(QStringLiteral("cmdWebsite"), QString(), 4860, 60, 4095, 1035);

    m_model = new EntryModel(this);
    m_lstPass = new ListView(m_model, m_client);
    m_lstPass->setObjectName(QStringLiteral("lstPass"));
    m_lstPass->setGeometry(twRect(60, 1980, 8895, 4215));

    m_cmdCopy[0] = addButton(QStringLiteral("cmdCopy_0"), QStringLiteral("Copy Username"), 60, 1140,
                             2355, 795);
    QPushButton* go =
        addButton(QStringLiteral("cmdGoto"), QStringLiteral("Go To"), 3660, 60, 1155, 1035);
    m_cmdCopy[1] = addButton(QStringLiteral("cmdCopy_1"), QStringLiteral("Copy Password"), 2460,
                             1140, 2355, 795);
    m_cmdCopy[2] = addButton(QStringLiteral("cmdCopy_2"), QStringLiteral("Copy Used At"), 4860,
                             1140, 4095, 795);

    m_clipboardTimer = new QTimer(this);
    m_clipboardTimer->setObjectName(QStringLiteral("clipboardTimer"));
    m_clipboardTimer->setSingleShot(true);
    m_clipboardTimer->setInterval(30'000);
    connect(m_clipboardTimer, &QTimer::timeout, this, &Form1::clearCopiedPassword);

    m_statusBar = new QStatusBar(this);
    m_statusBar->setObjectName(QStringLiteral("StatusBar1"));
    m_statusBar->setSizeGripEnabled(false);
    m_statusBar->setFixedHeight(tw(kStatusHeight));
    m_statusPanel = new QLabel(m_statusBar);
    m_statusPanel->setObjectName(QStringLiteral("StatusBar1_panel1"));
    // Long texts must not widen the window.
    m_statusPanel->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    m_statusPanel->setTextFormat(Qt::PlainText);
    m_statusBar->addWidget(m_statusPanel, 1);
    setStatusBar(m_statusBar);

    connect(add, &QPushButton::clicked, this, [this] { cmdAdd_Click(0); });
    connect(edit, &QPushButton::clicked, this, &Form1::cmdEdit_Click);
    connect(del, &QPushButton::clicked, this, &Form1::cmdDelete_Click);
    connect(go, &QPushButton::clicked, this, &Form1::cmdGoto_Click);
    connect(m_cmdWebsite, &QPushButton::clicked, this, [this] { cmdWebsite_Click(0); });
    for (int i = 0; i < 3; ++i)
        connect(m_cmdCopy[i], &QPushButton::clicked, this, [this, i] { cmdCopy_Click(i); });
    connect(m_lstPass->header(), &QHeaderView::sectionClicked, this,
            [this](int section) { lstPass_ColumnClick(section + 1); });

    QMenu* file = menuBar()->addMenu(QStringLiteral("File"));
    file->setObjectName(QStringLiteral("mnuFile"));
    QAction* exit = addMenuItem(file, QStringLiteral("mnuFileItem_0"), QStringLiteral("Exit"));
    connect(exit, &QAction::triggered, this, &QWidget::close);

    QMenu* data = menuBar()->addMenu(QStringLiteral("Data"));
    data->setObjectName(QStringLiteral("mnuData"));
    connect(
        addMenuItem(data, QStringLiteral("mnuDataItem_0"), QStringLiteral("Add Username/Password")),
        &QAction::triggered, this, [this] { cmdAdd_Click(0); });
    connect(
        addMenuItem(data, QStringLiteral("mnuDataItem_1"), QStringLiteral("Delete Selected Item")),
        &QAction::triggered, this, &Form1::cmdDelete_Click);
    connect(
        addMenuItem(data, QStringLiteral("mnuDataItem_2"), QStringLiteral("Edit Selected Item")),
        &QAction::triggered, this, &Form1::cmdEdit_Click);
    connect(addMenuItem(data, QStringLiteral("mnuDataItem_3"),
                        QStringLiteral("Goto \"Used At\" Location")),
            &QAction::triggered, this, &Form1::cmdGoto_Click);

    QMenu* copy = menuBar()->addMenu(QStringLiteral("Copy"));
    copy->setObjectName(QStringLiteral("mnuCopy"));
    const QString copyCaptions[3] = {QStringLiteral("Selected Username"),
                                     QStringLiteral("Selected Password"),
                                     QStringLiteral("Selected Used At Location")};
    for (int i = 0; i < 3; ++i)
        connect(addMenuItem(copy, QStringLiteral("mnuCopyItem_%1").arg(i), copyCaptions[i]),
                &QAction::triggered, this, [this, i] { cmdCopy_Click(i); });

    QMenu* help = menuBar()->addMenu(QStringLiteral("Help"));
    help->setObjectName(QStringLiteral("mnuHelp"));
    connect(addMenuItem(help, QStringLiteral("mnuHelpItem_0"), QStringLiteral("View Help")),
            &QAction::triggered, this, &Form1::mnuHelpItem_Click);

    QMenu* about = menuBar()->addMenu(QStringLiteral("About"));
    about->setObjectName(QStringLiteral("mnuAbout"));
    connect(
        addMenuItem(about, QStringLiteral("mnuAboutItem_0"), QStringLiteral("About this software")),
        &QAction::triggered, this, &Form1::mnuAboutItem_Click);

    resize(tw(kClientWidth), menuBar()->sizeHint().height() + tw(kClientHeight));
    centreOnScreen(this);
}

Form1::~Form1() = default;

QPushButton* Form1::addButton(const QString& name, const QString& caption, int left, int top,
                              int width, int height) {
    auto* b = new QPushButton(caption, m_client);
    b->setObjectName(name);
    b->setGeometry(twRect(left, top, width, height));
    return b;
}

QAction* Form1::addMenuItem(QMenu* menu, const QString& name, const QString& caption) {
    // Menu captions carry no access keys, so an ampersand is shown as typed.
    QString text = caption;
    text.replace(QLatin1Char('&'), QStringLiteral("&&"));
    QAction* a = menu->addAction(text);
    a->setObjectName(name);
    return a;
}

void Form1::Form_Load() {
    VistaSkinFix(m_program);
    const VersionRecord& v = m_program.version();
    setWindowTitle(v.productName + QStringLiteral(" by ") + v.companyName);
    m_cmdWebsite->setText(QStringLiteral("Visit ") + v.comments);

    m_model->setHeaders({QStringLiteral("Username"), QStringLiteral("Password"),
                         QStringLiteral("Website/Location")});
    const int widths[3] = {toTwips(m_cmdCopy[0]->width()) - 10, toTwips(m_cmdCopy[1]->width()) + 20,
                           toTwips(m_cmdCopy[2]->width())};
    for (int c = 0; c < 3; ++c)
        m_lstPass->setColumnWidth(c, tw(widths[c]));

    // The panel's width is fixed here and not recomputed on resize.
    setStatusPanelWidth();
    m_loaded = true;

    OpenData(m_program);
}

void Form1::afterFormLoad() {
    if (m_program.UseSkin)
        SkinForm(m_program, this);
    // Another computer's change, delivered into the vault's folder, shows
    // while the window is open, and so does what a conflict copy that an
    // engine leaves beside the vault brings, once it is merged.
    if (!m_watcher && m_program.vault && !m_program.vault->readOnly()) {
        auto* watcher = new VaultWatcher(
            QFile::decodeName(m_program.vault->realFile()),
            [this] {
                FollowOutsideChange(m_program);
                MergeWaitingCopies(m_program);
            },
            this);
        watcher->tellCopies([this] { ConflictCopyArrived(m_program); });
        m_watcher = watcher;
    }
    if (!m_awayWatch)
        m_awayWatch = new AwayWatch(m_program, this);
    setVisible(true);
    activateWindow();
    raise();
    if (m_program.settings().read(QStringLiteral("Settings"), QStringLiteral("showHelp"),
                                  QStringLiteral("1")) == QLatin1String("1"))
        showWindow<Form8>();
    m_program.unload<frmPass>();
}

template <class T> void Form1::showWindow() {
    if (T* w = m_program.form<T>()) {
        w->show();
        w->raise();
        w->activateWindow();
    }
}

void Form1::mnuHelpItem_Click() {
    showWindow<Form8>();
}

void Form1::mnuAboutItem_Click() {
    showWindow<frmAbout>();
}

void Form1::cmdWebsite_Click(int) {
    m_program.WebsiteTarget = QStringLiteral("Website");
    // Loaded, never shown: its load opens the site. While it is still loaded
    // the request waits for its next load.
    m_program.form<frmWebsite>();
}

void Form1::setStatusText(const QString& text) {
    m_statusPanel->setText(text);
}

QString Form1::statusText() const {
    return m_statusPanel->text();
}

void Form1::cmdAdd_Click(int) {
    if (RefuseChangeToReadOnlyVault(m_program))
        return;
    m_program.EntryMode = QStringLiteral("Add");
    showEditor();
}

void Form1::cmdEdit_Click() {
    const int row = m_lstPass->firstSelectedRow();
    if (row < 0) {
        SetStatus(m_program, QStringLiteral("You must first select an entry to edit."));
        return;
    }
    const Entry e = m_model->entry(row);
    m_program.EditUsername = e.username;
    m_program.EditPassword = e.password;
    m_program.EditLocation = e.location;
    m_program.EditRow = row + 1;
    m_program.EditEntryId = m_model->idAt(row);
    m_program.EntryMode = QStringLiteral("Edit");
    showEditor();
}

void Form1::showEditor() {
    showWindow<frmAdd>();
}

void Form1::cmdDelete_Click() {
    if (RefuseChangeToReadOnlyVault(m_program))
        return;
    const int row = m_lstPass->firstSelectedRow();
    if (row < 0) {
        SetStatus(m_program, QStringLiteral("You must first select an entry to delete."));
        return;
    }
    const QString text =
        QStringLiteral("Are you sure you want to delete the following information?\n\n") +
        QStringLiteral("Username: ") + m_model->shownField(row, EntryModel::Username) +
        QStringLiteral("\nPassword: ") + m_model->shownField(row, EntryModel::Password) +
        QStringLiteral("\nUsed At: ") + m_model->shownField(row, EntryModel::Location);
    const BoxAnswer answer = m_program.boxes().show(this, text, QStringLiteral("Confirm Delete"),
                                                    BoxButtons::OkCancel, BoxAnswer::Ok);
    if (answer != BoxAnswer::Ok) {
        SetStatus(m_program, QStringLiteral("Entry not deleted, cancelled by user"));
        return;
    }
    m_model->remove(row);
    if (SaveData(m_program))
        SetStatus(m_program, QStringLiteral("Entry deleted successfully, data saved."));
}

void Form1::clearCopiedPassword() {
    QClipboard* clipboard = QGuiApplication::clipboard();
    if (!m_copiedPassword.isEmpty() && clipboard->text() == m_copiedPassword)
        clipboard->clear();
    m_copiedPassword.clear();
}

void Form1::clearPasswordFromClipboard() {
    m_clipboardTimer->stop();
    clearCopiedPassword();
    QClipboard* clipboard = QGuiApplication::clipboard();
    if (m_passwordOnClipboard && clipboard->mimeData() == m_passwordOnClipboard)
        clipboard->clear();
}

void Form1::cmdCopy_Click(int index) {
    QClipboard* clipboard = QGuiApplication::clipboard();
    clipboard->clear();
    const int row = m_lstPass->firstSelectedRow();
    if (row < 0) {
        SetStatus(m_program, QStringLiteral("You must first select a row to copy from."));
        return;
    }
    const QString value = m_model->field(row, index);
    auto* mime = new QMimeData;
    mime->setText(value);
    if (index == EntryModel::Password) {
        // Asks clipboard managers not to keep the password in their history.
        mime->setData(QStringLiteral("x-kde-passwordManagerHint"), QByteArrayLiteral("secret"));
    }
    clipboard->setMimeData(mime);
    m_passwordOnClipboard = index == EntryModel::Password ? mime : nullptr;
    // An encrypting keeper does not leave a password lying on the clipboard.
    m_copiedPassword.clear();
    m_clipboardTimer->stop();
    if (index == EntryModel::Password && m_program.vault && m_program.vault->sealed()) {
        m_copiedPassword = value;
        m_clipboardTimer->start();
    }
    static const char* const labels[3] = {"Copied Username ", "Copied Password ",
                                          "Copied Location "};
    SetStatus(m_program, QString::fromLatin1(labels[index]) + value);
}

void Form1::cmdGoto_Click() {
    const int row = m_lstPass->firstSelectedRow();
    if (row < 0) {
        SetStatus(m_program, QStringLiteral("You must first select an entry to go to."));
        return;
    }
    SetStatus(m_program, QStringLiteral("Opening Location..."));
    const GotoLocation go = GotoLocation::decide(m_model->entry(row).location);
    if (go.url.isEmpty()) {
        SetStatus(m_program, go.reason);
        return;
    }
    m_program.shell().openLocation(go.url);
}

void Form1::lstPass_ColumnClick(int columnHeader) {
    EnhListView_SortColumns(m_lstPass, columnHeader);
}

void Form1::resizeEvent(QResizeEvent* event) {
    QMainWindow::resizeEvent(event);
    if (m_loaded)
        Form_Resize();
}

void Form1::setStatusPanelWidth() {
    const QRect outer = frameGeometry();
    m_statusWidthHasFrame = outer != geometry();
    m_statusPanel->setMaximumWidth(tw(std::abs(toTwips(outer.width()))));
}

bool Form1::event(QEvent* event) {
    // A deferred delete ends this window inside the call: nothing of it may
    // be touched after.
    if (event->type() == QEvent::DeferredDelete)
        return QMainWindow::event(event);
    const bool handled = QMainWindow::event(event);
    // The frame comes with showing, or later from the window manager; a
    // window that never gets one keeps its width from the load.
    if (m_loaded && !m_statusWidthHasFrame && isVisible() && frameGeometry() != geometry())
        setStatusPanelWidth();
    return handled;
}

void Form1::Form_Resize() {
    if (windowState() & Qt::WindowMinimized)
        return;
    // Only the list follows the window; the buttons keep their places.
    const QRect outer = frameGeometry();
    const int left = toTwips(m_lstPass->x());
    const int top = toTwips(m_lstPass->y());
    const int width = std::abs(toTwips(outer.width()) - 2 * left - 500);
    const int height = std::abs(toTwips(outer.height()) - top - 1000);
    m_lstPass->resize(tw(width), tw(height));
}

void Form1::closeEvent(QCloseEvent* event) {
    event->ignore();
    // Every change is saved when it is made, so nothing is saved at the end;
    // but a change whose save failed would be lost without a word.
    if (m_program.unsavedChanges && !SaveData(m_program)) {
        const BoxAnswer answer = m_program.boxes().show(
            this,
            QStringLiteral("Your latest changes could not be saved and are only in this window. "
                           "Close anyway and lose them?"),
            m_program.applicationTitle(), BoxButtons::OkCancel, BoxAnswer::Cancel);
        if (answer != BoxAnswer::Ok)
            return;
    }
    m_program.unloadWindow(this);
}

void Form1::Form_Unload() {
    // A password copied from a sealed vault goes with the program too: when
    // the clipboard's owner ends, a clipboard manager keeps what it held.
    m_clipboardTimer->stop();
    clearCopiedPassword();
    m_program.unload<Form8>();
    m_program.unload<frmAbout>();
    m_program.unload<frmAdd>();
    m_program.unload<frmSplash>();
    // Asking the website window anything loads it, so a request still
    // pending from an earlier click is opened now.
    if (frmWebsite* website = m_program.form<frmWebsite>())
        (void)website->isVisible();
    if (m_program.UseSkin)
        StopSkin(m_program);
    m_program.unload<frmWebsite>();
    m_program.end();
}
