#pragma once

#include "appearance/SkinComponent.h"
#include "platform/Seams.h"
#include "platform/VersionRecord.h"
#include "startup/Window.h"
#include "sync/RecordKeeper.h"
#include "vault/VaultFile.h"
#include "vault/VaultHistory.h"
#include "vault/VaultSession.h"

#include <QList>
#include <QPointer>
#include <QString>
#include <QWidget>

#include <functional>
#include <map>
#include <memory>
#include <typeindex>
#include <vector>

// One run of the program: the values the windows hand to each other, the
// desktop seams, and the loaded windows. Windows are loaded when first asked
// for and unloaded when closed; loading a loaded window does nothing.
class Program {
public:
    struct Options {
        QString vaultFolder; // where data.enc lives
        // The vault file itself, when one was named (--vault, KEYNOOK_VAULT):
        // then it is used in place of data.enc in vaultFolder.
        QString vaultFile;
        QString programFolder; // where Help.rtf lives
        VersionRecord version = VersionRecord::ofBuild();
        std::unique_ptr<MessageBoxes> boxes;
        std::unique_ptr<Clock> clock;
        std::unique_ptr<Shell> shell;
        std::unique_ptr<Settings> settings; // the product's own store when not given
        std::unique_ptr<SystemInfo> system;
        // The key a plain vault's list is sealed under while it is put away
        // (a sealed vault's own key serves for a sealed one).
        sealedvault::SealParams awayKeyParams = sealedvault::SealParams::defaults();
    };

    explicit Program(Options options);
    ~Program();
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    // Program-wide values shared by the windows.
    QString MasterPassword;
    QString StoredPassword;
    qint16 PasswordMode = 0; // -1 create, 0 verify
    qint16 PasswordTries = 0;
    bool UseSkin = false;

    // Hand-over from the Add and Edit commands to the entry editor. EditRow is
    // the edited row's display position when Edit was chosen; EditEntryId
    // names the entry itself, so a sort or a delete while the editor is open
    // cannot turn its Save onto another entry.
    QString EntryMode;
    QString EditUsername;
    QString EditPassword;
    QString EditLocation;
    int EditRow = 0;
    quint64 EditEntryId = 0;

    // True while the list holds a change that the last save could not write.
    bool unsavedChanges = false;
    // What a save took in from another copy, said after the status the
    // command that saved sets (once).
    QString statusNote;
    // A conflict copy appeared beside the vault while the window shows it,
    // and waits to be merged (MergeWaitingCopies): the list must first be
    // the file as it is on disk.
    bool copiesWaiting = false;
    // The copies the last merge left where they were, as they were then:
    // tried again only once they change, or another copy comes.
    std::map<QString, vaultfile::Stamp> copiesLeft;

    // The vault of this run, from its opening (OpenData) to the end: it
    // holds the lock that keeps a second copy of the program from
    // overwriting this one's changes, and the stamp of the file as this run
    // last read or wrote it. On a medium that takes no writes it holds no
    // lock, and every change is refused before it is made.
    std::unique_ptr<VaultSession> vault;
    // What this computer saw of the vault: every state the session read or
    // wrote, in the user's data folder, as the base of later merges.
    std::unique_ptr<VaultHistory> history;
    // What a sealed vault has seen, brought up to date at each save.
    std::unique_ptr<RecordKeeper> keeper;

    // While the vault is put away, its person gone (main/AwayLock.h): the
    // sealed copy of what the main window held, which only the master
    // password opens, and the windows to show again.
    struct Away {
        bool on = false;
        // Sealed; the opened bytes between the password's check and
        // ComeBack().
        QByteArray copy;
        std::vector<QPointer<QWidget>> windows;
        QPointer<QWidget> active;
        QList<int> selectedRows;
        int currentRow = -1;
    } away;

    // Branding values, copied from the version record at start.
    QString BrandProductName;
    QString BrandCompanyName;
    QString BrandComments;

    // The website window's pending request: "Website", or empty.
    QString WebsiteTarget;

    // The skin every window is drawn with, and its companion.
    QPointer<Skin> SkinObject;
    std::unique_ptr<Companion> SkinCompanion;
    // The companion, made on first use by whichever step needs it first.
    Companion& companion();

    // Loads the window when it is not loaded (running its load) and returns
    // it; null when the load ended the program or unloaded the window again.
    template <class T> T* form() {
        if (T* w = loaded<T>())
            return w;
        if (m_ended)
            return nullptr;
        T* w = new T(*this);
        m_windows[std::type_index(typeid(T))] = w;
        w->Form_Load();
        return loaded<T>();
    }

    template <class T> T* loaded() const {
        auto it = m_windows.find(std::type_index(typeid(T)));
        return it == m_windows.end() ? nullptr : static_cast<T*>(it->second);
    }

    template <class T> void unload() {
        if (T* w = loaded<T>())
            unloadWindow(w);
    }

    // Runs the window's unload handler and destroys it. Windows call this from
    // their close event, so the close box and code unload the same way.
    void unloadWindow(Window* window);

    // The start of the run: loads and shows the splash window, which hands
    // over to the main window.
    void start();

    // The hand-over: loads the main window, which opens the vault and asks
    // for the master password, and shows it.
    void loadMainWindow();

    // Ends the program at once: no further handler runs and nothing is written.
    void end();
    bool ended() const { return m_ended; }
    void setOnEnd(std::function<void()> onEnd) { m_onEnd = std::move(onEnd); }

    QString vaultPath() const;
    const VersionRecord& version() const { return m_options.version; }
    MessageBoxes& boxes() { return m_countedBoxes; }
    // How many message boxes are open now: code waiting for an answer.
    int boxesOpen() const { return m_boxesOpen; }
    Clock& clock() { return *m_options.clock; }
    Shell& shell() { return *m_options.shell; }
    Settings& settings() { return *m_options.settings; }
    const SystemInfo& system() const { return *m_options.system; }
    const sealedvault::SealParams& awayKeyParams() const { return m_options.awayKeyParams; }
    const QString& programFolder() const { return m_options.programFolder; }

    // The title of message boxes that have none of their own.
    QString applicationTitle() const { return m_options.version.productName; }

private:
    // Every box goes through here, so that the program knows when one is
    // open: putting the vault away then waits for the code that showed it.
    class CountedBoxes : public MessageBoxes {
    public:
        explicit CountedBoxes(Program& program) : m_program(program) {}
        BoxAnswer show(QWidget* parent, const QString& text, const QString& title,
                       BoxButtons buttons, BoxAnswer defaultButton) override;

    private:
        Program& m_program;
    };

    Options m_options;
    CountedBoxes m_countedBoxes{*this};
    int m_boxesOpen = 0;
    std::map<std::type_index, Window*> m_windows;
    bool m_ended = false;
    std::function<void()> m_onEnd;
};
