#include "cli/Cli.h"
#include "platform/NoCoreDump.h"
#include "platform/VersionRecord.h"

#include <QCoreApplication>

int main(int argc, char* argv[]) {
    forbidCoreDumps();
    QCoreApplication app(argc, argv);
    // The window's name, so that both find the same data folder
    // (~/.local/share/Keynook) for an installed copy.
    QCoreApplication::setApplicationName(VersionRecord::ofBuild().productName);
    return cli::run(QCoreApplication::arguments());
}
