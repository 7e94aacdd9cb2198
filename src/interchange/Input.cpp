#include "interchange/Input.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

namespace interchange {

namespace {

QString systemError(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

} // namespace

Input readInput(const QString& path, qint64 limit) {
    Input in;
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        in.error = systemError(errno);
        return in;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        in.error = systemError(errno);
    } else if (S_ISDIR(st.st_mode)) {
        in.error = QStringLiteral("it is a folder, not a file");
    } else if (S_ISREG(st.st_mode) && st.st_size > limit) {
        in.tooLarge = true;
        in.error = QStringLiteral("it holds more than %1 bytes").arg(limit);
    }
    if (!in.ok()) {
        ::close(fd);
        return in;
    }
    // One byte past the limit tells a file that is too large. A regular
    // file gets room for its size and that byte at once (it may grow while
    // it is read); anything else, whose size is not known, doubles its room
    // from 64 KiB, never past the limit and that byte.
    const qint64 most = limit + 1;
    qint64 room = S_ISREG(st.st_mode) ? std::min<qint64>(st.st_size + 1, most)
                                      : std::min<qint64>(64 * 1024, most);
    qint64 used = 0;
    try {
        in.bytes.reserve(room);
        in.bytes.resize(room);
        for (;;) {
            if (used == room) {
                if (room == most)
                    break;
                room = std::min(2 * room, most);
                in.bytes.reserve(room);
                in.bytes.resize(room);
            }
            const ssize_t n = ::read(fd, in.bytes.data() + used, static_cast<size_t>(room - used));
            if (n > 0) {
                used += n;
            } else if (n == 0) {
                break;
            } else if (errno != EINTR) {
                in.error = systemError(errno);
                break;
            }
        }
    } catch (const std::bad_alloc&) {
        in.error = QStringLiteral("there is not enough memory to read it");
    }
    ::close(fd);
    if (in.ok() && used > limit) {
        in.tooLarge = true;
        in.error = QStringLiteral("it holds more than %1 bytes").arg(limit);
    }
    if (!in.ok()) {
        in.bytes = QByteArray();
        return in;
    }
    in.bytes.resize(used);
    return in;
}

} // namespace interchange
