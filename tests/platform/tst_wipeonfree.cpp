// A block that grows moves: what it held must not stay behind in the block
// it left. Each round puts a fresh random secret into a block, grows it with
// realloc() and searches the process's heap for the secret anywhere but in
// the grown block.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <unistd.h>

namespace {

constexpr size_t kSecret = 48;
// Past the allocator's own words at the start of a freed block, which
// would hide the first bytes of a stale copy.
constexpr size_t kAt = 32;
constexpr unsigned char kMask = 0x5A;

// The search allocates nothing, so that it cannot itself take the freed
// block and overwrite what it looks for.
char g_maps[1 << 16];
unsigned char g_chunk[1 << 16];

struct Region {
    uintptr_t from = 0;
    uintptr_t to = 0;
};

// The heap and the anonymous writable mappings the allocator hands out.
size_t heapRegions(Region* out, size_t most) {
    const int fd = ::open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    size_t size = 0;
    for (ssize_t n; (n = ::read(fd, g_maps + size, sizeof g_maps - 1 - size)) > 0;)
        size += static_cast<size_t>(n);
    ::close(fd);
    g_maps[size] = '\0';
    size_t count = 0;
    for (char* line = g_maps; *line && count < most;) {
        char* end = std::strchr(line, '\n');
        if (end)
            *end = '\0';
        // "from-to perms offset device inode [name]"
        unsigned long from = 0;
        unsigned long to = 0;
        char perms[5] = {};
        int nameAt = 0;
        if (std::sscanf(line, "%lx-%lx %4s %*s %*s %*s %n", &from, &to, perms, &nameAt) < 3)
            nameAt = 0;
        const bool writable = nameAt > 0 && std::strcmp(perms, "rw-p") == 0;
        const char* name = line + nameAt;
        const bool anonymous = *name == '\0' || std::strcmp(name, "[heap]") == 0;
        if (writable && anonymous && to - from <= (size_t(256) << 20))
            out[count++] = {from, to};
        if (!end)
            break;
        line = end + 1;
    }
    return count;
}

// How many copies of the masked secret lie in the heap outside [skip,
// skip + skipSize).
int copiesOutside(const std::array<unsigned char, kSecret>& masked, uintptr_t skip,
                  size_t skipSize) {
    Region regions[512];
    const size_t count = heapRegions(regions, 512);
    const int mem = ::open("/proc/self/mem", O_RDONLY | O_CLOEXEC);
    if (mem < 0)
        return -1;
    int found = 0;
    const unsigned char first = masked[0] ^ kMask;
    for (size_t r = 0; r < count; ++r) {
        // Chunks overlap by the secret's size, so no copy falls between two.
        for (uintptr_t at = regions[r].from; at < regions[r].to;) {
            const size_t want = std::min<size_t>(sizeof g_chunk, regions[r].to - at);
            const ssize_t n = ::pread(mem, g_chunk, want, static_cast<off_t>(at));
            if (n <= 0)
                break;
            for (size_t i = 0; i + kSecret <= static_cast<size_t>(n); ++i) {
                if (g_chunk[i] != first)
                    continue;
                size_t k = 1;
                while (k < kSecret && g_chunk[i + k] == (masked[k] ^ kMask))
                    ++k;
                const uintptr_t where = at + i;
                if (k == kSecret && !(where >= skip && where < skip + skipSize))
                    ++found;
            }
            if (static_cast<size_t>(n) < want || at + static_cast<size_t>(n) >= regions[r].to)
                break;
            at += static_cast<size_t>(n) - kSecret + 1;
        }
    }
    ::close(mem);
    return found;
}

TEST(WipeOnFree, AGrownBlockLeavesNoCopyBehind) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer's allocator replaces the program's free() and realloc()";
#endif
    std::random_device random;
    int roundsWithACopy = 0;
    int searched = 0;
    for (int round = 0; round < 200; ++round) {
        // Sizes that vary, so that both the allocator's small and larger
        // bins are left behind.
        const size_t size = kAt + kSecret + 16 * static_cast<size_t>(round % 24);
        auto* block = static_cast<unsigned char*>(std::malloc(size));
        ASSERT_NE(block, nullptr);
        std::array<unsigned char, kSecret> masked{};
        for (size_t i = 0; i < kSecret; ++i) {
            block[kAt + i] = static_cast<unsigned char>(random());
            masked[i] = block[kAt + i] ^ kMask;
        }
        const size_t grown = size * 8 + 4096;
        auto* moved = static_cast<unsigned char*>(std::realloc(block, grown));
        ASSERT_NE(moved, nullptr);
        for (size_t i = 0; i < kSecret; ++i)
            ASSERT_EQ(moved[kAt + i] ^ kMask, masked[i]) << "realloc() lost the block's bytes";
        const int copies = copiesOutside(masked, reinterpret_cast<uintptr_t>(moved), grown);
        // The grown block itself must be found, or the search saw nothing.
        const int all = copiesOutside(masked, 0, 0);
        std::free(moved);
        ASSERT_GE(copies, 0) << "the process's memory could not be read";
        ASSERT_EQ(all, copies + 1) << "the search did not find the grown block";
        ++searched;
        if (copies > 0)
            ++roundsWithACopy;
    }
    EXPECT_EQ(roundsWithACopy, 0) << "of " << searched << " rounds";
}

} // namespace
