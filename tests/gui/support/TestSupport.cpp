#include "support/TestSupport.h"

#include "dialogs/frmPass.h"
#include "main/Form1.h"
#include "main/ListView.h"
#include "vault/VaultFile.h"
#include "vault/VaultLock.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QUuid>

#include <cstdlib>
#include <utility>

void prepareGuiTestEnvironment() {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // Settings and runtime files go to a folder of this test run only, never
    // to the user's own.
    static QTemporaryDir home;
    const QString base = home.path();
    QDir(base).mkpath(QStringLiteral("config"));
    QDir(base).mkpath(QStringLiteral("runtime"));
    QFile::setPermissions(base + QStringLiteral("/runtime"),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    qputenv("HOME", base.toLocal8Bit());
    qputenv("XDG_CONFIG_HOME", (base + QStringLiteral("/config")).toLocal8Bit());
    qputenv("XDG_RUNTIME_DIR", (base + QStringLiteral("/runtime")).toLocal8Bit());
}

BoxAnswer RecordingBoxes::show(QWidget* parent, const QString& text, const QString& title,
                               BoxButtons buttons, BoxAnswer defaultButton) {
    shown.push_back({text, title, buttons, defaultButton, parent});
    if (const std::function<void()> hook = std::exchange(whileShown, nullptr))
        hook();
    if (answers.empty()) {
        ++unanswered;
        return BoxAnswer::Closed;
    }
    const BoxAnswer a = answers.front();
    answers.pop_front();
    return a;
}

Harness::Harness(VersionRecord version) {
    Program::Options options;
    options.version = std::move(version);
    options.vaultFolder = m_dir.path();
    options.programFolder = m_dir.path();
    // A plain vault put away is sealed under a key at the least cost.
    options.awayKeyParams = sealedvault::ParamBounds::accepted().least;
    // The real settings store, in a file of this harness alone.
    options.settings = std::make_unique<QtSettingsStore>(
        QStringLiteral("keynook-test-") + QUuid::createUuid().toString(QUuid::WithoutBraces),
        QStringLiteral("Keynook"));
    auto system = std::make_unique<FakeSystem>();
    m_system = system.get();
    options.system = std::move(system);
    auto boxes = std::make_unique<RecordingBoxes>();
    auto clock = std::make_unique<FixedClock>();
    m_boxes = boxes.get();
    m_clock = clock.get();
    auto shell = std::make_unique<RecordingShell>();
    m_shell = shell.get();
    options.boxes = std::move(boxes);
    options.clock = std::move(clock);
    options.shell = std::move(shell);
    m_program = std::make_unique<Program>(std::move(options));
}

Harness::~Harness() {
    m_program.reset();
    flushDeletes();
}

void Harness::flushDeletes() {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

QString Harness::vaultPath() const {
    return m_dir.filePath(QStringLiteral("data.enc"));
}

QString Harness::lockName() const {
    return QFileInfo(QFile::decodeName(VaultLock::pathFor(vaultfile::realFilePath(vaultPath()))))
        .fileName();
}

QByteArray Harness::vaultBytes() const {
    QFile f(vaultPath());
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray("<missing>");
    return f.readAll();
}

void Harness::writeVault(const QByteArray& bytes) const {
    QFile f(vaultPath());
    if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        f.write(bytes);
}

QByteArray cipherLine(const QByteArray& plain) {
    QByteArray out = plain;
    for (char& c : out)
        c = static_cast<char>(static_cast<unsigned char>(c) ^ 0x80u);
    return out + "\r\n";
}

Form1* Harness::open(const QList<QByteArray>& entryLines) {
    QByteArray file = cipherLine("master");
    for (const QByteArray& line : entryLines)
        file += cipherLine(line);
    return openFile(file + "\r\n");
}

Form1* Harness::openFile(const QByteArray& file, const QString& password) {
    writeVault(file);
    m_program->loadMainWindow();
    return enterPassword(password);
}

Form1* Harness::enterPassword(const QString& password) {
    frmPass* dialog = m_program->loaded<frmPass>();
    if (!dialog)
        return nullptr;
    dialog->findChild<QLineEdit*>(QStringLiteral("txtPass"))->setText(password);
    dialog->cmdOK_Click();
    return m_program->loaded<Form1>();
}

QStringList shownUsernames(Form1* main) {
    QStringList names;
    const QAbstractItemModel* m = main->list()->model();
    for (int r = 0; r < m->rowCount(); ++r)
        names << m->index(r, 0).data().toString();
    return names;
}

void selectRows(Form1* main, const QList<int>& rows) {
    QItemSelectionModel* selection = main->list()->selectionModel();
    selection->clearSelection();
    for (int r : rows)
        selection->select(main->list()->model()->index(r, 0),
                          QItemSelectionModel::Select | QItemSelectionModel::Rows);
}
