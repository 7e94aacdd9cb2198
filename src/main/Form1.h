#pragma once

#include "startup/Window.h"

#include <QMainWindow>
#include <QPointer>

#include <vector>

class AwayWatch;
class EntryModel;
class ListView;
class QAction;
class QLabel;
class QMimeData;
class QPushButton;
class QStatusBar;
class QTimer;

// The main window: the entry list, the command buttons and menus, and the
// status line.
class Form1 : public QMainWindow, public Window {
    Q_OBJECT

public:
    explicit Form1(Program& program);
    ~Form1() override;

    QWidget* widget() override { return this; }
    void Form_Load() override;
    void Form_Unload() override;

    // Shows the window once the vault is open, and closes the password dialog.
    void afterFormLoad();

    void setStatusText(const QString& text);
    QString statusText() const;

    EntryModel& entries() { return *m_model; }
    // What tells the window to lock when its person is away; null until the
    // vault is open.
    AwayWatch* awayWatch() const { return m_awayWatch; }
    // Clears the clipboard when it still holds a password that this run put
    // there, from either form of vault.
    void clearPasswordFromClipboard();
    ListView* list() const { return m_lstPass; }

    // The commands of the buttons and menus.
    void cmdAdd_Click(int index);
    void cmdEdit_Click();
    void cmdDelete_Click();
    void cmdGoto_Click();
    void cmdCopy_Click(int index);
    void lstPass_ColumnClick(int columnHeader);
    void cmdWebsite_Click(int index);
    void mnuHelpItem_Click();
    void mnuAboutItem_Click();

protected:
    void resizeEvent(QResizeEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    bool event(QEvent* event) override;

private:
    void Form_Resize();
    void showEditor();
    template <class T> void showWindow();
    QPushButton* addButton(const QString& name, const QString& caption, int left, int top,
                           int width, int height);
    QAction* addMenuItem(class QMenu* menu, const QString& name, const QString& caption);

    QWidget* m_client = nullptr;
    ListView* m_lstPass = nullptr;
    EntryModel* m_model = nullptr;
    // Follows the vault file while the window shows it.
    QObject* m_watcher = nullptr;
    QStatusBar* m_statusBar = nullptr;
    QLabel* m_statusPanel = nullptr;
    QPushButton* m_cmdCopy[3] = {};
    QPushButton* m_cmdWebsite = nullptr;
    bool m_loaded = false;
    // A password copied from a sealed vault leaves the clipboard after a
    // while, if the clipboard still holds it.
    QTimer* m_clipboardTimer = nullptr;
    QString m_copiedPassword;
    // What the clipboard got at the last copy of a password: gone once
    // another copy or another program replaced it.
    QPointer<QMimeData> m_passwordOnClipboard;
    AwayWatch* m_awayWatch = nullptr;
    void clearCopiedPassword();
    // The status panel takes the window's outer width. At load the window
    // has no frame yet; once it has one, the width is taken again, once.
    bool m_statusWidthHasFrame = false;
    void setStatusPanelWidth();
};
