// The merge of vault copies against a plain model of its rules, on random
// bases and random edits on both sides, and its report on the cases a person
// reads it for.
#include "VaultTestSupport.h"

#include "sync/VaultMerge.h"
#include "vault/VaultFormat.h"

#include <gtest/gtest.h>

#include <optional>
#include <random>

namespace {

using vaultmerge::Outcome;

// Few distinct entries, so that sides often add, remove and repeat the same
// ones; some need escaping, and one reads the same as another written as
// saves used to write it.
std::vector<Entry> pool(std::uint32_t start) {
    testsupport::FieldMaker maker(start);
    std::vector<Entry> p{
        {QStringLiteral("ann"), QStringLiteral("pw1"), QStringLiteral("a.org")},
        {QStringLiteral("ann"), QStringLiteral("pw2"), QStringLiteral("a.org")},
        {QStringLiteral("bob"), QStringLiteral("x"), QString()},
        {QStringLiteral("zoë"), QStringLiteral("\u008F"), QStringLiteral("b.org")}};
    for (int i = 0; i < 4; ++i)
        p.push_back({maker.field(), maker.field(), maker.field()});
    return p;
}

// A vault file whose lines are sometimes written as earlier saves escaped
// them: the same entries in other bytes.
QByteArray fileOf(const QString& master, const std::vector<Entry>& entries, std::mt19937& gen) {
    QByteArray file = vaultformat::encodeMasterLine(master) + "\r\n";
    for (const Entry& e : entries)
        file += vaultformat::encodeEntryLine(e, gen() % 3 == 0 ? vaultformat::Escaping::AllUndefined
                                                               : vaultformat::Escaping::Needed) +
                "\r\n";
    return file + "\r\n";
}

std::vector<Entry> edited(std::vector<Entry> v, const std::vector<Entry>& p, std::mt19937& gen) {
    const auto pick = [&](size_t n) {
        return std::uniform_int_distribution<size_t>(0, n - 1)(gen);
    };
    for (size_t ops = pick(5); ops > 0; --ops) {
        switch (pick(4)) {
        case 0: // delete
            if (!v.empty())
                v.erase(v.begin() + static_cast<long>(pick(v.size())));
            break;
        case 1: // add
            v.insert(v.begin() + static_cast<long>(pick(v.size() + 1)), p[pick(p.size())]);
            break;
        case 2: // edit one in place
            if (!v.empty())
                v[pick(v.size())].password = p[pick(p.size())].username;
            break;
        case 3: // repeat one at the end
            if (!v.empty())
                v.push_back(v[pick(v.size())]);
            break;
        }
    }
    return v;
}

qsizetype countOf(const std::vector<Entry>& v, const Entry& e) {
    return std::count(v.begin(), v.end(), e);
}

// The rules, written for clarity: counts per entry, ours in order without
// what theirs removed, theirs' new entries after their neighbour in theirs.
std::vector<Entry> model(const std::vector<Entry>* base, const std::vector<Entry>& ours,
                         const std::vector<Entry>& theirs) {
    const auto merged = [&](const Entry& e) {
        const qsizetype b = base ? countOf(*base, e) : 0;
        const qsizetype o = countOf(ours, e);
        const qsizetype t = countOf(theirs, e);
        const qsizetype added = std::max({o - b, t - b, qsizetype(0)});
        const qsizetype removed = std::max({b - o, b - t, qsizetype(0)});
        return std::max(b + added - removed, qsizetype(0));
    };
    struct Item {
        Entry entry;
        qsizetype oursOccurrence; // -1 for one from theirs
    };
    std::vector<Item> out;
    for (const Entry& e : ours) {
        const qsizetype seen = std::count_if(out.begin(), out.end(), [&](const Item& i) {
            return i.entry == e && i.oursOccurrence >= 0;
        });
        if (seen < std::min(countOf(ours, e), merged(e)))
            out.push_back({e, seen});
    }
    std::optional<size_t> anchor;
    for (size_t j = 0; j < theirs.size(); ++j) {
        const Entry& e = theirs[j];
        const qsizetype seen = std::count(theirs.begin(), theirs.begin() + static_cast<long>(j), e);
        const qsizetype fresh = std::max(merged(e) - countOf(ours, e), qsizetype(0));
        if (seen >= countOf(theirs, e) - fresh) {
            const size_t at = anchor ? *anchor + 1 : out.size();
            out.insert(out.begin() + static_cast<long>(at), {e, -1});
            anchor = at;
            continue;
        }
        for (size_t k = 0; k < out.size(); ++k)
            if (out[k].entry == e && out[k].oursOccurrence == seen)
                anchor = k;
    }
    std::vector<Entry> entries;
    for (const Item& i : out)
        entries.push_back(i.entry);
    return entries;
}

TEST(Merge, FollowsItsRulesOnRandomEdits) {
    const std::uint32_t start = testsupport::randomStartValue();
    std::mt19937 gen(start);
    const std::vector<Entry> p = pool(start);
    const QStringList masters{QStringLiteral("master"), QStringLiteral("other"),
                              QStringLiteral("third\u0081")};
    for (int round = 0; round < 3000; ++round) {
        SCOPED_TRACE(round);
        const bool twoWay = round % 5 == 0;
        const std::vector<Entry> base = edited({}, p, gen);
        const std::vector<Entry> ours = edited(base, p, gen);
        const std::vector<Entry> theirs = edited(base, p, gen);
        // The master password changes on one side now and then, on both
        // rarely.
        const QString& b = masters[0];
        const QString& o = masters[gen() % 9 == 0 ? 1 : 0];
        const QString& t = masters[gen() % 9 == 0 ? 2 : gen() % 9 == 0 ? 1 : 0];
        const QByteArray baseFile = fileOf(b, base, gen);
        const QByteArray oursFile = fileOf(o, ours, gen);
        const QByteArray theirsFile = fileOf(t, theirs, gen);

        const vaultmerge::Result r = vaultmerge::merge(
            twoWay ? std::nullopt : std::optional<QByteArrayView>(baseFile), oursFile, theirsFile);
        const bool conflict = o != t && (twoWay || (o != b && t != b));
        ASSERT_EQ(r.outcome, conflict ? Outcome::MasterConflict : Outcome::Merged);
        if (conflict)
            continue;
        EXPECT_EQ(vaultformat::readMasterPassword(r.file), o == b && !twoWay ? t : o);
        // A side that changed nothing gives the other as it is.
        const std::vector<Entry> expected = !twoWay && ours == base && o == b ? theirs
                                            : !twoWay && theirs == base && t == b
                                                ? ours
                                                : model(twoWay ? nullptr : &base, ours, theirs);
        EXPECT_EQ(vaultformat::readEntries(r.file), expected);
        EXPECT_EQ(r.report.twoWay, twoWay);

        // A side that changed nothing gives the other, byte for byte.
        EXPECT_EQ(vaultmerge::merge(baseFile, oursFile, oursFile).file, oursFile);
        EXPECT_EQ(vaultmerge::merge(baseFile, oursFile, baseFile).file, oursFile);
        EXPECT_EQ(vaultmerge::merge(baseFile, baseFile, theirsFile).file, theirsFile);
    }
}

// A vault file as hands and older saves may leave one. Some entries are
// written so in every copy: as saves used to escape them, or (an entry
// whose fields are plain letters) as two fields joined by four bars, a
// line a save writes anew. Now and then, in one copy only, a line is
// written as saves used to, with a fourth field (read as the same entry),
// ended by a lone CR, or with an empty line after it.
QByteArray untidyFileOf(const QString& master, const std::vector<Entry>& entries,
                        std::mt19937& gen) {
    QByteArray file = vaultformat::encodeMasterLine(master) + (gen() % 8 == 0 ? "\r" : "\r\n");
    for (const Entry& e : entries) {
        const size_t style = e.username.size() + e.password.size();
        const unsigned how = gen() % 60;
        QByteArray line = vaultformat::encodeEntryLine(e, how == 0 || style % 4 == 0
                                                              ? vaultformat::Escaping::AllUndefined
                                                              : vaultformat::Escaping::Needed);
        const QByteArray plain = e.username.toLatin1() + "||||" + e.password.toLatin1();
        if (style % 7 == 0 && QString::fromLatin1(plain) == e.username + "||||" + e.password &&
            !plain.contains('\x81') && !plain.contains('\x8D'))
            line = testsupport::flipped(plain);
        if (how == 1)
            line += testsupport::flipped("|||fourth");
        file += line + (how == 2 ? "\r" : "\r\n");
        if (how == 3)
            file += gen() % 2 ? "\r\n" : " \r\n";
    }
    return gen() % 8 == 0 ? file : file + "\r\n";
}

// Changes scattered over a vault, one entry or a block of them at a time.
std::vector<Entry> scattered(std::vector<Entry> v, const std::vector<Entry>& p, std::mt19937& gen,
                             int& next) {
    const auto pick = [&](size_t n) {
        return std::uniform_int_distribution<size_t>(0, n - 1)(gen);
    };
    const auto fresh = [&] {
        // Mostly entries of their own; some from the pool, which repeat.
        if (pick(4) == 0)
            return p[pick(p.size())];
        const QString n = QString::number(next++);
        return Entry{QStringLiteral("user") + n, QStringLiteral("pw") + n,
                     QStringLiteral("site%1.org").arg(n)};
    };
    for (size_t ops = pick(std::min<size_t>(v.size() / 8, 200) + 4); ops > 0; --ops) {
        const size_t at = pick(v.size() + 1);
        switch (pick(6)) {
        case 0: // delete
            if (at < v.size())
                v.erase(v.begin() + static_cast<long>(at));
            break;
        case 1: // add
            v.insert(v.begin() + static_cast<long>(at), fresh());
            break;
        case 2: // edit one in place
            if (at < v.size())
                v[at].password = fresh().password;
            break;
        case 3: // repeat one elsewhere
            if (!v.empty())
                v.insert(v.begin() + static_cast<long>(at), v[pick(v.size())]);
            break;
        case 4: // add a block
            for (size_t k = pick(100); k > 0; --k)
                v.insert(v.begin() + static_cast<long>(at), fresh());
            break;
        case 5: // delete a block
            v.erase(v.begin() + static_cast<long>(at),
                    v.begin() + static_cast<long>(std::min(v.size(), at + pick(40))));
            break;
        }
    }
    return v;
}

void expectSameMerge(const vaultmerge::Result& a, const vaultmerge::Result& b) {
    EXPECT_EQ(a.outcome, b.outcome);
    EXPECT_EQ(a.file, b.file);
    const vaultmerge::Report& x = a.report;
    const vaultmerge::Report& y = b.report;
    EXPECT_EQ(x.twoWay, y.twoWay);
    EXPECT_EQ(x.masterFromTheirs, y.masterFromTheirs);
    EXPECT_EQ(x.fromTheirs, y.fromTheirs);
    EXPECT_EQ(x.removedByTheirs, y.removedByTheirs);
    EXPECT_EQ(x.oursOnly, y.oursOnly);
    ASSERT_EQ(x.editedOnBoth.size(), y.editedOnBoth.size());
    for (size_t k = 0; k < x.editedOnBoth.size(); ++k) {
        EXPECT_EQ(x.editedOnBoth[k].ours, y.editedOnBoth[k].ours);
        EXPECT_EQ(x.editedOnBoth[k].theirs, y.editedOnBoth[k].theirs);
    }
}

// Copies of a larger vault, most of their lines the same bytes, changed here
// and there, entries repeating across the places where they differ and
// where they do not: lining them up gives exactly what counting every line
// gives, and does decide most of these merges. The last vault is one of
// megabytes, whose merged file is made as a large one is.
TEST(Merge, LinedUpGivesWhatCountingEveryLineGives) {
    const std::uint32_t start = testsupport::randomStartValue();
    std::mt19937 gen(start);
    // With entries whose line holds the escape marker, or four bars in a
    // row, as a save writes them.
    std::vector<Entry> p = pool(start);
    p.push_back({QStringLiteral("mark"), QStringLiteral("\u0081"), QStringLiteral("m.org")});
    p.push_back({QStringLiteral("bar"), QStringLiteral("|starts with a bar"), QString()});
    const auto pick = [&](size_t n) {
        return std::uniform_int_distribution<size_t>(0, n - 1)(gen);
    };
    const QString masters[] = {QStringLiteral("master"), QStringLiteral("other")};
    constexpr int kRounds = 400;
    int linedUp = 0;
    int next = 0;
    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE(round);
        std::vector<Entry> base;
        for (size_t k = pick(400); k > 0; --k)
            base.push_back(pick(4) == 0 ? p[pick(p.size())]
                                        : Entry{QString::number(next++), QStringLiteral("pw"),
                                                QStringLiteral("a.org")});
        if (round == kRounds - 1)
            for (int k = 0; k < 50'000; ++k)
                base.push_back({QStringLiteral("someone%1@example.org").arg(next++),
                                QStringLiteral("a password of its own, %1").arg(gen()),
                                QStringLiteral("https://www.example%1.org/sign-in").arg(k)});
        const QByteArray baseFile = untidyFileOf(masters[0], base, gen);
        const QByteArray oursFile =
            pick(10) == 0
                ? baseFile
                : untidyFileOf(masters[pick(8) == 0 ? 1 : 0], scattered(base, p, gen, next), gen);
        const QByteArray theirsFile = untidyFileOf(masters[0], scattered(base, p, gen, next), gen);
        const std::optional<QByteArrayView> b =
            round % 5 == 0 ? std::nullopt : std::optional<QByteArrayView>(baseFile);

        const vaultmerge::Result counted = vaultmerge::mergeCountingAll(b, oursFile, theirsFile);
        for (const auto instructions :
             {vaultmerge::Instructions::Widest, vaultmerge::Instructions::Baseline}) {
            const std::optional<vaultmerge::Result> lined =
                vaultmerge::mergeLinedUp(b, oursFile, theirsFile, instructions);
            if (lined) {
                linedUp += instructions == vaultmerge::Instructions::Widest;
                expectSameMerge(*lined, counted);
            }
        }
        expectSameMerge(vaultmerge::merge(b, oursFile, theirsFile), counted);
    }
    EXPECT_GT(linedUp, kRounds * 3 / 4);
}

vaultmerge::Named named(const char* username, const char* location) {
    return {QString::fromUtf8(username), QString::fromUtf8(location)};
}

// What the report says of the cases a person reads it for.
TEST(Merge, ReportsWhatCameFromWhere) {
    const Entry mail{QStringLiteral("me"), QStringLiteral("old"), QStringLiteral("mail.org")};
    const Entry bank{QStringLiteral("me"), QStringLiteral("1234"), QStringLiteral("bank.org")};
    const Entry shop{QStringLiteral("you"), QStringLiteral("s"), QStringLiteral("shop.org")};
    const auto file = [](const std::vector<Entry>& e) {
        return vaultformat::savedFile(QStringLiteral("master"), e);
    };
    const QByteArray base = file({mail, bank});
    // Both edited the mail entry, each to another password; theirs also
    // removed the bank entry and added a shop.
    const QByteArray ours = file({{mail.username, QStringLiteral("o"), mail.location}, bank});
    const QByteArray theirs = file({{mail.username, QStringLiteral("t"), mail.location}, shop});
    const vaultmerge::Result r = vaultmerge::merge(base, ours, theirs);
    ASSERT_EQ(r.outcome, Outcome::Merged);
    EXPECT_EQ(r.report.fromTheirs,
              (std::vector<vaultmerge::Named>{named("me", "mail.org"), named("you", "shop.org")}));
    EXPECT_EQ(r.report.removedByTheirs, std::vector<vaultmerge::Named>{named("me", "bank.org")});
    ASSERT_EQ(r.report.editedOnBoth.size(), 1u);
    EXPECT_EQ(r.report.editedOnBoth[0].ours, named("me", "mail.org"));
    EXPECT_EQ(vaultformat::readEntries(r.file).size(), 3u); // both versions of mail, and shop

    // Without a base, what theirs deleted comes back, and the report says
    // the merge was two-way.
    const vaultmerge::Result twoWay = vaultmerge::merge(std::nullopt, base, theirs);
    EXPECT_TRUE(twoWay.report.twoWay);
    EXPECT_EQ(vaultformat::readEntries(twoWay.file).size(), 4u);
}

} // namespace
