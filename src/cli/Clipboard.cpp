#include "cli/Clipboard.h"

#include "secrets/Wipe.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>
#include <QTimer>

#include <sodium.h>

#include <algorithm>
#include <chrono>
#include <initializer_list>
#include <utility>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace clipboard {

namespace {

bool writeAll(int fd, const char* bytes, size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, bytes, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        bytes += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

QByteArray readAll(int fd) {
    QByteArray bytes;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        // Growing copies the text: the old copy is wiped.
        if (bytes.size() + n > bytes.capacity()) {
            QByteArray bigger;
            bigger.reserve(std::max<qsizetype>(4096, (bytes.size() + n) * 2));
            bigger.append(bytes);
            secrets::wipe(bytes);
            bytes = std::move(bigger);
        }
        bytes.append(buffer, n);
    }
    sodium_memzero(buffer, sizeof buffer);
    return bytes;
}

// The clipboard process's answer, "ok" or why not, comes on a descriptor
// of its own: Qt writes warnings to standard error (a runtime folder it
// dislikes, say) that are no answer, and a clipboard taken must not be
// reported as a failure because of one.
constexpr int kAnswer = 3;

// `fds` as the descriptors 0, 1, ... of a child about to exec, open across
// the exec. Each is first copied above them all, so that none is overwritten
// before it is moved, whatever numbers the pipes were given.
// Nothing is allocated: the child of a threaded program may not.
void moveInto(std::initializer_list<int> fds) {
    int high[8];
    int n = 0;
    for (const int fd : fds)
        if (n < 8)
            high[n++] = ::fcntl(fd, F_DUPFD_CLOEXEC, 10);
    for (int target = 0; target < n; ++target)
        ::dup2(high[target], target);
}

// Of what the clipboard process wrote before it failed, the line that says
// why: the platform plugin's, which tells that the display could not be
// reached, ahead of any other warning.
QString reasonIn(const QByteArray& said) {
    const QList<QByteArray> lines = said.trimmed().split('\n');
    for (const QByteArray& line : lines)
        if (line.startsWith("qt.qpa."))
            return QString::fromLocal8Bit(line);
    return QString::fromLocal8Bit(lines.first());
}

// From here on nothing the clipboard process says reaches the command's
// output: it outlives the command, and a script reading that output must
// not wait for it.
void detachOutput() {
    const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null >= 0) {
        ::dup2(null, STDOUT_FILENO);
        ::dup2(null, STDERR_FILENO);
        ::close(null);
    }
}

} // namespace

QString offer(const QString& text, bool secret, int seconds, qint64* process) {
    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        return qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")
                   ? QStringLiteral("there is no display whose clipboard to use (DISPLAY is not "
                                    "set)")
                   : QStringLiteral("the clipboard is reached through the desktop's X server, "
                                    "and DISPLAY is not set; without one, pipe `get` into "
                                    "wl-copy instead");
    // Its input, its answer, and what it says besides (Qt's warnings).
    int input[2] = {-1, -1};
    int answer[2] = {-1, -1};
    int said[2] = {-1, -1};
    const auto closeAll = [&] {
        for (int* pipe : {input, answer, said})
            for (int i = 0; i < 2; ++i)
                if (pipe[i] >= 0)
                    ::close(std::exchange(pipe[i], -1));
    };
    if (::pipe2(input, O_CLOEXEC) != 0 || ::pipe2(answer, O_CLOEXEC) != 0 ||
        ::pipe2(said, O_CLOEXEC) != 0) {
        const int error = errno;
        closeAll();
        return QString::fromLocal8Bit(std::strerror(error));
    }
    const QByteArray secretArgument = secret ? "secret" : "plain";
    const QByteArray secondsArgument = QByteArray::number(seconds);
    const pid_t child = ::fork();
    if (child == 0) {
        // Its own session: no terminal, so closing the terminal or pressing
        // Ctrl+C there after the command returned does not end it.
        ::setsid();
        moveInto({input[0], said[1], said[1], answer[1]});
        static_assert(kAnswer == 3);
        const char* argv[] = {"keynook-cli", kServeArgument, secretArgument.constData(),
                              secondsArgument.constData(), nullptr};
        ::execv("/proc/self/exe", const_cast<char* const*>(argv));
        const char failed[] = "the clipboard process could not be started";
        writeAll(kAnswer, failed, sizeof failed - 1);
        ::_exit(127);
    }
    ::close(std::exchange(input[0], -1));
    ::close(std::exchange(answer[1], -1));
    ::close(std::exchange(said[1], -1));
    if (child < 0) {
        const int error = errno;
        closeAll();
        return QString::fromLocal8Bit(std::strerror(error));
    }
    // A clipboard process that died before reading is no reason to die of
    // SIGPIPE here: its report says what happened.
    struct sigaction ignore {};
    struct sigaction previous {};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGPIPE, &ignore, &previous);
    QByteArray utf8 = text.toUtf8();
    writeAll(input[1], utf8.constData(), static_cast<size_t>(utf8.size()));
    secrets::wipe(utf8);
    ::close(std::exchange(input[1], -1));
    ::sigaction(SIGPIPE, &previous, nullptr);
    // The answer ends when the process closes it: at once after "ok", or
    // when it ends.
    const QByteArray report = readAll(answer[0]).trimmed();
    if (report == "ok") {
        closeAll();
        *process = child;
        return {};
    }
    // It ends without the clipboard: what it said is read to its end, and
    // it is reaped here, not left behind.
    const QByteArray warnings = readAll(said[0]);
    closeAll();
    ::waitpid(child, nullptr, 0);
    if (!report.isEmpty())
        return QString::fromLocal8Bit(report.split('\n').first());
    return warnings.trimmed().isEmpty()
               ? QStringLiteral("the clipboard process ended without a word")
               : reasonIn(warnings);
}

int serve(int argc, char** argv) {
    if (argc != 4)
        return 1;
    const bool secret = std::strcmp(argv[2], "secret") == 0;
    const int seconds = std::atoi(argv[3]);
    QByteArray utf8 = readAll(STDIN_FILENO);
    QString text = QString::fromUtf8(utf8);
    secrets::wipe(utf8);
    // X11 alone: Qt's Wayland clipboard needs a window with the keyboard
    // focus, and a Wayland desktop bridges its X server's clipboard.
    qputenv("QT_QPA_PLATFORM", "xcb");
    int qtArgc = 1;
    QGuiApplication app(qtArgc, argv);
    QClipboard* clipboard = QGuiApplication::clipboard();
    auto* mime = new QMimeData;
    mime->setText(text);
    // Asks clipboard managers not to keep the password in their history, as
    // the window does.
    if (secret)
        mime->setData(QStringLiteral("x-kde-passwordManagerHint"), QByteArrayLiteral("secret"));
    clipboard->setMimeData(mime);
    secrets::wipe(text);
    if (!clipboard->ownsClipboard()) {
        const char refused[] = "the X server did not give the clipboard to keynook-cli";
        writeAll(kAnswer, refused, sizeof refused - 1);
        return 1;
    }
    // Output detached before the answer ends, so that the command, which
    // stops reading then, never leaves a warning of ours without a reader.
    detachOutput();
    writeAll(kAnswer, "ok\n", 3);
    ::close(kAnswer);
    // Another program took the clipboard: its text is not ours to clear.
    QObject::connect(clipboard, &QClipboard::changed, &app, [&](QClipboard::Mode mode) {
        if (mode == QClipboard::Clipboard && !clipboard->ownsClipboard())
            app.quit();
    });
    if (seconds > 0)
        QTimer::singleShot(std::chrono::seconds(seconds), &app, [&] {
            if (clipboard->ownsClipboard())
                clipboard->clear();
            app.quit();
        });
    return app.exec();
}

} // namespace clipboard
