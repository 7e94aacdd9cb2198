#pragma once

#include <csignal>
#include <sys/resource.h>

// Lowers the process's file size limit, with the signal that would otherwise
// kill the process ignored, so a write past the limit fails with EFBIG, as
// on a full disk. Tests run as root, so file permissions cannot make a write
// fail; this can. The old limit and handler come back when it goes.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        m_oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        m_saved = ::getrlimit(RLIMIT_FSIZE, &m_old) == 0;
        rlimit lowered = m_old;
        lowered.rlim_cur = bytes;
        m_active = m_saved && ::setrlimit(RLIMIT_FSIZE, &lowered) == 0;
    }
    ~FileSizeLimit() {
        if (m_saved)
            ::setrlimit(RLIMIT_FSIZE, &m_old);
        std::signal(SIGXFSZ, m_oldHandler);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

    bool active() const { return m_active; }

private:
    rlimit m_old{};
    bool m_saved = false;
    bool m_active = false;
    void (*m_oldHandler)(int) = SIG_DFL;
};
