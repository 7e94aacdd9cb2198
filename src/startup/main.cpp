#include "platform/VersionRecord.h"
#include "startup/Program.h"

#include <QApplication>
#include <QIcon>
#include <QStandardPaths>

#ifdef Q_OS_LINUX
#include <sys/prctl.h>
#include <sys/resource.h>
#endif

int main(int argc, char* argv[]) {
    // The process holds the vault's passwords in memory: it must never leave
    // a core dump of itself behind.
#ifdef Q_OS_LINUX
    const rlimit noCore{0, 0};
    setrlimit(RLIMIT_CORE, &noCore);
    prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
#endif
    QApplication app(argc, argv);
    const VersionRecord version = VersionRecord::ofBuild();
    QCoreApplication::setApplicationName(version.productName);
    // The program decides when it ends (the main window's unload, or the
    // password dialog): windows hiding on the way must not end it.
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/keynook.png")));
    // Lets the desktop match the windows to the installed launcher and its icon.
    QGuiApplication::setDesktopFileName(QStringLiteral(KEYNOOK_APP_ID));

    Program::Options options;
    options.version = version;
    const QString programFolder = QCoreApplication::applicationDirPath();
    options.programFolder = Program::chooseHelpFolder(programFolder);
    options.vaultFolder = Program::chooseVaultFolder(
        programFolder, QStandardPaths::writableLocation(QStandardPaths::AppDataLocation));
    Program program(std::move(options));
    program.setOnEnd([] { QCoreApplication::exit(0); });
    program.start();
    if (program.ended())
        return 0;
    return app.exec();
}
