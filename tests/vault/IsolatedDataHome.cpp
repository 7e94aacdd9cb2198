// Every vault session takes its lock in the user's data folder: each test
// process gets one of its own, so that no test writes into the real one or
// meets another's files.
#include <QFile>
#include <QTemporaryDir>

namespace {

const bool g_isolated = [] {
    static QTemporaryDir home;
    qputenv("XDG_DATA_HOME", QFile::encodeName(home.path()));
    return home.isValid();
}();

} // namespace
