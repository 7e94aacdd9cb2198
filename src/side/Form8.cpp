#include "side/Form8.h"

#include "appearance/modSkin.h"
#include "dialogs/modOnTop.h"
#include "platform/Twips.h"
#include "rtf/RtfReader.h"
#include "startup/Program.h"
#include "vault/VaultFile.h"

#include <QCloseEvent>
#include <QDir>
#include <QFile>
#include <QTextBrowser>

namespace {
const QString kSection = QStringLiteral("Settings");
const QString kKey = QStringLiteral("showHelp");
// Past this a file is not a help text (ours is 8 KB), and laying it out
// would hold up every start: it is treated as a help file that cannot be
// shown, like a missing one.
constexpr qint64 kMaxHelpBytes = 256 * 1024;

// The stored value: 0 unchecked, 1 checked, 2 grayed.
Qt::CheckState stateOf(int value) {
    return value == 0 ? Qt::Unchecked : value == 1 ? Qt::Checked : Qt::PartiallyChecked;
}

int valueOf(Qt::CheckState state) {
    return state == Qt::Unchecked ? 0 : state == Qt::Checked ? 1 : 2;
}
} // namespace

void StartupCheckBox::nextCheckState() {
    setCheckState(checkState() == Qt::Checked ? Qt::Unchecked : Qt::Checked);
}

Form8::Form8(Program& program) : Window(program) {
    setObjectName(QStringLiteral("Form8"));
    setWindowTitle(QStringLiteral("Readme/Help"));
    setWindowFlags(Qt::Tool | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    m_rtf1 = new QTextBrowser(this);
    m_rtf1->setObjectName(QStringLiteral("rtf1"));
    m_rtf1->setGeometry(twRect(0, 0, 10275, 7515));
    // The help text is to be read; edits would never be saved.
    m_rtf1->setReadOnly(true);
    // Links in the help text open in the browser, like the website button.
    m_rtf1->setOpenLinks(false);
    connect(m_rtf1, &QTextBrowser::anchorClicked, this,
            [this](const QUrl& url) { m_program.shell().openAddress(url.toString()); });
    m_check1 = new StartupCheckBox(QStringLiteral("Show at Startup"), this);
    m_check1->setObjectName(QStringLiteral("Check1"));
    m_check1->setGeometry(twRect(60, 7620, 1995, 255));
    m_check1->setChecked(true);
    connect(m_check1, &QCheckBox::clicked, this, &Form8::Check1_Click);
    setFixedSize(tw(10290), tw(7920));
    centreOnScreen(this);
}

QString Form8::helpPath() const {
    return QDir(m_program.programFolder()).filePath(QStringLiteral("Help.rtf"));
}

void Form8::Form_Load() {
    if (m_program.UseSkin)
        SkinForm(m_program, this);
    // The help file is found whatever the case of its name, and read by the
    // name it has.
    const QString path = vaultfile::findFileIgnoringCase(helpPath());
    QFile file(path);
    if (path.isEmpty() || file.size() > kMaxHelpBytes) {
        m_missing = true;
        return;
    }
    if (file.open(QIODevice::ReadOnly))
        m_loaded = rtf::read(file.read(kMaxHelpBytes), *m_rtf1->document());
    m_rtf1->moveCursor(QTextCursor::Start); // open at the top of the text
    SetOnTop(this, -1);

    bool ok = false;
    const int value = m_program.settings().read(kSection, kKey, QStringLiteral("1")).toShort(&ok);
    if (!ok || value < 0 || value > 2)
        return; // the box keeps its design state
    const Qt::CheckState state = stateOf(value);
    if (state != m_check1->checkState()) {
        m_check1->setTristate(state == Qt::PartiallyChecked);
        m_check1->setCheckState(state);
        Check1_Click();
    }
}

void Form8::Check1_Click() {
    m_program.settings().write(kSection, kKey, QString::number(valueOf(m_check1->checkState())));
}

void Form8::setVisible(bool visible) {
    if (visible && m_missing)
        return;
    QWidget::setVisible(visible);
}

void Form8::closeEvent(QCloseEvent* event) {
    event->ignore();
    m_program.unloadWindow(this);
}
