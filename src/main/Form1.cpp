#include "main/Form1.h"

#include "dialogs/frmPass.h"
#include "main/EntryModel.h"
#include "platform/Twips.h"
#include "startup/Program.h"
#include "vault/modGlobals.h"

#include <QCloseEvent>
#include <QHeaderView>
#include <QLabel>
#include <QMenuBar>
#include <QPushButton>
#include <QScreen>
#include <QStatusBar>
#include <QTreeView>

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
    addButton(QStringLiteral("cmdAdd"), QStringLiteral("Add"), 60, 60, 1155, 1035);
    addButton(QStringLiteral("cmdEdit"), QStringLiteral("Edit"), 2460, 60, 1155, 1035);
    addButton(QStringLiteral("cmdDelete"), QStringLiteral("Delete"), 1260, 60, 1155, 1035);
    m_cmdWebsite = addButton(QStringLiteral("cmdWebsite"), QString(), 4860, 60, 4095, 1035);

    m_model = new EntryModel(this);
    m_lstPass = new QTreeView(m_client);
    m_lstPass->setObjectName(QStringLiteral("lstPass"));
    m_lstPass->setGeometry(twRect(60, 1980, 8895, 4215));
    m_lstPass->setRootIsDecorated(false);
    m_lstPass->setItemsExpandable(false);
    m_lstPass->setUniformRowHeights(true);
    m_lstPass->setAllColumnsShowFocus(true);
    m_lstPass->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_lstPass->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_lstPass->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_lstPass->header()->setStretchLastSection(false);
    m_lstPass->header()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    m_lstPass->setModel(m_model);

    m_cmdCopy[0] = addButton(QStringLiteral("cmdCopy_0"), QStringLiteral("Copy Username"), 60, 1140,
                             2355, 795);
    addButton(QStringLiteral("cmdGoto"), QStringLiteral("Go To"), 3660, 60, 1155, 1035);
    m_cmdCopy[1] = addButton(QStringLiteral("cmdCopy_1"), QStringLiteral("Copy Password"), 2460,
                             1140, 2355, 795);
    m_cmdCopy[2] = addButton(QStringLiteral("cmdCopy_2"), QStringLiteral("Copy Used At"), 4860,
                             1140, 4095, 795);

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

    QMenu* file = menuBar()->addMenu(QStringLiteral("File"));
    file->setObjectName(QStringLiteral("mnuFile"));
    QAction* exit = addMenuItem(file, QStringLiteral("mnuFileItem_0"), QStringLiteral("Exit"));
    connect(exit, &QAction::triggered, this, &QWidget::close);

    QMenu* data = menuBar()->addMenu(QStringLiteral("Data"));
    data->setObjectName(QStringLiteral("mnuData"));
    addMenuItem(data, QStringLiteral("mnuDataItem_0"), QStringLiteral("Add Username/Password"));
    addMenuItem(data, QStringLiteral("mnuDataItem_1"), QStringLiteral("Delete Selected Item"));
    addMenuItem(data, QStringLiteral("mnuDataItem_2"), QStringLiteral("Edit Selected Item"));
    addMenuItem(data, QStringLiteral("mnuDataItem_3"), QStringLiteral("Goto \"Used At\" Location"));

    QMenu* copy = menuBar()->addMenu(QStringLiteral("Copy"));
    copy->setObjectName(QStringLiteral("mnuCopy"));
    addMenuItem(copy, QStringLiteral("mnuCopyItem_0"), QStringLiteral("Selected Username"));
    addMenuItem(copy, QStringLiteral("mnuCopyItem_1"), QStringLiteral("Selected Password"));
    addMenuItem(copy, QStringLiteral("mnuCopyItem_2"), QStringLiteral("Selected Used At Location"));

    QMenu* help = menuBar()->addMenu(QStringLiteral("Help"));
    help->setObjectName(QStringLiteral("mnuHelp"));
    addMenuItem(help, QStringLiteral("mnuHelpItem_0"), QStringLiteral("View Help"));

    QMenu* about = menuBar()->addMenu(QStringLiteral("About"));
    about->setObjectName(QStringLiteral("mnuAbout"));
    addMenuItem(about, QStringLiteral("mnuAboutItem_0"), QStringLiteral("About this software"));

    resize(tw(kClientWidth), menuBar()->sizeHint().height() + tw(kClientHeight));
    // Centre on the screen for the first show.
    if (QScreen* s = screen()) {
        QRect r = geometry();
        r.moveCenter(s->availableGeometry().center());
        move(r.topLeft());
    }
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
    m_statusPanel->setMaximumWidth(tw(std::abs(toTwips(frameGeometry().width()))));
    m_loaded = true;

    OpenData(m_program);
}

void Form1::afterFormLoad() {
    setVisible(true);
    activateWindow();
    raise();
    m_program.unload<frmPass>();
}

void Form1::setStatusText(const QString& text) {
    m_statusPanel->setText(text);
}

QString Form1::statusText() const {
    return m_statusPanel->text();
}

std::vector<const Entry*> Form1::entriesInDisplayOrder() const {
    std::vector<const Entry*> out;
    const QAbstractItemModel* shown = m_lstPass->model();
    const int rows = shown->rowCount();
    out.reserve(static_cast<size_t>(rows));
    for (int r = 0; r < rows; ++r)
        out.push_back(&m_model->entry(r));
    return out;
}

void Form1::resizeEvent(QResizeEvent* event) {
    QMainWindow::resizeEvent(event);
    if (m_loaded)
        Form_Resize();
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
    m_program.unloadWindow(this);
}

void Form1::Form_Unload() {
    m_program.end();
}
