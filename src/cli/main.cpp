#include "cli/Cli.h"
#include "cli/Clipboard.h"
#include "platform/NoCoreDump.h"
#include "platform/VersionRecord.h"

#include <QCoreApplication>

#include <cstring>

int main(int argc, char* argv[]) {
    forbidCoreDumps();
    // The process that keeps a field on the clipboard for `clip`: it needs
    // the display, which every other command does without.
    if (argc > 1 && std::strcmp(argv[1], clipboard::kServeArgument) == 0)
        return clipboard::serve(argc, argv);
    QCoreApplication app(argc, argv);
    // The window's name, so that both find the same data folder
    // (~/.local/share/Keynook) for an installed copy.
    QCoreApplication::setApplicationName(VersionRecord::ofBuild().productName);
    return cli::run(QCoreApplication::arguments());
}
