// Paths as a message shows them to a person.
#include "vault/VaultLocation.h"

#include <gtest/gtest.h>

namespace {

using namespace Qt::Literals::StringLiterals;

// Anyone who can put a file beside the vault chooses its name: its control
// characters are escaped, so that it cannot break or reorder a message.
TEST(VaultLocation, PathsAreShownWithTheirControlsEscaped) {
    EXPECT_EQ(vaultlocation::displayName(u"a\nb\r\t\x1b[2J\x7f\u0085\u2028\u202e\\é€.enc"_s),
              u"a\\nb\\r\\t\\x1b[2J\\x7f\\x85\\u2028\\u202e\\\\é€.enc"_s);
}

} // namespace
