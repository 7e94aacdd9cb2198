// keynook-cli's memory, read through /proc while the program waits for a
// second secret: the master password it was given is in none of the
// encodings the program could have copied it into, and a sealed vault's
// opened bytes are in memory locked out of swap.
#include "CliTestSupport.h"

#include "vault/VaultFormat.h"

#include <QCoreApplication>
#include <QFile>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

// A letter outside ASCII, so that UTF-8, UTF-16 and Windows-1252 differ.
const QString kMaster = QStringLiteral("Zo\u00eb-hunter22secret");

struct Needle {
    const char* encoding;
    QByteArray bytes;
};

// Written out here, not by the code under test.
std::vector<Needle> encodingsOfTheMaster() {
    QByteArray utf16;
    for (const QChar c : kMaster)
        utf16.append(static_cast<char>(c.unicode() & 0xFF))
            .append(static_cast<char>(c.unicode() >> 8));
    return {{"UTF-8", QByteArray("Zo\xC3\xAB-hunter22secret")},
            {"UTF-16LE", utf16},
            {"Windows-1252", QByteArray("Zo\xEB-hunter22secret")}};
}

// Where each needle lies in every readable mapping of process `pid`.
// Mappings of over a GiB are address space reserved by a sanitizer, not
// memory the program filled.
QStringList whereFound(pid_t pid, const std::vector<Needle>& needles) {
    QFile maps(QStringLiteral("/proc/%1/maps").arg(pid));
    if (!maps.open(QIODevice::ReadOnly))
        return {QStringLiteral("the mappings could not be read")};
    const int mem = ::open(QStringLiteral("/proc/%1/mem").arg(pid).toLocal8Bit().constData(),
                           O_RDONLY | O_CLOEXEC);
    if (mem < 0)
        return {QStringLiteral("the memory could not be read")};
    QStringList found;
    for (const QByteArray& line : maps.readAll().split('\n')) {
        const QList<QByteArray> f = line.simplified().split(' ');
        if (f.size() < 5 || !f[1].startsWith('r'))
            continue;
        const QList<QByteArray> range = f[0].split('-');
        const quint64 start = range[0].toULongLong(nullptr, 16);
        const quint64 size = range[1].toULongLong(nullptr, 16) - start;
        const QByteArray name = f.size() > 5 ? f[5] : QByteArray("anonymous");
        if (size > (quint64(1) << 30) || name == "[vvar]" || name == "[vsyscall]")
            continue;
        QByteArray bytes(static_cast<qsizetype>(size), '\0');
        if (::pread(mem, bytes.data(), size, static_cast<off_t>(start)) !=
            static_cast<ssize_t>(size))
            continue;
        for (const Needle& n : needles)
            for (qsizetype at = bytes.indexOf(n.bytes); at >= 0;
                 at = bytes.indexOf(n.bytes, at + 1))
                found << QStringLiteral("%1 at %2+0x%3")
                             .arg(QLatin1String(n.encoding), QString::fromLocal8Bit(name))
                             .arg(at, 0, 16);
    }
    ::close(mem);
    return found;
}

qint64 lockedBytes(pid_t pid) {
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmLck:"))
            return line.mid(6).simplified().split(' ').value(0).toLongLong() * 1024;
    return -1;
}

class Memory : public clitest::CliFolder {};

// While `add` waits for the entry's password, the master password was typed
// and checked, and the vault opened: nothing needs it as text any more.
TEST_F(Memory, NoCopyOfTheMasterPasswordWhileTheNextSecretIsAsked) {
    // Over a hundred KiB: far more than the page of the sealed vault's key.
    std::vector<Entry> entries;
    for (int i = 0; i < 3000; ++i)
        entries.push_back({QStringLiteral("user%1").arg(i), QStringLiteral("pw-%1-x9").arg(i),
                           QStringLiteral("site%1.example.org").arg(i)});
    const QByteArray plain = vaultformat::savedFile(kMaster, entries);
    rlimit memlock{};
    ASSERT_EQ(::getrlimit(RLIMIT_MEMLOCK, &memlock), 0);
    bool mayLock = memlock.rlim_cur == RLIM_INFINITY ||
                   memlock.rlim_cur >= static_cast<rlim_t>(plain.size()) + 64 * 1024;
#if defined(__SANITIZE_ADDRESS__)
    mayLock = false; // AddressSanitizer turns mlock() into nothing
#endif
    struct Row {
        const char* name;
        bool sealed;
    };
    for (const Row row : {Row{"plain", false}, Row{"sealed", true}}) {
        SCOPED_TRACE(row.name);
        ASSERT_TRUE(QDir().mkpath(path(QStringLiteral("vault/") + QLatin1String(row.name))));
        m_vault = path(QStringLiteral("vault/%1/data.enc").arg(QLatin1String(row.name)));
        writeVault(plain);
        if (row.sealed)
            sealCheaply(kMaster);
        clitest::Pty pty({QStringLiteral("--vault=") + m_vault, QStringLiteral("add"),
                          QStringLiteral("--username=me")},
                         m_env);
        ASSERT_TRUE(pty.expect("Master password: ")) << pty.seen().toStdString();
        pty.type(kMaster.toUtf8());
        ASSERT_TRUE(pty.expect("Password for the entry: ")) << pty.seen().toStdString();
        if (::access(QStringLiteral("/proc/%1/mem").arg(pty.pid()).toLocal8Bit().constData(),
                     R_OK) != 0 &&
            ::geteuid() != 0) {
            GTEST_SKIP() << "the program is not dumpable, so only root may read its memory";
        }
        const QStringList found = whereFound(pty.pid(), encodingsOfTheMaster());
        EXPECT_TRUE(found.isEmpty()) << found.join(QStringLiteral("\n")).toStdString();
        if (row.sealed && mayLock) {
            EXPECT_GE(lockedBytes(pty.pid()), plain.size());
        }
    }
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
