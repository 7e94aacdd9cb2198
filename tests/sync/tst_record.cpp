// Copies that carry what they have seen: computers that change, merge and
// take each other's files at random, behind an engine that keeps either
// version of a conflict, end with exactly the entries added and not removed.
#include "sync/Record.h"
#include "sync/RecordKeeper.h"
#include "sync/RecordMerge.h"
#include "vault/VaultFormat.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>

namespace {

QByteArray lineOf(int n) {
    return vaultformat::encodeEntryLine({QStringLiteral("user%1").arg(n),
                                         QStringLiteral("pw%1").arg(n),
                                         QStringLiteral("site%1.example").arg(n)});
}

QByteArray fileOf(const QByteArray& master, const std::vector<QByteArray>& lines) {
    QByteArray file = master + "\r\n";
    for (const QByteArray& l : lines)
        file += l + "\r\n";
    return file + "\r\n";
}

std::vector<QByteArray> linesIn(const QByteArray& plain) {
    std::vector<QByteArray> out;
    for (const QByteArrayView l : record::linesOf(plain).entries)
        out.push_back(l.toByteArray());
    return out;
}

struct Copy {
    QByteArray plain;
    QByteArray record;
};

recordmerge::Result mergeOf(const Copy& ours, const Copy& theirs) {
    const record::Lines lo = record::linesOf(ours.plain);
    const record::Lines lt = record::linesOf(theirs.plain);
    const record::Record o = RecordKeeper::read(lo, ours.record);
    const record::Record t = RecordKeeper::read(lt, theirs.record);
    return recordmerge::merge({lo, o}, {lt, t});
}

Copy merged(const Copy& ours, const Copy& theirs) {
    recordmerge::Result r = mergeOf(ours, theirs);
    EXPECT_EQ(r.outcome, vaultmerge::Outcome::Merged);
    return {r.file, record::encode(r.record)};
}

std::multiset<QByteArray> entriesOf(const Copy& c) {
    const std::vector<QByteArray> l = linesIn(c.plain);
    return {l.begin(), l.end()};
}

// One computer: its copy of the vault, the keeper a session gives it, and
// the ids it changes vaults as, in a data folder of its own.
struct Computer {
    explicit Computer(const QString& folder) : store(folder + "/replicas"), keeper(store) {}
    QString store;
    RecordKeeper keeper;
    Copy copy;
    std::vector<Copy> conflictCopies; // beside its vault, not merged yet

    void read(const Copy& c) {
        copy = c;
        keeper.current(copy.plain, copy.record);
    }
    void write(const std::vector<QByteArray>& lines) {
        const QByteArray plain = fileOf(record::linesOf(copy.plain).master.toByteArray(), lines);
        const QByteArray rec = keeper.recordFor(plain);
        read({plain, rec});
    }
    void mergeIn(const Copy& theirs) { read(merged(copy, theirs)); }
};

} // namespace

TEST(Record, ComputersEndWithExactlyWhatWasAddedAndNotRemoved) {
    std::mt19937 gen(testing::UnitTest::GetInstance()->random_seed());
    const auto pick = [&](size_t n) {
        return std::uniform_int_distribution<size_t>(0, n - 1)(gen);
    };
    size_t lostAll = 0;
    size_t backAll = 0;
    for (int round = 0; round < 40; ++round) {
        QTemporaryDir dir;
        ASSERT_TRUE(dir.isValid());
        const size_t n = 3 + pick(3);
        std::vector<std::unique_ptr<Computer>> computers;
        for (size_t i = 0; i < n; ++i)
            computers.push_back(std::make_unique<Computer>(dir.filePath(QString::number(i))));
        // Every computer starts from one vault sealed before records (no
        // record at all): its entries must not come twice from that.
        int next = 0;
        std::set<QByteArray> model;
        std::vector<QByteArray> start;
        for (; next < 6; ++next) {
            start.push_back(lineOf(next));
            model.insert(start.back());
        }
        const Copy first{fileOf(vaultformat::encodeMasterLine(QStringLiteral("master")), start),
                         {}};
        for (auto& c : computers)
            c->read(first);

        for (int op = 0; op < 60; ++op) {
            Computer& a = *computers[pick(n)];
            Computer& b = *computers[pick(n)];
            std::vector<QByteArray> lines = linesIn(a.copy.plain);
            switch (pick(7)) {
            case 0: // add
                lines.insert(lines.begin() + long(pick(lines.size() + 1)), lineOf(next));
                model.insert(lineOf(next++));
                a.write(lines);
                break;
            case 1: // remove
                if (!lines.empty()) {
                    const size_t i = pick(lines.size());
                    model.erase(lines[i]);
                    lines.erase(lines.begin() + long(i));
                    a.write(lines);
                }
                break;
            case 2: // edit: the old entry goes, a new one comes
                if (!lines.empty()) {
                    const size_t i = pick(lines.size());
                    model.erase(lines[i]);
                    lines[i] = lineOf(next);
                    model.insert(lineOf(next++));
                    a.write(lines);
                }
                break;
            case 3: // the engine carries b's file to a: when both changed,
                    // it keeps either as the vault, the other as a copy
                if (&a != &b && a.copy.plain != b.copy.plain) {
                    if (pick(2) == 0) {
                        a.conflictCopies.push_back(a.copy);
                        a.read(b.copy);
                    } else {
                        a.conflictCopies.push_back(b.copy);
                    }
                }
                break;
            case 4: // keynook-cli merge of another computer's file
                if (&a != &b)
                    a.mergeIn(b.copy);
                break;
            case 5: // the conflict copies beside a are merged
                for (const Copy& c : a.conflictCopies)
                    a.mergeIn(c);
                a.conflictCopies.clear();
                break;
            case 6: // a's data folder is lost: new ids from now on
                QFile::remove(a.store);
                break;
            }
        }
        // Everything meets: every copy left is merged, and then every
        // computer takes in every other's file.
        for (auto& c : computers) {
            for (const Copy& cc : c->conflictCopies)
                c->mergeIn(cc);
            c->conflictCopies.clear();
        }
        for (int pass = 0; pass < 2; ++pass)
            for (auto& a : computers)
                for (auto& b : computers)
                    if (a != b)
                        a->mergeIn(b->copy);
        for (size_t i = 0; i < n; ++i) {
            const std::multiset<QByteArray> got = entriesOf(computers[i]->copy);
            size_t lost = 0;
            size_t back = 0;
            for (const QByteArray& e : model)
                lost += got.count(e) == 0;
            for (const QByteArray& e : got)
                back += got.count(e) > 1 || model.count(e) == 0;
            lostAll += lost;
            backAll += back;
            EXPECT_EQ(lost, 0u) << "round " << round << ", computer " << i;
            EXPECT_EQ(back, 0u) << "round " << round << ", computer " << i;
        }
    }
    EXPECT_EQ(lostAll, 0u);
    EXPECT_EQ(backAll, 0u);
}

TEST(Record, MergeIsCommutativeAssociativeAndIdempotent) {
    std::mt19937 gen(testing::UnitTest::GetInstance()->random_seed() + 1);
    const auto pick = [&](size_t n) {
        return std::uniform_int_distribution<size_t>(0, n - 1)(gen);
    };
    for (int round = 0; round < 100; ++round) {
        QTemporaryDir dir;
        std::vector<std::unique_ptr<Computer>> c;
        int next = 0;
        for (int i = 0; i < 3; ++i)
            c.push_back(std::make_unique<Computer>(dir.filePath(QString::number(i))));
        const Copy first{fileOf(vaultformat::encodeMasterLine(QStringLiteral("m")),
                                {lineOf(next++), lineOf(next++), lineOf(next++)}),
                         {}};
        for (auto& x : c)
            x->read(first);
        for (int op = 0; op < 12; ++op) {
            Computer& a = *c[pick(3)];
            std::vector<QByteArray> lines = linesIn(a.copy.plain);
            if (pick(3) == 0 && !lines.empty())
                lines.erase(lines.begin() + long(pick(lines.size())));
            else if (pick(4) == 0)
                a.mergeIn(c[pick(3)]->copy);
            else
                lines.push_back(lineOf(next++));
            a.write(lines);
        }
        const Copy &x = c[0]->copy, &y = c[1]->copy, &z = c[2]->copy;
        EXPECT_EQ(entriesOf(merged(x, y)), entriesOf(merged(y, x)));
        EXPECT_EQ(entriesOf(merged(merged(x, y), z)), entriesOf(merged(x, merged(y, z))));
        const Copy xx = merged(x, x);
        EXPECT_EQ(xx.plain,
                  fileOf(record::linesOf(x.plain).master.toByteArray(), linesIn(x.plain)));
        if (mergeOf(x, y).report.unchanged()) {
            EXPECT_EQ(entriesOf(merged(x, y)), entriesOf(x));
        }
    }
}

// A record written and read back is the same; damaged bytes are refused,
// never misread as marks for other lines.
TEST(Record, ReadsBackWhatItWrites) {
    std::mt19937 gen(testing::UnitTest::GetInstance()->random_seed() + 2);
    QTemporaryDir dir;
    Computer a(dir.filePath("a"));
    std::vector<QByteArray> lines;
    for (int i = 0; i < 50; ++i)
        lines.push_back(lineOf(i % 40)); // some lines twice
    a.read({fileOf("master", lines), {}});
    lines.erase(lines.begin() + 3);
    lines.push_back(lineOf(99));
    a.write(lines);
    const record::Lines l = record::linesOf(a.copy.plain);
    const std::optional<record::Record> r = record::decode(a.copy.record, l);
    ASSERT_TRUE(r);
    EXPECT_EQ(record::encode(*r), a.copy.record);
    EXPECT_EQ(r->marks.size(), l.entries.size());
    EXPECT_EQ(r->removedContent.size(), 1u);
    // A few bytes an entry.
    EXPECT_LT(a.copy.record.size(), 4 * qsizetype(lines.size()) + 64);
    for (int i = 0; i < 2000; ++i) {
        QByteArray bad = a.copy.record;
        if (i % 2)
            bad.truncate(qsizetype(gen() % quint32(bad.size())));
        else
            bad[qsizetype(gen() % quint32(bad.size()))] ^= char(1 + gen() % 255);
        if (const std::optional<record::Record> d = record::decode(bad, l)) {
            EXPECT_EQ(d->marks.size(), l.entries.size());
        }
    }
}

// The master password is a value with a mark: a change on one side is
// taken, a change on both to different passwords stops the merge.
TEST(Record, TakesAMasterChangeMadeOnOneSideOnly) {
    QTemporaryDir dir;
    const QByteArray m0 = vaultformat::encodeMasterLine(QStringLiteral("first"));
    const QByteArray m1 = vaultformat::encodeMasterLine(QStringLiteral("second"));
    const QByteArray m2 = vaultformat::encodeMasterLine(QStringLiteral("third"));
    struct Row {
        const char* name;
        QByteArray a, b; // the master lines each side saves
        vaultmerge::Outcome outcome;
        QByteArray master;
    };
    const Row rows[] = {
        {"neither", m0, m0, vaultmerge::Outcome::Merged, m0},
        {"theirs", m0, m1, vaultmerge::Outcome::Merged, m1},
        {"ours", m1, m0, vaultmerge::Outcome::Merged, m1},
        {"both alike", m1, m1, vaultmerge::Outcome::Merged, m1},
        {"both apart", m1, m2, vaultmerge::Outcome::MasterConflict, {}},
    };
    for (const Row& row : rows) {
        Computer a(dir.filePath(QString("a") + row.name));
        Computer b(dir.filePath(QString("b") + row.name));
        a.read({fileOf(m0, {lineOf(1)}), {}});
        b.read(a.copy);
        const auto save = [](Computer& c, const QByteArray& master, int line) {
            const QByteArray plain = fileOf(master, {lineOf(1), lineOf(line)});
            const QByteArray rec = c.keeper.recordFor(plain);
            c.read({plain, rec});
        };
        save(a, row.a, 2);
        save(b, row.b, 3);
        const recordmerge::Result r = mergeOf(a.copy, b.copy);
        EXPECT_EQ(r.outcome, row.outcome) << row.name;
        if (r.outcome == vaultmerge::Outcome::Merged) {
            EXPECT_EQ(record::linesOf(r.file).master.toByteArray(), row.master) << row.name;
            EXPECT_EQ(r.report.fromTheirs.size(), 1u) << row.name;
            EXPECT_EQ(r.report.masterFromTheirs, row.master != row.a) << row.name;
        }
    }
}
