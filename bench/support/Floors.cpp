#include "support/Floors.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace floors {

bool readInto(const QByteArray& path, QByteArray& buffer) {
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        ::close(fd);
        return false;
    }
    buffer = QByteArray(static_cast<qsizetype>(st.st_size), Qt::Uninitialized);
    char* p = buffer.data();
    qsizetype left = buffer.size();
    while (left > 0) {
        const ssize_t n = ::read(fd, p, static_cast<size_t>(left));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        p += n;
        left -= n;
    }
    ::close(fd);
    return left == 0;
}

void decipherWide(QByteArray& buffer) {
    using Bytes16 = unsigned char __attribute__((vector_size(16)));
    char* p = buffer.data();
    const qsizetype n = buffer.size();
    qsizetype i = 0;
    for (; i + 16 <= n; i += 16) {
        Bytes16 x;
        std::memcpy(&x, p + i, 16);
        x ^= 0x80;
        std::memcpy(p + i, &x, 16);
    }
    for (; i < n; ++i)
        p[i] = static_cast<char>(p[i] ^ '\x80');
}

bool writeAllTo(int fd, const QByteArray& data) {
    const char* p = data.constData();
    qsizetype left = data.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, static_cast<size_t>(left));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        left -= n;
    }
    return true;
}

bool writeSyncRename(const QByteArray& folder, const QByteArray& target, const QByteArray& data) {
    QByteArray temp = target;
    const qsizetype slash = temp.lastIndexOf('/');
    temp.insert(slash + 1, '.');
    temp += ".new-XXXXXX";
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    bool ok = fd >= 0 && writeAllTo(fd, data) && ::fsync(fd) == 0;
    if (fd >= 0)
        ok = ::close(fd) == 0 && ok;
    ok = ok && ::rename(temp.constData(), target.constData()) == 0;
    const int dfd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ok = ok && dfd >= 0 && ::fsync(dfd) == 0;
    if (dfd >= 0)
        ::close(dfd);
    if (!ok)
        ::unlink(temp.constData());
    return ok;
}

} // namespace floors
