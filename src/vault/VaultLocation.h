#pragma once

#include <QString>

// Where the vault and the help file are for a program in a given folder: the
// one rule that the window and the command line share.
namespace vaultlocation {

// Where the vault lives for a program started from `programFolder`. A
// vault beside the program is always used. An installed copy (see
// isInstalledLayout) keeps it in the user's data folder, even when its
// bin folder can be written to. Anything else keeps it beside the program
// when that folder can take one, otherwise in the user's data folder. A
// user's data folder made here is the owner's alone (0700).
QString chooseVaultFolder(const QString& programFolder, const QString& userDataFolder);

// The folder that holds Help.rtf: beside the program, or for an installed
// copy `<prefix>/share/keynook`. The program folder when neither has it.
QString chooseHelpFolder(const QString& programFolder);

// The folder of the running executable, found from the executable itself
// (not from the current folder or argv[0]). A folder whose name is not
// valid UTF-8 cannot be held as text; it is reached through a descriptor
// kept open for the whole run, as /proc/self/fd/N.
QString runningProgramFolder();

// An installed copy: `<prefix>/bin/keynook` with its help file in
// `<prefix>/share/keynook` and none beside it.
bool isInstalledLayout(const QString& programFolder);

// The vault file in `folder`.
QString vaultPath(const QString& folder);

// The vault file a person named: the value of `--vault` when one was given,
// else that of the KEYNOOK_VAULT environment variable, so that one command
// can still name another vault than the environment's. A relative path is
// taken from the current folder. `path` is empty when neither names one
// (the vault is then where chooseVaultFolder puts it), and `error` says why
// the name cannot be a vault file, in words that start lower case.
struct NamedVault {
    QString path;
    QString error;
};
NamedVault namedVaultFile(const QString& option, const QString& environment);

// `path` as one word of a shell's command line, quoted when it needs to be,
// for a message that tells a person what to type (`--vault PATH`).
QString shellWord(const QString& path);

// `path` to show a person: every control character (C0, DEL, C1, the line
// and paragraph separators, the bidirectional overrides and isolates)
// written as an escape (`\n`, `\x1b`, `\u2028`), and a backslash as `\\`, so
// that a file's name cannot start a new line of a message, move the cursor
// of a terminal or reorder the text around it.
QString displayName(const QString& path);

// Makes `folder` and the folders missing on the way to it. Those from `top`
// down are the owner's alone (0700): `top` is Keynook's own folder in the
// user's data folder (or a vault's folder), and nobody else has any business
// in it or below. The ordinary folders above `top` are made as any program
// makes them. A `folder` outside `top` is made as if it were `top`. True when
// `folder` is a folder afterwards; folders that were there keep their modes.
bool makePrivateFolders(const QString& top, const QString& folder);

} // namespace vaultlocation
