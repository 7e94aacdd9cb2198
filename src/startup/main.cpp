#include "platform/NoCoreDump.h"
#include "platform/VersionRecord.h"
#include "startup/Program.h"
#include "vault/VaultLocation.h"

#include "VersionInfo.h"

#include <QApplication>
#include <QIcon>
#include <QStandardPaths>

#include <cstdio>

int main(int argc, char* argv[]) {
    forbidCoreDumps();
    const VersionRecord version = VersionRecord::ofBuild();
    // Answered before any window system is asked for, so they work in a
    // terminal without a display.
    for (int i = 1; i < argc; ++i) {
        const QByteArray arg(argv[i]);
        if (arg == "--version") {
            std::printf("%s %s\n", qPrintable(version.productName), KEYNOOK_VERSION);
            return 0;
        }
        if (arg == "--help") {
            std::printf("Usage: %s [--version | --help]\n\n"
                        "Starts %s, which asks for the master password of the vault.\n",
                        argv[0], qPrintable(version.productName));
            return 0;
        }
    }
    QApplication app(argc, argv);
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
    options.vaultFolder = vaultlocation::chooseVaultFolder(
        programFolder, QStandardPaths::writableLocation(QStandardPaths::AppDataLocation));
    Program program(std::move(options));
    program.setOnEnd([] { QCoreApplication::exit(0); });
    program.start();
    if (program.ended())
        return 0;
    return app.exec();
}
