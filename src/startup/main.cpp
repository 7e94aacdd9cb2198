#include "platform/NoCoreDump.h"
#include "platform/VersionRecord.h"
#include "startup/Program.h"
#include "startup/WindowArguments.h"
#include "vault/VaultLocation.h"

#include "VersionInfo.h"

#include <QApplication>
#include <QIcon>
#include <QStandardPaths>
#include <QStringList>

#include <cstdio>

namespace {

// A mistake on the command line: said on standard error, as a terminal
// user expects, and the program ends before any window.
int refuse(const QString& error) {
    std::fprintf(stderr, "keynook: %s; see `keynook --help`\n", qPrintable(error));
    return 1;
}

} // namespace

int main(int argc, char* argv[]) {
    forbidCoreDumps();
    const VersionRecord version = VersionRecord::ofBuild();
    // Answered before any window system is asked for, so they work in a
    // terminal without a display.
    QStringList given;
    for (int i = 1; i < argc; ++i)
        given << QString::fromLocal8Bit(argv[i]);
    const windowarguments::Parsed parsed = windowarguments::parse(given);
    if (parsed.ask == windowarguments::Parsed::Ask::Version) {
        std::printf("%s %s\n", qPrintable(version.productName), KEYNOOK_VERSION);
        return 0;
    }
    if (parsed.ask == windowarguments::Parsed::Ask::Help) {
        std::printf("%s", qPrintable(windowarguments::usage(QString::fromLocal8Bit(argv[0]),
                                                            version.productName)));
        return 0;
    }
    if (!parsed.error.isEmpty())
        return refuse(parsed.error);
    const vaultlocation::NamedVault named =
        vaultlocation::namedVaultFile(parsed.vault, qEnvironmentVariable("KEYNOOK_VAULT"));
    if (!named.error.isEmpty())
        return refuse(named.error);
    QApplication app(argc, argv);
    // Qt has taken its own options out of the line: what is left that is
    // not ours is a mistake, said before anything is opened.
    if (const QString wrong =
            windowarguments::notOurs(parsed, QCoreApplication::arguments().mid(1));
        !wrong.isEmpty())
        return refuse(wrong);
    QCoreApplication::setApplicationName(version.productName);
    // The program decides when it ends (the main window's unload, or the
    // password dialog): windows hiding on the way must not end it.
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/keynook.png")));
    // Lets the desktop match the windows to the installed launcher and its icon.
    QGuiApplication::setDesktopFileName(QStringLiteral(KEYNOOK_APP_ID));

    Program::Options options;
    options.version = version;
    const QString programFolder = vaultlocation::runningProgramFolder();
    options.programFolder = vaultlocation::chooseHelpFolder(programFolder);
    // A vault named on the command line or in the environment is used
    // wherever it is; only without one is the usual place chosen (and the
    // user's data folder made for it).
    if (!named.path.isEmpty())
        options.vaultFile = named.path;
    else
        options.vaultFolder = vaultlocation::chooseVaultFolder(
            programFolder, QStandardPaths::writableLocation(QStandardPaths::AppDataLocation));
    Program program(std::move(options));
    program.setOnEnd([] { QCoreApplication::exit(0); });
    program.start();
    if (program.ended())
        return 0;
    return app.exec();
}
