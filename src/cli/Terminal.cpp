#include "cli/Terminal.h"

#include "secrets/Wipe.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace {

// What a signal handler needs to give the terminal its echo back: a person
// who presses Ctrl+C at a password prompt must not be left typing blind.
int g_echoFd = -1;
termios g_savedMode;
constexpr int kRestoredSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
struct sigaction g_previous[std::size(kRestoredSignals)];

extern "C" void restoreEchoAndDie(int signal) {
    if (g_echoFd >= 0) {
        tcsetattr(g_echoFd, TCSANOW, &g_savedMode);
        [[maybe_unused]] const ssize_t n = ::write(g_echoFd, "\n", 1);
    }
    std::signal(signal, SIG_DFL);
    raise(signal);
}

// Turns echo off for as long as it lives.
class EchoOff {
public:
    explicit EchoOff(int fd) {
        if (tcgetattr(fd, &g_savedMode) != 0)
            return;
        termios quiet = g_savedMode;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK);
        quiet.c_lflag |= ICANON;
        g_echoFd = fd;
        struct sigaction restore {};
        restore.sa_handler = restoreEchoAndDie;
        sigemptyset(&restore.sa_mask);
        for (size_t i = 0; i < std::size(kRestoredSignals); ++i)
            sigaction(kRestoredSignals[i], &restore, &g_previous[i]);
        // What was typed before the prompt showed is dropped: it was typed
        // with echo on, for something else.
        tcsetattr(fd, TCSAFLUSH, &quiet);
    }
    ~EchoOff() {
        if (g_echoFd < 0)
            return;
        // TCSANOW: a line typed ahead after this one (the repeated password)
        // is kept for the next read.
        tcsetattr(g_echoFd, TCSANOW, &g_savedMode);
        g_echoFd = -1;
        for (size_t i = 0; i < std::size(kRestoredSignals); ++i)
            sigaction(kRestoredSignals[i], &g_previous[i], nullptr);
    }
    EchoOff(const EchoOff&) = delete;
    EchoOff& operator=(const EchoOff&) = delete;
};

} // namespace

Terminal::Terminal(int in, int out, bool owned) : m_in(in), m_out(out), m_owned(owned) {}

Terminal::~Terminal() {
    if (m_owned)
        ::close(m_in);
}

std::unique_ptr<Terminal> Terminal::open() {
    const int fd = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd >= 0)
        return std::unique_ptr<Terminal>(new Terminal(fd, fd, true));
    // No controlling terminal, but standard input is a terminal all the same
    // (a session leader that never took one).
    if (isatty(STDIN_FILENO))
        return std::unique_ptr<Terminal>(new Terminal(
            STDIN_FILENO, isatty(STDERR_FILENO) ? STDERR_FILENO : STDIN_FILENO, false));
    return nullptr;
}

void Terminal::write(const QByteArray& bytes) {
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n =
            ::write(m_out, bytes.constData() + done, static_cast<size_t>(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        done += n;
    }
}

// Adds a byte to a secret being read. Growing copies the secret, so the old
// copy is wiped.
static void appendSecret(QByteArray& line, char c) {
    if (line.size() == line.capacity()) {
        QByteArray bigger;
        bigger.reserve(line.capacity() * 2);
        bigger.append(line);
        secrets::wipe(line);
        line = std::move(bigger);
    }
    line.append(c);
}

// One line from `fd`, a byte at a time, so that what follows it stays for
// the next read: its bytes before the LF, without a CR right before it. At
// the end of the input a last line without its LF is given when
// `keepUnended`, and otherwise wiped; nothing read gives nothing.
static std::optional<QByteArray> readLineFrom(int fd, bool keepUnended) {
    QByteArray line;
    line.reserve(256);
    bool any = false;
    for (;;) {
        char c;
        const ssize_t n = ::read(fd, &c, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        any = true;
        if (c == '\n') {
            if (line.endsWith('\r'))
                line.chop(1);
            return line;
        }
        appendSecret(line, c);
    }
    if (!any || !keepUnended) {
        secrets::wipe(line);
        return std::nullopt;
    }
    return line;
}

std::optional<QByteArray> Terminal::readLine() {
    return readLineFrom(m_in, false);
}

std::optional<QByteArray> Terminal::readSecret(const QString& prompt) {
    std::optional<QByteArray> line;
    {
        EchoOff quiet(m_in);
        write(prompt.toUtf8());
        line = readLine();
    }
    // The Enter that ended the line was not shown either.
    write("\n");
    return line;
}

std::optional<QByteArray> Terminal::readAnswer(const QString& prompt) {
    write(prompt.toUtf8());
    return readLine();
}

std::optional<QByteArray> readStandardInputLine() {
    return readLineFrom(STDIN_FILENO, true);
}
