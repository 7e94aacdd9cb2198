#pragma once

// The commands of keynook-cli, one function each, in files by what they
// work on. Each runs after the parser has checked the command line against
// the table (CommandTable), which names every command with its function:
// that row is the only way a command is reached. A command checks its own
// options' values first, then makes sure a secret can be had before it asks
// for one, so that a mistake on the command line costs no password.
// Each returns the exit status, or throws a failure (Context.h).
namespace cli {

class Context;

// EntryCommands.cpp: the entries, and new passwords.
int listEntries(Context& c);      // list
int showEntries(Context& c);      // show
int getField(Context& c);         // get
int clipField(Context& c);        // clip
int addEntry(Context& c);         // add
int editEntry(Context& c);        // edit
int removeEntry(Context& c);      // remove
int generatePassword(Context& c); // generate

// VaultCommands.cpp: the vault as a whole, and what this computer kept of it.
int initVault(Context& c);     // init
int changeMaster(Context& c);  // passwd
int sealVault(Context& c);     // seal
int unsealVault(Context& c);   // unseal
int checkVault(Context& c);    // check
int listBackups(Context& c);   // backups
int restoreBackup(Context& c); // restore

// SyncCommands.cpp: copies of the vault merged.
int mergeCopies(Context& c); // merge
int gitMerge(Context& c);    // git-merge

// InterchangeCommands.cpp: other managers' files.
int exportEntries(Context& c); // export
int importEntries(Context& c); // import

// Completion.cpp: the shell completions made from the table.
int printCompletion(Context& c); // completion

} // namespace cli
