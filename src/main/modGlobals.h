#pragma once

#include <QString>

class Program;
class QWidget;

// The vault procedures that drive the windows: open the vault at start, load
// its entries, create the master password, and rewrite the whole file after
// every change. The work on the file is the vault session's (VaultSession);
// these tell the user, show the windows and end the program.

// Opens the vault (creating a never-used one when there is none), reads its
// master line and opens the master password dialog in create or verify mode. Returns while the
// dialog is open.
void OpenData(Program& program);

// Loads every entry line into the list, reports the count and shows the main
// window.
void LoadEntries(Program& program);

// Writes the master password and every entry, in display order, replacing the
// vault file whole. Returns false, with the user told and the old file left as
// it was, when the file could not be written.
bool SaveData(Program& program);

// Writes the new master password as the vault's first line and shows the main
// window. Entry lines behind an empty first line stay, in the file byte for
// byte and in the list; without any, the password is the file's only line.
void CreateMasterPassword(Program& program);

// The verify step of the password dialog: for a plain vault, the typed text
// against StoredPassword; a sealed vault is opened with it (busy cursor,
// `dialog` taking no input meanwhile), and StoredPassword is then the master
// password the vault holds. False for a wrong password, and when the vault
// turned out damaged (the user told, the program ended).
bool CheckMasterPassword(Program& program, const QString& typed, QWidget* dialog);

// The vault file changed under the running window (another copy's change,
// delivered by a sync engine): when the list holds no change that is not
// saved, it shows the file's entries in place, keeping the sort and the
// selected entries that are still there, and the status line says what came
// in. A change the list cannot take as it is (a new master password, a file
// this run's key does not open) waits for the next save, which merges it or
// asks.
void FollowOutsideChange(Program& program);

// A conflict copy of the vault appeared in its folder while the window
// shows it (the folder watcher saw its name): it waits, and is merged as
// soon as the list is the file on disk (MergeWaitingCopies).
void ConflictCopyArrived(Program& program);

// Merges the conflict copies that wait, under the rules of the load
// (copymerge::mergeConflictCopies, this run's master password kept), when
// the list holds nothing unsaved, no question is open, the person is not
// away and the file is the one the list shows; shows the merged file in
// place and says on the status line what came in. Otherwise they wait for
// the next change in the folder (the next save's, which the watcher tells
// of as any other) or the return from away.
void MergeWaitingCopies(Program& program);

void PromptCreatePassword(Program& program);
void PromptPassword(Program& program);

// Sets the main window's status line.
void SetStatus(Program& program, const QString& text);

// A vault on a read-only medium takes no change, so a command refuses one
// before it is made rather than have its save fail. True, with the status line
// saying why (and, when a window in front is given, a message box there), when
// the vault is such a one.
bool RefuseChangeToReadOnlyVault(Program& program, QWidget* parent = nullptr);
