#pragma once

// What the tests of keynook-cli share: a folder of its own for each test,
// and the program on a pseudo-terminal.
#include "seal/SealedVault.h"
#include "vault/VaultSession.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcessEnvironment>
#include <QStringList>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace clitest {

// A folder of its own per test: the vault, a home and XDG folders, so that
// nothing of the person running the tests is read or written.
class CliFolder : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_dir.isValid());
        for (const char* sub : {"home", "data", "config", "cache", "state", "runtime", "vault"})
            ASSERT_TRUE(QDir().mkpath(path(QString::fromLatin1(sub))));
        QFile::setPermissions(path(QStringLiteral("runtime")), QFileDevice::ReadOwner |
                                                                   QFileDevice::WriteOwner |
                                                                   QFileDevice::ExeOwner);
        m_vault = path(QStringLiteral("vault/data.enc"));
        m_env = QProcessEnvironment::systemEnvironment();
        m_env.insert(QStringLiteral("HOME"), path(QStringLiteral("home")));
        m_env.insert(QStringLiteral("XDG_DATA_HOME"), path(QStringLiteral("data")));
        m_env.insert(QStringLiteral("XDG_CONFIG_HOME"), path(QStringLiteral("config")));
        m_env.insert(QStringLiteral("XDG_CACHE_HOME"), path(QStringLiteral("cache")));
        m_env.insert(QStringLiteral("XDG_STATE_HOME"), path(QStringLiteral("state")));
        m_env.insert(QStringLiteral("XDG_RUNTIME_DIR"), path(QStringLiteral("runtime")));
        m_env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
        // The vault is the one each test names, never the person's own.
        m_env.remove(QStringLiteral("KEYNOOK_VAULT"));
        // A session this test opens in its own process stands for a window
        // of the same user: it keeps its lock where keynook-cli looks.
        qputenv("XDG_DATA_HOME", QFile::encodeName(path(QStringLiteral("data"))));
    }

    QString path(const QString& name) const { return m_dir.filePath(name); }

    // The vault's lock file, beside it.
    QString lockFile() const {
        return QFile::decodeName(VaultLock::pathFor(vaultfile::realFilePath(m_vault)));
    }

    QByteArray vaultBytes() const {
        QFile f(m_vault);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("(missing)");
    }

    void writeVault(const QByteArray& bytes) const {
        QFile f(m_vault);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(bytes);
        f.close();
        QFile::setPermissions(m_vault, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    }

    // Seals the vault in this process through the session's own seal(), at
    // the least cost libsodium allows, so that a table of commands on a
    // sealed vault costs milliseconds instead of half a second a command.
    // Only a test can do this: the program seals at SealParams::defaults().
    void sealCheaply(const QString& master) const {
        VaultSession session(m_vault);
        ASSERT_TRUE(session.open().ok());
        const VaultSession::Status sealed =
            session.seal(master, sealedvault::ParamBounds::accepted().least);
        ASSERT_TRUE(sealed.ok()) << sealed.why.toStdString();
    }

    QTemporaryDir m_dir;
    QString m_vault;
    QProcessEnvironment m_env;
};

// The program on a pseudo-terminal of its own, as a person at a terminal
// would run it.
class Pty {
public:
    Pty(const QStringList& args, const QProcessEnvironment& env) {
        std::vector<std::string> argv = {KEYNOOK_CLI};
        for (const QString& a : args)
            argv.push_back(a.toStdString());
        std::vector<std::string> envp;
        for (const QString& e : env.toStringList())
            envp.push_back(e.toStdString());
        std::vector<char*> av;
        for (std::string& s : argv)
            av.push_back(s.data());
        av.push_back(nullptr);
        std::vector<char*> ev;
        for (std::string& s : envp)
            ev.push_back(s.data());
        ev.push_back(nullptr);
        m_pid = forkpty(&m_fd, nullptr, nullptr, nullptr);
        if (m_pid == 0) {
            execve(av[0], av.data(), ev.data());
            _exit(127);
        }
    }
    ~Pty() {
        if (m_pid > 0 && !m_done) {
            ::kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        if (m_fd >= 0)
            ::close(m_fd);
    }

    // Waits (at most 30 s) until the program has written `text` after what
    // the last wait found.
    bool expect(const QByteArray& text) {
        QElapsedTimer t;
        t.start();
        for (;;) {
            const qsizetype at = m_seen.indexOf(text, m_from);
            if (at >= 0) {
                m_from = at + text.size();
                return true;
            }
            if (t.elapsed() > 30000 || !readSome())
                return false;
        }
    }
    void type(const QByteArray& line) {
        const QByteArray bytes = line + '\n';
        ASSERT_EQ(::write(m_fd, bytes.constData(), static_cast<size_t>(bytes.size())),
                  bytes.size());
    }
    // Reads to the end and returns the exit status.
    int finish() {
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < 30000 && readSome()) {
        }
        int status = 0;
        waitpid(m_pid, &status, 0);
        m_done = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    }
    const QByteArray& seen() const { return m_seen; }
    int fd() const { return m_fd; }
    pid_t pid() const { return m_pid; }
    // Whether the terminal shows what is typed.
    bool echoes() const {
        termios mode{};
        return tcgetattr(m_fd, &mode) == 0 && (mode.c_lflag & ECHO);
    }

private:
    bool readSome() {
        pollfd p{m_fd, POLLIN, 0};
        if (::poll(&p, 1, 200) < 0)
            return false;
        if (!(p.revents & (POLLIN | POLLHUP)))
            return true;
        char buffer[4096];
        const ssize_t n = ::read(m_fd, buffer, sizeof buffer);
        if (n <= 0)
            return false; // EIO: the program has ended
        m_seen.append(buffer, n);
        return true;
    }

    pid_t m_pid = -1;
    int m_fd = -1;
    bool m_done = false;
    QByteArray m_seen;
    qsizetype m_from = 0;
};

} // namespace clitest
