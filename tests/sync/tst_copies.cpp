// Which files beside a vault are its conflict copies: first by each engine's
// names, then by what the file is.
#include "VaultTestSupport.h"

#include "sync/ConflictCopies.h"

#include <gtest/gtest.h>

namespace {

using namespace Qt::Literals::StringLiterals;

TEST(ConflictCopies, EachEnginesNamesAreKnown) {
    const QString longName(220, QLatin1Char('x'));
    const struct {
        QString name;
        const char* engine;
    } rows[] = {
        {u"data.sync-conflict-20261207-153012-ABCDEFG.enc"_s, "Syncthing"},
        {u"data (conflicted copy 2026-12-07 153012).enc"_s, "Nextcloud"},
        {u"data (conflicted copy Ann Smith 2026-12-08 101010).enc"_s, "Nextcloud"},
        {u"data (conflicted copy Ann _work_ 2026-12-08 101010).enc"_s, "Nextcloud"},
        {u"data_conflict-20261208-101010.enc"_s, "Nextcloud"},
        {u"data (Laptop's conflicted copy 2026-12-07).enc"_s, "Dropbox"},
        {u"data (Ann’s Laptop's conflicted copy 2026-12-07 (1)).enc"_s, "Dropbox"},
        {u"data (Ann's MacBook (2)'s conflicted copy 2026-12-08).enc"_s, "Dropbox"},
        {u"data (Ann (work)'s conflicted copy 2026-12-08 (3)).enc"_s, "Dropbox"},
        {u"data (Ann\n\x1b[2J's conflicted copy 2026-12-08).enc"_s, "Dropbox"},
        // Near misses, the vault itself and its neighbours.
        {u"data.enc"_s, ""},
        {u".data.enc.new-Ab12Cd"_s, ""},
        {u"~syncthing~data.sync-conflict-20261207-153012-ABCDEFG.enc.tmp"_s, ""},
        {u"data.sync-conflict-20261207-153012-ABCDEFG.enc.tmp"_s, ""},
        {u"data.sync-conflict-20261207-153012-ABCDEFG.enc\n"_s, ""},
        {u"data.sync-conflict-20261207-153012-ABCDEF.enc"_s, ""},
        {u"other.sync-conflict-20261207-153012-ABCDEFG.enc"_s, ""},
        {u"Data (conflicted copy 2026-12-07 153012).enc"_s, ""},
        {u"data (conflicted copy 2026-12-07).enc"_s, ""},
        {u"data (conflicted copy 2026-12-07 153012).txt"_s, ""},
        {u"data (conflicted copy Ann (work) 2026-12-08 101010).enc"_s, ""},
        {u"data_conflict-20261208-1010.enc"_s, ""},
        {u"data.enc_conflict-20261208-101010"_s, ""},
        {u"data ('s conflicted copy 2026-12-08).enc"_s, ""},
        {u"data (Ann's MacBook (2's conflicted copy 2026-12-08).enc"_s, ""},
        {u"data (Ann's conflicted copy 2026-12-08 (x)).enc"_s, ""},
        {u"data (A's conflicted copy 2026-12-08) (B's conflicted copy 2026-12-09).enc"_s, ""},
        {u"notes (Ann's conflicted copy 2026-12-08).enc"_s, ""},
        {u"data ("_s + longName + u"'s conflicted copy 2026-12-08).enc"_s, ""},
    };
    for (const auto& row : rows)
        EXPECT_EQ(conflictcopies::engineOf(u"data.enc"_s, row.name), QString::fromUtf8(row.engine))
            << row.name.toStdString();
}

} // namespace
