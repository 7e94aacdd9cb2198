#include "rtf/RtfReader.h"

#include <QByteArray>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTextDocument>

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <iostream>
#include <random>
#include <vector>

// The reader over the fuzzing corpus and over randomly broken RTF, with the
// toolchain of an ordinary build: every read must return, promptly, and stay
// within the reader's output bound. The libFuzzer target does the same with
// coverage guidance; this test keeps what it found from coming back.

namespace {

constexpr int kMutatedInputs = 3000;
constexpr std::uint64_t kDefaultStart = 20240607;
// Far above what any input here needs; a read slower than this is a hang.
constexpr qint64 kSlowReadMs = 5000;

struct Input {
    QString name;
    QByteArray bytes;
};

std::vector<Input> filesIn(const QString& folder) {
    std::vector<Input> out;
    const QDir dir(folder);
    for (const QString& name : dir.entryList(QDir::Files, QDir::Name)) {
        QFile f(dir.filePath(name));
        if (f.open(QIODevice::ReadOnly))
            out.push_back({name, f.readAll()});
    }
    return out;
}

// Saves an input that broke a promise, so that it can go into the corpus.
QString keep(const QByteArray& bytes) {
    QTemporaryDir dir;
    dir.setAutoRemove(false);
    const QString path = dir.filePath(QStringLiteral("failing.rtf"));
    QFile f(path);
    if (f.open(QIODevice::WriteOnly))
        f.write(bytes);
    return path;
}

// One read, checked. Returns an empty string when all is well.
std::string check(const QByteArray& bytes) {
    QTextDocument document;
    QElapsedTimer timer;
    timer.start();
    rtf::read(bytes, document);
    const qint64 ms = timer.elapsed();
    const rtf::Limits limits;
    const qsizetype bound = bytes.size() + 2 * qsizetype(limits.maxTableCells) + 16;
    if (document.characterCount() > bound)
        return "output of " + std::to_string(document.characterCount()) + " characters from " +
               std::to_string(bytes.size()) + " bytes";
    if (ms > kSlowReadMs)
        return "read took " + std::to_string(ms) + " ms";
    return {};
}

std::uint64_t startValue() {
    const QByteArray env = qgetenv("KEYNOOK_RTF_FUZZ_START");
    bool ok = false;
    const qulonglong v = env.toULongLong(&ok);
    return ok ? v : kDefaultStart;
}

// Pieces of RTF that reach the reader's corners: destinations, tables,
// escapes, counts and numbers at the edges of their ranges.
const std::array<const char*, 36> kTokens = {
    "{",
    "}",
    "\\",
    "\\par ",
    "\\pard",
    "\\plain",
    "\\b",
    "\\fs99999",
    "\\f7 ",
    "{\\fonttbl",
    "{\\colortbl;",
    "\\cf3 ",
    "\\'",
    "\\'e9",
    "\\'82",
    "\\u-",
    "\\u65535 ",
    "\\uc9 ",
    "\\uc0 ",
    "\\bin",
    "\\bin9 ",
    "\\*",
    "{\\*\\x ",
    "{\\pict ",
    "\\trowd",
    "\\cellx500",
    "\\intbl ",
    "\\cell ",
    "\\row ",
    "\\nestcell ",
    "{\\field{\\*\\fldinst HYPERLINK \"",
    "{\\fldrslt ",
    "\\tx-99999",
    "\\li2147483647",
    "\\ansicpg932 ",
    "-",
};

class Mutator {
public:
    explicit Mutator(std::uint64_t start) : m_random(start) {}

    QByteArray mutate(QByteArray bytes, const std::vector<Input>& pool) {
        const int steps = pick(1, 8);
        for (int i = 0; i < steps; ++i)
            step(bytes, pool);
        return bytes;
    }

private:
    int pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(m_random); }

    qsizetype at(const QByteArray& b) { return b.isEmpty() ? 0 : pick(0, int(b.size())); }

    void step(QByteArray& b, const std::vector<Input>& pool) {
        switch (pick(0, 8)) {
        case 0: // flip a byte
            if (!b.isEmpty())
                b[pick(0, int(b.size()) - 1)] = char(pick(0, 255));
            break;
        case 1: // insert a token
            b.insert(at(b), kTokens[pick(0, int(kTokens.size()) - 1)]);
            break;
        case 2: { // delete a range
            const qsizetype from = at(b);
            b.remove(from, pick(0, 64));
            break;
        }
        case 3: { // repeat a range
            const qsizetype from = at(b);
            const QByteArray piece = b.mid(from, pick(1, 32));
            b.insert(at(b), piece.repeated(pick(1, 50)));
            break;
        }
        case 4: // truncate
            b.truncate(at(b));
            break;
        case 5: // open many groups, or close them
            b.insert(at(b), QByteArray(pick(1, 3000), pick(0, 1) ? '{' : '}'));
            break;
        case 6: { // a number at the edge of its range
            static const std::array<const char*, 6> numbers = {
                "0", "-1", "32767", "-32768", "2147483648", "99999999999999999999"};
            b.insert(at(b), numbers[pick(0, int(numbers.size()) - 1)]);
            break;
        }
        case 7: { // splice in part of another input
            const QByteArray& other = pool[pick(0, int(pool.size()) - 1)].bytes;
            const qsizetype from = at(other);
            b.insert(at(b), other.mid(from, pick(1, 400)));
            break;
        }
        default: // a raw high byte or control byte
            b.insert(at(b), char(pick(0, 1) ? pick(0x80, 0xFF) : pick(0, 0x1F)));
            break;
        }
    }

    std::mt19937_64 m_random;
};

} // namespace

TEST(RtfReplay, EveryCorpusFileAndSampleReadsWithinBounds) {
    std::vector<Input> inputs = filesIn(QStringLiteral(KEYNOOK_RTF_CORPUS_DIR));
    ASSERT_GE(inputs.size(), 20u) << "the corpus is missing";
    for (Input& sample : filesIn(QStringLiteral(KEYNOOK_RTF_SAMPLES_DIR)))
        inputs.push_back(std::move(sample));
    for (const Input& input : inputs) {
        const std::string problem = check(input.bytes);
        EXPECT_TRUE(problem.empty()) << input.name.toStdString() << ": " << problem;
    }
}

TEST(RtfReplay, RandomlyBrokenRtfReadsWithinBounds) {
    const std::uint64_t start = startValue();
    std::cout << "start value " << start << " (set KEYNOOK_RTF_FUZZ_START to repeat)\n";
    RecordProperty("start_value", std::to_string(start));

    std::vector<Input> pool = filesIn(QStringLiteral(KEYNOOK_RTF_SAMPLES_DIR));
    for (Input& input : filesIn(QStringLiteral(KEYNOOK_RTF_CORPUS_DIR)))
        pool.push_back(std::move(input));
    // The libFuzzer finds ("found-...") are replayed above; as bases for
    // mutation they are too small to reach tables, fields and fonts.
    std::erase_if(pool, [](const Input& i) {
        return !i.bytes.startsWith("{\\rtf") || i.name.startsWith(QStringLiteral("found-"));
    });
    ASSERT_FALSE(pool.empty());

    Mutator mutator(start);
    std::mt19937_64 choose(start ^ 0x9E3779B97F4A7C15ull);
    int failures = 0;
    for (int i = 0; i < kMutatedInputs && failures < 5; ++i) {
        const Input& base =
            pool[std::uniform_int_distribution<std::size_t>(0, pool.size() - 1)(choose)];
        const QByteArray input = mutator.mutate(base.bytes, pool);
        const std::string problem = check(input);
        if (!problem.empty()) {
            ++failures;
            ADD_FAILURE() << "input " << i << " (from " << base.name.toStdString()
                          << "): " << problem << "; saved as " << keep(input).toStdString();
        }
    }
}
