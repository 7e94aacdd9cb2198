#include "cli/Cli.h"
#include "platform/VersionRecord.h"

#include <QCoreApplication>

#ifdef Q_OS_LINUX
#include <sys/prctl.h>
#include <sys/resource.h>
#endif

int main(int argc, char* argv[]) {
    // The process holds the master password and the vault's entries in
    // memory: it must never leave a core dump of itself behind.
#ifdef Q_OS_LINUX
    const rlimit noCore{0, 0};
    setrlimit(RLIMIT_CORE, &noCore);
    prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
#endif
    QCoreApplication app(argc, argv);
    // The window's name, so that both find the same data folder
    // (~/.local/share/Keynook) for an installed copy.
    QCoreApplication::setApplicationName(VersionRecord::ofBuild().productName);
    return cli::run(QCoreApplication::arguments());
}
