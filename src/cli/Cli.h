#pragma once

#include <QStringList>

// keynook-cli: the vault's entries from a terminal or a script. Every command
// that touches the vault goes through VaultSession, as the window does: the
// same owner checks, the same lock, the same atomic save.
namespace cli {

// What the process ends with.
enum Exit {
    Success = 0,
    UserError = 1,   // wrong password, nothing or several found, bad input
    VaultLocked = 2, // another running Keynook holds the vault
    VaultError = 3,  // the vault could not be read or written
};

// Runs the command that `arguments` (the program's name first) name, with
// standard input, output and error, and returns the exit status.
int run(const QStringList& arguments);

} // namespace cli
