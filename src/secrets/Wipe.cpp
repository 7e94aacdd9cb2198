#include "secrets/Wipe.h"

#include <sodium.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <type_traits>
#include <utility>

namespace secrets {

namespace {

// The pages of secrets kept out of swap (mlock), a sealed vault's opened
// bytes, until wipe() zeroes them. Two arrays may share the page at either
// end of their bytes, so those pages count their users and are unlocked when
// the last one goes; the pages between the ends are one array's alone.
class LockedPages {
public:
    // Nothing, quietly, when the user's locked-memory limit refuses: the
    // bytes then stay in memory that may be swapped, as any other.
    void lock(const void* data, qsizetype size) {
        if (size <= 0)
            return;
        const Span s = span(data, size);
        const std::lock_guard<std::mutex> hold(m_mutex);
        if (::mlock(reinterpret_cast<void*>(s.first), s.end - s.first) != 0)
            return;
        m_locked[reinterpret_cast<std::uintptr_t>(data)] = size;
        ++m_users[s.first];
        if (s.last != s.first)
            ++m_users[s.last];
    }

    // Unlocks what was locked from `from` up to `to`: an allocation that is
    // about to be freed.
    void unlockWithin(const void* from, const void* to) {
        const std::lock_guard<std::mutex> hold(m_mutex);
        auto it = m_locked.lower_bound(reinterpret_cast<std::uintptr_t>(from));
        while (it != m_locked.end() && it->first < reinterpret_cast<std::uintptr_t>(to)) {
            const Span s = span(reinterpret_cast<const void*>(it->first), it->second);
            std::uintptr_t begin = s.first;
            std::uintptr_t end = s.end;
            if (!lastUser(s.first))
                begin += pageSize();
            if (s.last != s.first && !lastUser(s.last))
                end -= pageSize();
            if (begin < end)
                ::munlock(reinterpret_cast<void*>(begin), end - begin);
            it = m_locked.erase(it);
        }
    }

private:
    struct Span {
        std::uintptr_t first; // the first page
        std::uintptr_t last;  // the last page
        std::uintptr_t end;   // the end of the last page
    };
    static std::uintptr_t pageSize() {
        static const auto size = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
        return size;
    }
    static Span span(const void* data, qsizetype size) {
        const auto at = reinterpret_cast<std::uintptr_t>(data);
        const std::uintptr_t mask = ~(pageSize() - 1);
        const std::uintptr_t last = (at + static_cast<std::uintptr_t>(size) - 1) & mask;
        return {at & mask, last, last + pageSize()};
    }
    // One user of an end page fewer: true when it was the last one.
    bool lastUser(std::uintptr_t page) {
        const auto it = m_users.find(page);
        if (it == m_users.end() || --it->second > 0)
            return false;
        m_users.erase(it);
        return true;
    }

    std::mutex m_mutex;
    std::map<std::uintptr_t, qsizetype> m_locked; // where locked bytes start, and their size
    std::map<std::uintptr_t, int> m_users;        // end pages, and the locked arrays on them
};

LockedPages& lockedPages() {
    static LockedPages pages;
    return pages;
}

// The array's whole allocation, bytes before its start and past its end
// included: a prefix removed or a tail cut off once held text too. Asked of
// the array's data pointer, since data() would copy shared bytes and
// capacity() leaves out the room before the start.
template <class Array> std::pair<char*, size_t> allocationOf(Array& array) {
    auto& d = array.data_ptr();
    using Unit = std::remove_pointer_t<decltype(d.data())>;
    return {reinterpret_cast<char*>(d.data() - d.freeSpaceAtBegin()),
            static_cast<size_t>(d.constAllocatedCapacity()) * sizeof(Unit)};
}

} // namespace

void wipe(QByteArray& secret) {
    // Not detached: shared, or not ours to write (raw or static data).
    if (secret.isDetached()) {
        const auto [from, size] = allocationOf(secret);
        sodium_memzero(from, size);
        lockedPages().unlockWithin(from, from + size);
    }
    secret.clear();
}

void wipe(QString& secret) {
    if (secret.isDetached()) {
        const auto [from, size] = allocationOf(secret);
        sodium_memzero(from, size);
    }
    secret.clear();
}

void lockOutOfSwap(const void* data, qsizetype size) {
    lockedPages().lock(data, size);
}

} // namespace secrets
