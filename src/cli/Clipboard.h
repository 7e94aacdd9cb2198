#pragma once

#include <QString>

// keynook-cli's clipboard. On X11 the text on the clipboard is not stored
// anywhere: its owner hands it to each program that pastes, so someone must
// stay to own it. A command that stayed would keep the terminal (and any
// pipe of a script's) waiting, so the text goes to a process of its own,
// started from the same program and detached from the terminal, which owns
// the clipboard until the timeout, then clears it, or until another program
// takes the clipboard, leaving that program's text alone. It holds no lock
// on the vault and nothing of it but the one text.
namespace clipboard {

// The argument that starts the program as that process; no person types it.
inline constexpr char kServeArgument[] = "--serve-clipboard";

// Hands `text` to a new clipboard process and returns once that process owns
// the clipboard: empty then, otherwise why not. A secret is marked so that
// clipboard managers leave it out of their history. `seconds` 0 never
// clears it. `process` is given the clipboard process's id: ending it
// clears the clipboard at once.
QString offer(const QString& text, bool secret, int seconds, qint64* process);

// The clipboard process: reads the text from standard input, owns the
// clipboard and reports "ok" or why not on standard output.
int serve(int argc, char** argv);

} // namespace clipboard
