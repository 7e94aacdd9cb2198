#include "cli/Clipboard.h"

#include "seal/SealedVault.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>
#include <QTimer>

#include <sodium.h>

#include <algorithm>
#include <chrono>

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
            sealedvault::wipe(bytes);
            bytes = std::move(bigger);
        }
        bytes.append(buffer, n);
    }
    sodium_memzero(buffer, sizeof buffer);
    return bytes;
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
    int input[2];
    int status[2];
    if (::pipe2(input, O_CLOEXEC) != 0)
        return QString::fromLocal8Bit(std::strerror(errno));
    if (::pipe2(status, O_CLOEXEC) != 0) {
        const int error = errno;
        ::close(input[0]);
        ::close(input[1]);
        return QString::fromLocal8Bit(std::strerror(error));
    }
    const QByteArray secretArgument = secret ? "secret" : "plain";
    const QByteArray secondsArgument = QByteArray::number(seconds);
    const pid_t child = ::fork();
    if (child == 0) {
        // Its own session: no terminal, so closing the terminal or pressing
        // Ctrl+C there after the command returned does not end it.
        ::setsid();
        ::dup2(input[0], STDIN_FILENO);
        ::dup2(status[1], STDOUT_FILENO);
        // What Qt says when it cannot reach the display is the reason given.
        ::dup2(status[1], STDERR_FILENO);
        const char* argv[] = {"keynook-cli", kServeArgument, secretArgument.constData(),
                              secondsArgument.constData(), nullptr};
        ::execv("/proc/self/exe", const_cast<char* const*>(argv));
        const char failed[] = "the clipboard process could not be started";
        writeAll(STDOUT_FILENO, failed, sizeof failed - 1);
        ::_exit(127);
    }
    ::close(input[0]);
    ::close(status[1]);
    if (child < 0) {
        const int error = errno;
        ::close(input[1]);
        ::close(status[0]);
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
    sealedvault::wipe(utf8);
    ::close(input[1]);
    ::sigaction(SIGPIPE, &previous, nullptr);
    const QByteArray report = readAll(status[0]).trimmed();
    ::close(status[0]);
    if (report == "ok") {
        *process = child;
        return {};
    }
    // It ended without the clipboard: it is reaped here, not left behind.
    ::waitpid(child, nullptr, 0);
    return report.isEmpty() ? QStringLiteral("the clipboard process ended without a word")
                            : QString::fromLocal8Bit(report.split('\n').first());
}

int serve(int argc, char** argv) {
    if (argc != 4)
        return 1;
    const bool secret = std::strcmp(argv[2], "secret") == 0;
    const int seconds = std::atoi(argv[3]);
    QByteArray utf8 = readAll(STDIN_FILENO);
    QString text = QString::fromUtf8(utf8);
    sealedvault::wipe(utf8);
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
    sealedvault::wipe(text);
    if (!clipboard->ownsClipboard()) {
        const char refused[] = "the X server did not give the clipboard to keynook-cli";
        writeAll(STDOUT_FILENO, refused, sizeof refused - 1);
        return 1;
    }
    writeAll(STDOUT_FILENO, "ok\n", 3);
    detachOutput();
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
