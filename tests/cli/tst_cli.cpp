// keynook-cli as a user or a script meets it: the real binary, run in a
// temporary folder with a home and XDG folders of its own, checked by its
// exit status, its output and the vault's bytes. The expected vaults come
// from the window's own file format (vaultformat), so the two agree.
#include "CliTestSupport.h"
#include "SealedTestSupport.h"
#include "VaultTestSupport.h"

#include "cli/CommandTable.h"
#include "interchange/Interchange.h"
#include "seal/SealedVault.h"
#include "vault/VaultFormat.h"
#include "vault/VaultLocation.h"
#include "vault/VaultSession.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <QtEndian>

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

using testsupport::flipped;
using testsupport::kCrLf;

namespace {

const QString kMaster = QStringLiteral("correct horse 9");

unsigned modeOf(const QString& file) {
    struct stat st {};
    return ::stat(QFile::encodeName(file).constData(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// Keynook's data folder and everything in it are the user's alone: folders
// 0700, files 0600.
void expectOwnerOnly(const QString& folder) {
    EXPECT_EQ(modeOf(folder), 0700u) << folder.toStdString();
    QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString file = it.next();
        EXPECT_EQ(modeOf(file), QFileInfo(file).isDir() ? 0700u : 0600u) << file.toStdString();
    }
}

struct Ran {
    int status = -1;
    QByteArray out;
    QByteArray err;
};

// The folder of CliFolder, the program run in it, and the vault under kMaster.
class Cli : public clitest::CliFolder {
protected:
    using CliFolder::sealCheaply;
    using CliFolder::writeVault;

    // Runs the program on the test's vault, without a terminal: setsid()
    // leaves the child none, whatever the test was started from.
    Ran run(QStringList args, const QByteArray& input = {}, bool onVault = true,
            const QString& program = QStringLiteral(KEYNOOK_CLI)) {
        if (onVault)
            args.prepend(QStringLiteral("--vault=") + m_vault);
        QProcess p;
        p.setProcessEnvironment(m_env);
        p.setWorkingDirectory(path(QStringLiteral("home")));
        p.setChildProcessModifier([] { ::setsid(); });
        p.start(program, args);
        EXPECT_TRUE(p.waitForStarted(30000));
        p.write(input);
        p.closeWriteChannel();
        EXPECT_TRUE(p.waitForFinished(60000)) << args.join(QLatin1Char(' ')).toStdString();
        EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
        return {p.exitCode(), p.readAllStandardOutput(), p.readAllStandardError()};
    }

    // The lines of standard input for --password-stdin.
    static QByteArray lines(const QStringList& secrets) {
        return (secrets.join(QLatin1Char('\n')) + QLatin1Char('\n')).toUtf8();
    }

    Ran withMaster(QStringList args, QStringList more = {}, const QString& master = kMaster) {
        args.prepend(QStringLiteral("--password-stdin"));
        more.prepend(master);
        return run(args, lines(more));
    }

    // A vault as the window saves it.
    void writeVault(const std::vector<Entry>& entries) const {
        writeVault(vaultformat::savedFile(kMaster, entries));
    }

    void sealCheaply() const { sealCheaply(kMaster); }
};

const Entry kMe{QStringLiteral("me"), QStringLiteral("p4ss|||word"), QStringLiteral("example.org")};
const Entry kZoe{QStringLiteral("Zo\u00eb"),
                 QStringLiteral("\u00fcn\u00ef c\u00f6d\u00e9 \U0001D11E"),
                 QStringLiteral("Stra\u00dfe.example")};
const Entry kBob{QStringLiteral("bob"), QStringLiteral("bobs secret"),
                 QStringLiteral("mail.example.org")};

// ---------------------------------------------------------------------------

// One vault from init to check, each step checked by its output and by the
// vault it leaves, which must be what the window saves for those entries.
TEST_F(Cli, FullLife) {
    const QString newMaster = QStringLiteral("battery staple 10");
    QString generated;
    QStringList secrets = {kMaster, newMaster, kMe.password, kZoe.password,
                           QStringLiteral("new pass")};
    struct Step {
        QStringList args;
        QStringList input; // after the master password
        QByteArray out;    // exact, unless empty
        QByteArray err;    // contained; none when empty
        std::vector<Entry> after;
    };
    Entry meMoved = kMe;
    meMoved.location = QStringLiteral("new.example");
    meMoved.password = QStringLiteral("new pass");
    const std::vector<Step> steps = {
        {{QStringLiteral("check")},
         {},
         "Vault: " + m_vault.toUtf8() +
             "\nSealed: no\nEntries: 0\nLines that are not entries: 0\nFields stored with the "
             "escape: 0\nA save writes every line back byte for byte, and adds the empty line "
             "that ends every saved vault.\n",
         {},
         {}},
        {{QStringLiteral("add"), QStringLiteral("--username"), kMe.username,
          QStringLiteral("--location"), kMe.location},
         {kMe.password},
         {},
         "Added me at example.org. The vault holds 1 entry.",
         {kMe}},
        {{QStringLiteral("add"), QStringLiteral("--username=") + kZoe.username,
          QStringLiteral("--location=") + kZoe.location},
         {kZoe.password},
         {},
         "The vault holds 2 entries.",
         {kMe, kZoe}},
        {{QStringLiteral("add"), QStringLiteral("--username"), kBob.username,
          QStringLiteral("--location"), kBob.location, QStringLiteral("--generate"),
          QStringLiteral("16"), QStringLiteral("--show-password")},
         {},
         {},
         "Added bob at mail.example.org.",
         {}},
        {{QStringLiteral("list")},
         {},
         "Username  Password  Location\n"
         "me        ********  example.org\n"
         "Zo\xc3\xab       ********  Stra\xc3\x9f"
         "e.example\n"
         "bob       ********  mail.example.org\n",
         {},
         {}},
        {{QStringLiteral("list"), QStringLiteral("--sort"), QStringLiteral("username"),
          QStringLiteral("--reverse"), QStringLiteral("--format"), QStringLiteral("tsv")},
         {},
         "username\tpassword\tlocation\n"
         "Zo\xc3\xab\t********\tStra\xc3\x9f"
         "e.example\n"
         "me\t********\texample.org\n"
         "bob\t********\tmail.example.org\n",
         {},
         {}},
        {{QStringLiteral("show"), QStringLiteral("EXAMPLE.ORG"), QStringLiteral("--format=tsv"),
          QStringLiteral("--show-passwords")},
         {},
         "username\tpassword\tlocation\nme\tp4ss|||word\texample.org\nbob\t(generated)\tmail."
         "example.org\n",
         {},
         {}},
        {{QStringLiteral("get"), QStringLiteral("zO\u00cb"), QStringLiteral("--field"),
          QStringLiteral("password")},
         {},
         kZoe.password.toUtf8() + '\n',
         {},
         {}},
        {{QStringLiteral("get"), QStringLiteral("--exact"), QStringLiteral("example.org")},
         {},
         "p4ss|||word\n",
         {},
         {}},
        {{QStringLiteral("get"), QStringLiteral("zo\u00eb"), QStringLiteral("--format=json")},
         {},
         "{\"username\": \"Zo\xc3\xab\", \"password\": \"" + kZoe.password.toUtf8() +
             "\", \"location\": \"Stra\xc3\x9f"
             "e.example\"}\n",
         {},
         {}},
        {{QStringLiteral("edit"), QStringLiteral("--exact"), QStringLiteral("ME"),
          QStringLiteral("--location"), QStringLiteral("new.example"),
          QStringLiteral("--password")},
         {QStringLiteral("new pass")},
         {},
         "Changed me at new.example.",
         {meMoved, kZoe}}, // bob is added to `after` below
        {{QStringLiteral("remove"), QStringLiteral("bob"), QStringLiteral("--yes")},
         {},
         {},
         "Removed bob at mail.example.org. The vault holds 2 entries.",
         {meMoved, kZoe}},
        {{QStringLiteral("check")},
         {},
         "Vault: " + m_vault.toUtf8() +
             "\nSealed: no\nEntries: 2\nLines that are not entries: 0\nFields stored with the "
             "escape: 1\n"
             "A save writes the file back byte for byte.\n",
         {},
         {}},
    };

    Ran init = withMaster({QStringLiteral("init")});
    ASSERT_EQ(init.status, 0) << init.err.toStdString();
    EXPECT_EQ(vaultBytes(), flipped(kMaster.toUtf8()) + kCrLf);
    EXPECT_TRUE(init.err.contains("Created the master password"));

    std::vector<Ran> all = {init};
    for (const Step& step : steps) {
        SCOPED_TRACE(step.args.join(QLatin1Char(' ')).toStdString());
        Ran r = withMaster(step.args, step.input);
        all.push_back(r);
        ASSERT_EQ(r.status, 0) << r.err.toStdString();
        if (step.args.contains(QStringLiteral("--show-password"))) {
            generated = QString::fromUtf8(r.out).chopped(1);
            EXPECT_EQ(generated.size(), 16);
            secrets << generated;
        } else if (!step.out.isEmpty()) {
            QByteArray expected = step.out;
            expected.replace("(generated)", generated.toUtf8());
            EXPECT_EQ(r.out, expected);
        } else {
            EXPECT_EQ(r.out, QByteArray());
        }
        if (step.err.isEmpty())
            EXPECT_EQ(r.err, QByteArray());
        else
            EXPECT_TRUE(r.err.contains(step.err)) << r.err.toStdString();
        if (!step.after.empty()) {
            std::vector<Entry> expected = step.after;
            if (step.args.first() == QLatin1String("edit"))
                expected.push_back(Entry{kBob.username, generated, kBob.location});
            EXPECT_EQ(vaultBytes(), vaultformat::savedFile(kMaster, expected));
            EXPECT_EQ(vaultformat::readEntries(vaultBytes()), expected);
        }
        if (step.args.first() == QLatin1String("add") && step.after.empty()) {
            const std::vector<Entry> read = vaultformat::readEntries(vaultBytes());
            ASSERT_EQ(read.size(), 3u);
            EXPECT_EQ(read[2], (Entry{kBob.username, generated, kBob.location}));
        }
    }

    // Several matches: named by username and location, never by password.
    const Ran several = withMaster(
        {QStringLiteral("get"), QStringLiteral("e"), QStringLiteral("--field=password")});
    EXPECT_EQ(several.status, 1);
    EXPECT_TRUE(several.err.contains("2 entries match \"e\""));
    EXPECT_TRUE(several.err.contains("\n  me at new.example\n  Zo\xc3\xab at Stra\xc3\x9f"));
    all.push_back(several);

    // An export holds the passwords, in a new file of the owner's alone.
    const QString exported = path(QStringLiteral("home/entries.csv"));
    const Ran exporting = withMaster({QStringLiteral("export"), exported});
    all.push_back(exporting);
    ASSERT_EQ(exporting.status, 0) << exporting.err.toStdString();
    EXPECT_EQ(modeOf(exported), 0600u);
    QFile exportFile(exported);
    ASSERT_TRUE(exportFile.open(QIODevice::ReadOnly));
    EXPECT_EQ(exportFile.readAll(), interchange::exportCsv({meMoved, kZoe}).bytes);

    // passwd rewrites the first line alone.
    const QByteArray before = vaultBytes();
    const Ran passwd = withMaster({QStringLiteral("passwd")}, {newMaster});
    all.push_back(passwd);
    ASSERT_EQ(passwd.status, 0) << passwd.err.toStdString();
    EXPECT_EQ(vaultBytes(), flipped(newMaster.toUtf8()) + before.mid(before.indexOf(kCrLf)));
    EXPECT_EQ(withMaster({QStringLiteral("list")}).status, 1);
    EXPECT_EQ(withMaster({QStringLiteral("list")}, {}, newMaster).status, 0);

    // Secrets go to the vault and to the output that asked for them, nowhere
    // else: not in messages, not in any other file the program left. The
    // states of the vault this computer saw are the vault's bytes, and as
    // private as it.
    for (const Ran& r : all)
        for (const QString& s : secrets)
            EXPECT_FALSE(r.err.contains(s.toUtf8())) << r.err.toStdString();
    QDirIterator files(m_dir.path(), QDir::Files | QDir::Hidden | QDir::System,
                       QDirIterator::Subdirectories);
    int scanned = 0;
    while (files.hasNext()) {
        const QString file = files.next();
        if (file == m_vault || file == exported)
            continue; // the files meant to hold them
        if (file.contains(QStringLiteral("/Keynook/seen/"))) {
            EXPECT_EQ(modeOf(file), 0600u);
            EXPECT_EQ(modeOf(QFileInfo(file).path()), 0700u);
            continue;
        }
        ++scanned;
        QFile f(file);
        ASSERT_TRUE(f.open(QIODevice::ReadOnly)) << file.toStdString();
        const QByteArray bytes = f.readAll();
        for (const QString& s : secrets) {
            EXPECT_FALSE(bytes.contains(s.toUtf8())) << file.toStdString();
            EXPECT_FALSE(bytes.contains(vaultformat::encodeMasterLine(s))) << file.toStdString();
        }
    }
    EXPECT_EQ(scanned, 0) << "the program left files of its own";
    EXPECT_EQ(modeOf(m_vault), 0600u);
}

namespace sealed = sealedvault::layout;

sealedvault::SealParams paramsIn(const QByteArray& file) {
    return {qFromLittleEndian<quint64>(file.constData() + sealed::kOpsLimitAt),
            qFromLittleEndian<quint64>(file.constData() + sealed::kMemLimitAt)};
}

QByteArray nonceOf(const QByteArray& file) {
    return file.sliced(sealed::kNonceAt, sealed::kNonceSize);
}

// What the vault holds, sealed under `master`, or a marker no vault equals.
QByteArray opened(const QByteArray& file, const QString& master) {
    const sealedvault::Unsealed u = sealedvault::unseal(file, master);
    return u.ok() ? u.plain : "<" + QByteArray::number(static_cast<int>(u.outcome)) + ">";
}

// The commands a person runs to seal a vault, change it and unseal it, at
// the product's own key parameters: each run derives a key once (the seal,
// the add and the unseal: three derivations of about half a second). A
// refusal asks for nothing, so it derives nothing.
TEST_F(Cli, SealAddAndUnsealAtTheDefaults) {
    writeVault(std::vector<Entry>{kMe, kBob});
    const QByteArray plain = vaultBytes();
    const QString stdinFlag = QStringLiteral("--password-stdin");

    const Ran sealing = withMaster({QStringLiteral("seal")});
    ASSERT_EQ(sealing.status, 0) << sealing.err.toStdString();
    EXPECT_TRUE(sealing.err.contains("Sealed the vault at " + m_vault.toUtf8() +
                                     " under a key made from its master password (Argon2id, 3 "
                                     "passes over 256 MiB)."))
        << sealing.err.toStdString();
    EXPECT_TRUE(sealing.err.contains("If the master password is forgotten, nobody can read the "
                                     "vault again, Keynook included."));
    const QByteArray sealedFile = vaultBytes();
    ASSERT_TRUE(sealedvault::isSealed(sealedFile));
    EXPECT_EQ(paramsIn(sealedFile), sealedvault::SealParams::defaults());
    // Sealing starts the record of what the vault has seen, beside its bytes.
    const sealedvault::Unsealed opened = sealedvault::unseal(sealedFile, kMaster);
    ASSERT_TRUE(opened.ok());
    EXPECT_EQ(opened.plain, plain);
    EXPECT_FALSE(opened.record.isEmpty());
    EXPECT_EQ(modeOf(m_vault), 0600u);

    // Sealed already: refused before the password is asked (none is given).
    const Ran again = run({stdinFlag, QStringLiteral("seal")});
    EXPECT_EQ(again.status, 1);
    EXPECT_TRUE(again.err.contains("is sealed already; nothing was changed"))
        << again.err.toStdString();
    EXPECT_EQ(vaultBytes(), sealedFile);

    // A change keeps the key (the header up to the nonce) and draws a new
    // nonce.
    const Ran added = withMaster({QStringLiteral("add"), QStringLiteral("--username"),
                                  kZoe.username, QStringLiteral("--location"), kZoe.location},
                                 {kZoe.password});
    ASSERT_EQ(added.status, 0) << added.err.toStdString();
    const QByteArray changed = vaultBytes();
    ASSERT_TRUE(sealedvault::isSealed(changed));
    EXPECT_EQ(changed.first(sealed::kNonceAt), sealedFile.first(sealed::kNonceAt));
    EXPECT_NE(nonceOf(changed), nonceOf(sealedFile));

    const Ran unsealing = withMaster({QStringLiteral("unseal")});
    ASSERT_EQ(unsealing.status, 0) << unsealing.err.toStdString();
    EXPECT_TRUE(unsealing.err.contains("Unsealed the vault at")) << unsealing.err.toStdString();
    EXPECT_EQ(vaultBytes(), vaultformat::savedFile(kMaster, std::vector<Entry>{kMe, kBob, kZoe}));
    EXPECT_EQ(modeOf(m_vault), 0600u);
    const Ran twice = run({stdinFlag, QStringLiteral("unseal")});
    EXPECT_EQ(twice.status, 1);
    EXPECT_TRUE(twice.err.contains("is not sealed; nothing was changed"))
        << twice.err.toStdString();
}

// Every command on a sealed vault (sealed cheaply, see sealCheaply()): what
// it shows, and the vault it leaves, which stays sealed, with a new nonce at
// every save and a new key after passwd, and opens to exactly what the
// window would save for those entries. A wrong password changes nothing.
// Then a scan: no file written meanwhile, the vault included, holds a
// password as text or under the plain form's cipher, and no message does.
TEST_F(Cli, EveryCommandOnASealedVault) {
    writeVault(std::vector<Entry>{kMe, kBob});
    sealCheaply();
    const QString newMaster = QStringLiteral("battery staple 10");
    const QString edited = QStringLiteral("edited secret 4");
    const QString exported = path(QStringLiteral("home/export.json"));
    Entry meMoved{kMe.username, edited, QStringLiteral("new.example")};
    enum Change { Nothing, Entries, Master };
    struct Step {
        QStringList args;
        QStringList input; // after the master password
        QString master;    // the one given
        int status;
        QByteArray out; // exact
        QByteArray err; // contained; none when empty
        Change change;
        std::vector<Entry> after;
    };
    const std::vector<Step> steps = {
        {{QStringLiteral("list"), QStringLiteral("--format=tsv"),
          QStringLiteral("--show-passwords")},
         {},
         kMaster,
         0,
         "username\tpassword\tlocation\nme\tp4ss|||word\texample.org\n"
         "bob\tbobs secret\tmail.example.org\n",
         {},
         Nothing,
         {}},
        {{QStringLiteral("get"), QStringLiteral("bob"), QStringLiteral("--field=password")},
         {},
         kMaster,
         0,
         "bobs secret\n",
         {},
         Nothing,
         {}},
        {{QStringLiteral("list")},
         {},
         QStringLiteral("wrong"),
         1,
         {},
         "the password does not open this sealed vault",
         Nothing,
         {}},
        {{QStringLiteral("add"), QStringLiteral("--username"), kZoe.username,
          QStringLiteral("--location"), kZoe.location},
         {kZoe.password},
         kMaster,
         0,
         {},
         "The vault holds 3 entries.",
         Entries,
         {kMe, kBob, kZoe}},
        {{QStringLiteral("edit"), QStringLiteral("me"), QStringLiteral("--exact"),
          QStringLiteral("--location=new.example"), QStringLiteral("--password")},
         {edited},
         kMaster,
         0,
         {},
         "Changed me at new.example.",
         Entries,
         {meMoved, kBob, kZoe}},
        {{QStringLiteral("remove"), QStringLiteral("bob"), QStringLiteral("--yes")},
         {},
         kMaster,
         0,
         {},
         "The vault holds 2 entries.",
         Entries,
         {meMoved, kZoe}},
        {{QStringLiteral("check")},
         {},
         kMaster,
         0,
         "Vault: " + m_vault.toUtf8() +
             "\nSealed: yes, under a key from the master password (Argon2id, 1 pass over 8 "
             "KiB)\nEntries: 2\nLines that are not entries: 0\nFields stored with the escape: "
             "1\nA save seals the same bytes again, byte for byte (with a fresh nonce).\n",
         {},
         Nothing,
         {}},
        {{QStringLiteral("init")},
         {},
         newMaster,
         1,
         {},
         "is sealed, and has a master",
         Nothing,
         {}},
        {{QStringLiteral("passwd")},
         {newMaster},
         kMaster,
         0,
         {},
         "sealed under a new key made from it",
         Master,
         {meMoved, kZoe}},
        {{QStringLiteral("list")},
         {},
         kMaster,
         1,
         {},
         "the password does not open this sealed vault",
         Nothing,
         {}},
        {{QStringLiteral("export"), exported}, {}, newMaster, 0, {}, "Exported 2", Nothing, {}},
    };
    QString master = kMaster;
    std::vector<Ran> all;
    for (const Step& step : steps) {
        SCOPED_TRACE(step.args.join(QLatin1Char(' ')).toStdString());
        const QByteArray before = vaultBytes();
        const Ran r = withMaster(step.args, step.input, step.master);
        all.push_back(r);
        EXPECT_EQ(r.status, step.status) << r.err.toStdString();
        EXPECT_EQ(r.out, step.out);
        if (step.err.isEmpty())
            EXPECT_EQ(r.err, QByteArray());
        else
            EXPECT_TRUE(r.err.contains(step.err)) << r.err.toStdString();
        const QByteArray now = vaultBytes();
        ASSERT_TRUE(sealedvault::isSealed(now));
        if (step.change == Nothing) {
            EXPECT_EQ(now, before);
            continue;
        }
        EXPECT_NE(nonceOf(now), nonceOf(before));
        if (step.change == Entries) {
            // The same key; the first save after sealing may add a record,
            // a version byte and check value of its own.
            EXPECT_EQ(now.sliced(sealed::kKdfAt, sealed::kCheckAt - sealed::kKdfAt),
                      before.sliced(sealed::kKdfAt, sealed::kCheckAt - sealed::kKdfAt));
        } else {
            // A new key: a new salt, at the cost the vault had.
            EXPECT_NE(now.sliced(sealed::kSaltAt, sealed::kSaltSize),
                      before.sliced(sealed::kSaltAt, sealed::kSaltSize));
            EXPECT_EQ(paramsIn(now), paramsIn(before));
            EXPECT_EQ(sealedvault::unseal(now, master).outcome,
                      sealedvault::Outcome::WrongPassword);
            master = newMaster;
        }
        EXPECT_EQ(opened(now, master), vaultformat::savedFile(master, step.after));
    }

    // Nothing but the export and the output that asked for them holds a
    // secret; the sealed vault holds none in any form a reader could see.
    const QStringList secrets = {kMaster, newMaster,     kMe.password,
                                 edited,  kBob.password, kZoe.password};
    auto holds = [&](const QByteArray& bytes) { return testsupport::heldSecret(bytes, secrets); };
    for (const Ran& r : all)
        EXPECT_EQ(holds(r.err), QString()) << r.err.toStdString();
    QDirIterator files(m_dir.path(), QDir::Files | QDir::Hidden | QDir::System,
                       QDirIterator::Subdirectories);
    QStringList scanned;
    while (files.hasNext()) {
        const QString file = files.next();
        if (file == exported)
            continue;
        // The sealed states of the vault this computer saw are scanned too.
        if (!file.contains(QStringLiteral("/Keynook/seen/")) &&
            !file.endsWith(QStringLiteral("/Keynook/replicas")))
            scanned << QFileInfo(file).fileName();
        QFile f(file);
        ASSERT_TRUE(f.open(QIODevice::ReadOnly)) << file.toStdString();
        EXPECT_EQ(holds(f.readAll()), QString()) << file.toStdString();
    }
    EXPECT_EQ(scanned, QStringList{QStringLiteral("data.enc")}) << "the program left other files";
    QFile exportFile(exported);
    ASSERT_TRUE(exportFile.open(QIODevice::ReadOnly));
    EXPECT_EQ(exportFile.readAll(),
              interchange::exportJson(std::vector<Entry>{meMoved, kZoe}).bytes);

    // Unsealed: exactly the plain bytes the sealed vault held.
    const QByteArray last = opened(vaultBytes(), newMaster);
    const Ran unsealing = withMaster({QStringLiteral("unseal")}, {}, newMaster);
    ASSERT_EQ(unsealing.status, 0) << unsealing.err.toStdString();
    EXPECT_EQ(vaultBytes(), last);
    EXPECT_EQ(vaultBytes(), vaultformat::savedFile(newMaster, std::vector<Entry>{meMoved, kZoe}));
}

// Every command of --help is named in the README, and the manual page holds
// the synopsis and each command's line as the table of commands makes them.
TEST_F(Cli, EveryCommandIsDocumented) {
    const Ran help = run({QStringLiteral("--help")}, {}, false);
    QFile manual(QStringLiteral(KEYNOOK_SOURCE_DIR "/packaging/keynook-cli.1"));
    QFile readme(QStringLiteral(KEYNOOK_SOURCE_DIR "/README.md"));
    ASSERT_TRUE(manual.open(QIODevice::ReadOnly) && readme.open(QIODevice::ReadOnly));
    const QByteArray man = manual.readAll();
    const QByteArray text = readme.readAll();
    int found = 0;
    for (const QByteArray& line : help.out.mid(help.out.indexOf("Commands:\n")).split('\n')) {
        if (!line.startsWith("  "))
            continue;
        if (line.startsWith("  --"))
            break;
        const QByteArray name = line.trimmed().split(' ').first();
        ++found;
        EXPECT_TRUE(text.contains('`' + name + '`')) << name.toStdString();
    }
    EXPECT_EQ(found, 20) << help.out.toStdString();
    // The synopsis and each command's line are the table's, as roff.
    EXPECT_TRUE(man.contains(".SH SYNOPSIS\n" + cli::manSynopsis().toUtf8() + '\n'))
        << cli::manSynopsis().toStdString();
    for (const cli::Command& c : cli::commands())
        EXPECT_TRUE(man.contains(".TP\n" + cli::manUsage(c).toUtf8() + '\n'))
            << cli::manUsage(c).toStdString();
}

// The table of commands names each command with the function that runs it:
// every command, run once on a vault and a data folder of its own, does
// what only its own function does. A command added to the table needs a
// row here, and one wired to another command's function fails its row.
TEST_F(Cli, EveryCommandRunsItsOwnFunction) {
    const auto literal = [](const QByteArray& text) {
        return QRegularExpression::escape(QString::fromUtf8(text));
    };
    const QByteArray twoEntries = vaultformat::savedFile(kMaster, std::vector<Entry>{kMe, kBob});
    const QString other = path(QStringLiteral("home/other.enc"));
    const QString imported = path(QStringLiteral("home/imported.csv"));
    for (const auto& [file, bytes] : std::map<QString, QByteArray>{
             {other, vaultformat::savedFile(kMaster, std::vector<Entry>{kMe, kBob, kZoe})},
             {imported, "username,password,location\nzed,zeds secret,z.example\n"}}) {
        QFile f(file);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    }
    // git's three files: the base and ours hold two entries, theirs a third.
    const QStringList gitFiles = {path(QStringLiteral("home/base.enc")),
                                  path(QStringLiteral("home/ours.enc")),
                                  path(QStringLiteral("home/theirs.enc"))};
    for (const QString& file : gitFiles) {
        QFile f(file);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(file == gitFiles.last()
                    ? vaultformat::savedFile(kMaster, std::vector<Entry>{kMe, kBob, kZoe})
                    : twoEntries);
    }

    struct Row {
        QString command;
        QStringList args;  // after the command
        QStringList input; // after the master password
        bool sealed;       // the vault sealed first
        int status;
        QString out;    // a pattern the whole standard output matches
        QByteArray err; // contained in standard error; none when empty
    };
    const std::vector<Row> rows = {
        {QStringLiteral("init"),
         {},
         {},
         false,
         1,
         {},
         "a master password already; change it with `keynook-cli passwd`"},
        {QStringLiteral("list"),
         {QStringLiteral("--format=tsv")},
         {},
         false,
         0,
         literal("username\tpassword\tlocation\nme\t********\texample.org\n"
                 "bob\t********\tmail.example.org\n"),
         {}},
        {QStringLiteral("show"),
         {QStringLiteral("bob"), QStringLiteral("--format=tsv")},
         {},
         false,
         0,
         literal("username\tpassword\tlocation\nbob\t********\tmail.example.org\n"),
         {}},
        {QStringLiteral("get"),
         {QStringLiteral("bob")},
         {},
         false,
         0,
         literal("bobs secret\n"),
         {}},
        // No display is given to the test's programs, and only clip wants one.
        {QStringLiteral("clip"),
         {QStringLiteral("bob")},
         {},
         false,
         1,
         {},
         "nothing was put on the clipboard: there is no display"},
        {QStringLiteral("add"),
         {QStringLiteral("--username=zed")},
         {QStringLiteral("zeds secret")},
         false,
         0,
         {},
         "Added zed (no location). The vault holds 3 entries."},
        {QStringLiteral("edit"),
         {QStringLiteral("bob"), QStringLiteral("--location=new.example")},
         {},
         false,
         0,
         {},
         "Changed bob at new.example."},
        {QStringLiteral("remove"),
         {QStringLiteral("bob"), QStringLiteral("--yes")},
         {},
         false,
         0,
         {},
         "Removed bob at mail.example.org. The vault holds 1 entry."},
        {QStringLiteral("generate"),
         {QStringLiteral("--characters=ab"), QStringLiteral("--length=6")},
         {},
         false,
         0,
         QStringLiteral("[ab]{6}\n"),
         "Generated 6 characters"},
        {QStringLiteral("passwd"),
         {},
         {QStringLiteral("battery staple 10")},
         false,
         0,
         {},
         "Changed the master password."},
        {QStringLiteral("seal"), {}, {}, true, 1, {}, "is sealed already; nothing was changed"},
        {QStringLiteral("unseal"), {}, {}, false, 1, {}, "is not sealed; nothing was changed"},
        {QStringLiteral("check"),
         {},
         {},
         false,
         0,
         literal("Vault: " + path(QStringLiteral("each/check/data.enc")).toUtf8() +
                 "\nSealed: no\nEntries: 2\n") +
             QStringLiteral("(?s).*"),
         {}},
        {QStringLiteral("export"),
         {QStringLiteral("-")},
         {},
         false,
         0,
         literal(interchange::exportCsv(std::vector<Entry>{kMe, kBob}).bytes),
         "Exported 2 entries as CSV in the keynook layout."},
        {QStringLiteral("import"),
         {imported, QStringLiteral("--dry-run")},
         {},
         false,
         0,
         {},
         "Would import 1 entry from"},
        {QStringLiteral("merge"), {other}, {}, false, 0, {}, "1 entry added from it."},
        {QStringLiteral("git-merge"),
         gitFiles,
         {},
         false,
         0,
         {},
         "Merged the other branch's vault: 1 entry added from it."},
        {QStringLiteral("backups"),
         {},
         {},
         false,
         0,
         {},
         "This computer has kept nothing of the vault at"},
        {QStringLiteral("restore"),
         {QStringLiteral("1"), QStringLiteral("--yes")},
         {},
         false,
         1,
         {},
         "there is no number 1: `keynook-cli backups` lists nothing to restore"},
        {QStringLiteral("completion"),
         {QStringLiteral("bash")},
         {},
         false,
         0,
         QStringLiteral("(?s)# bash completion for keynook-cli: .*\n"
                        "complete -F _keynook_cli keynook-cli\n"),
         {}},
    };

    QStringList inTable;
    for (const cli::Command& c : cli::commands())
        inTable << c.name;
    QStringList withRows;
    for (const Row& row : rows)
        withRows << row.command;
    EXPECT_EQ(withRows, inTable) << "each command of the table needs a row, in the table's order";

    m_env.remove(QStringLiteral("DISPLAY"));
    m_env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    for (const Row& row : rows) {
        SCOPED_TRACE(row.command.toStdString());
        const QString folder = path(QStringLiteral("each/") + row.command);
        ASSERT_TRUE(QDir().mkpath(folder + QStringLiteral("/data")));
        m_vault = folder + QStringLiteral("/data.enc");
        m_env.insert(QStringLiteral("XDG_DATA_HOME"), folder + QStringLiteral("/data"));
        writeVault(twoEntries);
        if (row.sealed)
            sealCheaply();
        const Ran r = withMaster(QStringList{row.command} + row.args, row.input);
        EXPECT_EQ(r.status, row.status) << r.err.toStdString();
        EXPECT_TRUE(QRegularExpression(QRegularExpression::anchoredPattern(row.out))
                        .match(QString::fromUtf8(r.out))
                        .hasMatch())
            << r.out.toStdString();
        if (row.err.isEmpty())
            EXPECT_EQ(r.err, QByteArray());
        else
            EXPECT_TRUE(r.err.contains(row.err)) << r.err.toStdString();
    }
}

// Mistakes are refused with status 1, a message, and the vault untouched.
// A file given as the vault that is plainly another kind of file is named
// for what it is, not refused for a wrong master password or as a vault
// with one already; it is left as it was. A vault with a wrong password
// is still told so.
TEST_F(Cli, AFileThatIsNoVaultIsNamed) {
    struct Case {
        QByteArray file;
        QByteArray err;
    };
    const std::vector<Case> cases = {
        {"name,url,username,password\r\nmail,https://mail.example,ann,pw\r\n",
         "is not a Keynook vault: it is CSV in the chrome layout; `keynook-cli import`"},
        {"<?xml version=\"1.0\"?>\n<KeePassFile><Root><Group><Name>R</Name></Group></Root>"
         "</KeePassFile>\n",
         "is not a Keynook vault: it is KeePass XML;"},
        {QByteArray("\x03\xD9\xA2\x9A\x67\xFB\x4B\xB5\x01\x00\x04\x00", 12),
         "is not a Keynook vault: it is a KeePass database"},
        {QByteArray(300, '\x7f'), "is not a Keynook vault: its first line does not end"},
        {vaultformat::savedFile(QStringLiteral("another master"), {kMe}), "wrong master password"},
    };
    for (const Case& c : cases) {
        for (const QString& command : {QStringLiteral("list"), QStringLiteral("init")}) {
            SCOPED_TRACE((command + QLatin1Char(' ') + QString::fromLatin1(c.err)).toStdString());
            writeVault(c.file);
            const Ran r = withMaster({command}, {kMaster});
            EXPECT_EQ(r.status, 1);
            const bool vault = c.err == "wrong master password";
            // init on a vault says it has a master password already.
            EXPECT_TRUE(r.err.contains(vault && command == QLatin1String("init")
                                           ? QByteArray("a master password already")
                                           : c.err))
                << r.err.toStdString();
            EXPECT_EQ(vaultBytes(), c.file);
        }
    }
}

TEST_F(Cli, ErrorTable) {
    enum Start { Missing, NeverUsed, Two, Lost, NoFolder, FromEnvironment };
    struct Case {
        Start start;
        QStringList args;
        QByteArray input;
        int status;
        QByteArray err;
    };
    const QByteArray master = lines({kMaster});
    const QString stdinFlag = QStringLiteral("--password-stdin");
    // Files to import, in the folder the program runs in.
    const auto write = [this](const char* name, const QByteArray& bytes) {
        QFile f(path(QStringLiteral("home/") + QLatin1String(name)));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    };
    write("list.xml", "<?xml version=\"1.0\"?>\n<list/>\n");
    write("history.xml", "<KeePassFile><Root><Group><Entry><String><Key>UserName</Key><Value>a"
                         "</Value></String><History><Entry/></History></Entry></Group></Root>"
                         "</KeePassFile>");
    write("vault.json", "{\"encrypted\": true, \"passwordProtected\": true, \"data\": \"x\"}");
    write("notes.csv", "folder,favorite,type,name,notes,fields,reprompt,login_uri,login_username,"
                       "login_password,login_totp\n,,login,x,a note,,0,x.example,x,y,\n"
                       ",,note,n,text,,0,,,,\n");
    write("empty.enc", "");
    const auto importing = [&](const QString& file, const QString& option = {}) {
        QStringList args = {stdinFlag, QStringLiteral("import"), file};
        if (!option.isEmpty())
            args << option;
        return args;
    };
    // OURS is the vault itself: a refusal leaves it as it was.
    const auto gitMerge = [&](const QString& theirs) {
        return QStringList{QStringLiteral("git-merge"), m_vault, m_vault, theirs};
    };
    const std::vector<Case> cases = {
        {Two, {stdinFlag, QStringLiteral("list")}, "wrong\n", 1, "wrong master password"},
        {Two,
         {stdinFlag, QStringLiteral("list")},
         "",
         1,
         "standard input ended before the master password"},
        {Two,
         {stdinFlag, QStringLiteral("get"), QStringLiteral("nothing"), QStringLiteral("--field"),
          QStringLiteral("username")},
         master,
         1,
         "no entry's username or location contains \"nothing\""},
        {Two,
         {stdinFlag, QStringLiteral("remove"), QStringLiteral("me"), QStringLiteral("--yes"),
          QStringLiteral("--exact")},
         master,
         0,
         "Removed me at example.org"},
        {Two,
         {stdinFlag, QStringLiteral("edit"), QStringLiteral("example"),
          QStringLiteral("--username=x")},
         master,
         1,
         "2 entries match \"example\""},
        {Two, {QStringLiteral("list")}, master, 1, "there is no terminal"},
        {Two, {stdinFlag, QStringLiteral("remove"), QStringLiteral("me")}, master, 1, "add --yes"},
        {Two,
         {stdinFlag, QStringLiteral("add"), QStringLiteral("--username=x")},
         master,
         1,
         "standard input ended before the entry's password (line 2)"},
        {Two,
         {stdinFlag, QStringLiteral("add"), QStringLiteral("--username=x")},
         lines({kMaster, {}}),
         1,
         "you must enter a password"},
        {Two,
         {stdinFlag, QStringLiteral("add"), QStringLiteral("--location=x")},
         master,
         1,
         "you must enter a username"},
        {Two,
         {stdinFlag, QStringLiteral("edit"), QStringLiteral("me")},
         master,
         1,
         "nothing to change"},
        {Two,
         {stdinFlag, QStringLiteral("passwd")},
         lines({kMaster, QStringLiteral("abc")}),
         1,
         "at least 4 characters"},
        {Two,
         {stdinFlag, QStringLiteral("add"), QStringLiteral("--username=x")},
         master + "bad \xff utf-8\n",
         1,
         "line 2 of standard input is not UTF-8 text"},
        {Two,
         {stdinFlag, QStringLiteral("init")},
         lines({QStringLiteral("another one")}),
         1,
         "has a master password already"},
        {Two, {}, master, 1, "Usage: keynook-cli [--vault PATH] [--password-stdin] COMMAND"},
        {Two, {stdinFlag, QStringLiteral("import")}, master, 1, "import needs one file to import"},
        {Two,
         {stdinFlag, QStringLiteral("import"), QStringLiteral("-")},
         master,
         1,
         "import - reads"},
        {Two,
         {QStringLiteral("export"), QStringLiteral("a"), QStringLiteral("b")},
         {},
         1,
         "takes at most one file"},
        {Two,
         {stdinFlag, QStringLiteral("passwd")},
         lines({kMaster, kMaster}),
         1,
         "the one the vault has already"},
        {NoFolder, {stdinFlag, QStringLiteral("init")}, master, 1, "there is no folder "},
        {FromEnvironment,
         {stdinFlag, QStringLiteral("remove"), QStringLiteral("me"), QStringLiteral("--yes")},
         master,
         0,
         "Removed me"},
        {Two,
         {QStringLiteral("generate"), QStringLiteral("--separator=+")},
         {},
         1,
         "--separator goes with --words"},
        {Two,
         {QStringLiteral("add"), QStringLiteral("--username=x"), QStringLiteral("--no-symbols")},
         {},
         1,
         "--no-symbols goes with --generate or --words"},
        {Two,
         {QStringLiteral("generate"), QStringLiteral("--words=2"), QStringLiteral("--length=8")},
         {},
         1,
         "are one or the other"},
        {Two,
         {QStringLiteral("generate"), QStringLiteral("--length"), QStringLiteral("3")},
         {},
         1,
         "from 4 to 1024"},
        {Two,
         {stdinFlag, QStringLiteral("import"), QStringLiteral("nowhere.csv")},
         master,
         1,
         "nowhere.csv could not be read"},
        {Two, importing(QStringLiteral("/dev/zero")), master, 1, "not read past that"},
        {Two, importing(QStringLiteral("list.xml")), master, 1, "this is XML, but not KeePass"},
        {Two, importing(QStringLiteral("notes.csv"), QStringLiteral("--format=xml")), master, 1,
         "line 1: not well-formed XML"},
        {Two, importing(QStringLiteral("history.xml"), QStringLiteral("--strict")), master, 1,
         "does not keep: 1 older version of an entry (its history)"},
        {Two, importing(QStringLiteral("vault.json")), master, 1,
         "password-protected Bitwarden encrypted export"},
        {Two, importing(QStringLiteral("list.xml"), QStringLiteral("--format=yaml")), master, 1,
         "--format takes auto, csv, json, xml or bitwarden"},
        {Two,
         {stdinFlag, QStringLiteral("export"), QStringLiteral("x.xml"),
          QStringLiteral("--layout=chrome")},
         master,
         1,
         "--layout names CSV columns; KeePass XML has one layout"},
        {Two, importing(QStringLiteral("notes.csv"), QStringLiteral("--strict")), master, 1,
         "with --strict nothing may be left out, and the file holds what Keynook does not keep: "
         "1 title, 1 note, 1 secure note"},
        {Two,
         {stdinFlag, QStringLiteral("export"), QStringLiteral("--format=json"),
          QStringLiteral("--spreadsheet-safe")},
         master,
         1,
         "--spreadsheet-safe guards CSV cells"},
        {Two, {stdinFlag, QStringLiteral("seal")}, "wrong\n", 1, "wrong master password"},
        // git's conflict stays when THEIRS is no vault (status 1): an empty
        // file, or one of notes.
        {Two, gitMerge(QStringLiteral("empty.enc")), {}, 1, "is not a vault Keynook wrote"},
        {Two, gitMerge(QStringLiteral("notes.csv")), {}, 1, "is not a vault Keynook wrote"},
        {Two, {stdinFlag, QStringLiteral("unseal")}, master, 1, "is not sealed; nothing was"},
        {Two, {QStringLiteral("restore"), QStringLiteral("1")}, {}, 1, "add --yes"},
        {Two,
         {QStringLiteral("restore"), QStringLiteral("x"), QStringLiteral("--yes")},
         {},
         1,
         "takes the number of one backup"},
        {Two,
         {QStringLiteral("restore"), QStringLiteral("1"), QStringLiteral("--yes")},
         {},
         1,
         "there is no number 1: `keynook-cli backups` lists nothing to restore"},
        {Lost,
         {stdinFlag, QStringLiteral("list")},
         master,
         3,
         "data.enc is empty, but this computer last saw it with 2 entries"},
        {Lost,
         {stdinFlag, QStringLiteral("init")},
         lines({QStringLiteral("another one")}),
         3,
         "nothing was created or changed. `keynook-cli restore 1` puts back the vault"},
        {NeverUsed, {stdinFlag, QStringLiteral("list")}, master, 1, "keynook-cli init"},
        {NeverUsed, {stdinFlag, QStringLiteral("seal")}, master, 1, "keynook-cli init"},
        {Missing,
         {stdinFlag, QStringLiteral("show"), QStringLiteral("x")},
         master,
         1,
         "there is no vault at"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.join(QLatin1Char(' ')).toStdString());
        // Each row on a computer that has seen nothing of the vault yet.
        QDir(path(QStringLiteral("data"))).removeRecursively();
        QFile::remove(m_vault);
        if (c.start == NoFolder)
            QDir(path(QStringLiteral("vault"))).removeRecursively();
        else
            ASSERT_TRUE(QDir().mkpath(path(QStringLiteral("vault"))));
        if (c.start == NeverUsed)
            writeVault(QByteArray("\r\n"));
        else if (c.start == Two || c.start == Lost || c.start == FromEnvironment)
            writeVault(std::vector<Entry>{kMe, kBob});
        if (c.start == Lost) { // seen here with its entries, then emptied
            ASSERT_EQ(run({stdinFlag, QStringLiteral("list")}, master).status, 0);
            writeVault(QByteArray());
        }
        const QByteArray before = vaultBytes();
        // KEYNOOK_VAULT in place of --vault.
        if (c.start == FromEnvironment)
            m_env.insert(QStringLiteral("KEYNOOK_VAULT"), m_vault);
        const Ran r = run(c.args, c.input, c.start != FromEnvironment);
        m_env.remove(QStringLiteral("KEYNOOK_VAULT"));
        EXPECT_EQ(r.status, c.status) << r.err.toStdString();
        EXPECT_TRUE(r.err.contains(c.err)) << r.err.toStdString();
        EXPECT_TRUE(r.err.startsWith("keynook-cli: ") || r.err.startsWith("Usage: ") ||
                    c.status == 0)
            << r.err.toStdString();
        EXPECT_EQ(r.out, QByteArray());
        for (const QString& s : {kMaster, kMe.password, kBob.password})
            EXPECT_FALSE(r.err.contains(s.toUtf8()));
        if (c.status != 0)
            EXPECT_EQ(vaultBytes(), before);
        else
            EXPECT_EQ(vaultformat::readEntries(vaultBytes()), std::vector<Entry>{kBob});
    }
}

// A word the program does not understand may be a password typed in the
// wrong place: the message names where it stands and what is accepted there,
// and never repeats it. Refused before anything is asked, with status 1.
TEST_F(Cli, WordsNotUnderstoodAreNotRepeated) {
    writeVault(std::vector<Entry>{kMe});
    const QByteArray before = vaultBytes();
    const QString secret = QStringLiteral("hunter22secret");
    // The list of commands, from its first to its last.
    const QString commands = QStringLiteral(
        "init, list, show, get, clip, add, edit, remove, generate, passwd, seal, unseal, check, "
        "export, import, merge, git-merge, backups, restore and completion");
    const QString fields = QStringLiteral("username, password or location");
    const QString lengths = QStringLiteral("number of characters from 4 to 1024");
    // run() puts --vault=... first: the words typed here start at the 2nd.
    const struct {
        QStringList args;
        QStringList expected; // each contained in the message
    } cases[] = {
        {{secret}, {QStringLiteral("the 2nd argument is not a command"), commands}},
        {{QStringLiteral("--password-stdin"), QStringLiteral("--") + secret},
         {QStringLiteral("the 3rd argument is not an option"),
          QStringLiteral("--vault, --password-stdin, --help and --version")}},
        {{QStringLiteral("-") + secret + QStringLiteral("=x"), QStringLiteral("list")},
         {QStringLiteral("the 2nd argument is not an option")}},
        {{QStringLiteral("--") + secret}, {QStringLiteral("the 2nd argument is not an option")}},
        {{QStringLiteral("list"), QStringLiteral("--") + secret},
         {QStringLiteral("the 3rd argument is not an option of list"),
          QStringLiteral("--reverse, --show-passwords, --sort, --format, --vault, "
                         "--password-stdin and --help")}},
        {{QStringLiteral("init"), QStringLiteral("--") + secret + QStringLiteral("=1")},
         {QStringLiteral("not an option of init"),
          QStringLiteral("--vault, --password-stdin and --help")}},
        // A known option of another command, with a password for its value.
        {{QStringLiteral("add"), QStringLiteral("--username=x"),
          QStringLiteral("--password=") + secret},
         {QStringLiteral("the 4th argument is not an option of add")}},
        {{QStringLiteral("edit"), QStringLiteral("me"), QStringLiteral("--exact"),
          QStringLiteral("--username"), QStringLiteral("u"), QStringLiteral("--location"),
          QStringLiteral("l"), QStringLiteral("--generate"), QStringLiteral("8"),
          QStringLiteral("--") + secret},
         {QStringLiteral("the 11th argument is not an option of edit")}},
        {{QStringLiteral("list"), QStringLiteral("--reverse=") + secret},
         {QStringLiteral("--reverse takes no value")}},
        {{QStringLiteral("--password-stdin=") + secret, QStringLiteral("list")},
         {QStringLiteral("--password-stdin takes no value")}},
        {{QStringLiteral("list"), QStringLiteral("--format"), secret},
         {QStringLiteral("the value given to --format"), QStringLiteral("table, tsv or json")}},
        {{QStringLiteral("show"), QStringLiteral("me"), QStringLiteral("--format=") + secret},
         {QStringLiteral("the value given to --format"), QStringLiteral("table, tsv or json")}},
        {{QStringLiteral("list"), QStringLiteral("--sort=") + secret},
         {QStringLiteral("the value given to --sort"), fields}},
        {{QStringLiteral("get"), QStringLiteral("x"), QStringLiteral("--field"), secret},
         {QStringLiteral("the value given to --field"), fields}},
        {{QStringLiteral("add"), QStringLiteral("--username=x"), QStringLiteral("--generate"),
          secret},
         {QStringLiteral("the value given to --generate"), lengths}},
        {{QStringLiteral("edit"), QStringLiteral("me"), QStringLiteral("--generate=") + secret},
         {QStringLiteral("the value given to --generate"), lengths}},
        {{QStringLiteral("generate"), QStringLiteral("--length"), secret},
         {QStringLiteral("the value given to --length"), lengths}},
        {{QStringLiteral("export"), QStringLiteral("--format=") + secret},
         {QStringLiteral("the value given to --format"), QStringLiteral("csv, json or xml")}},
        {{QStringLiteral("export"), QStringLiteral("--layout"), secret},
         {QStringLiteral("the value given to --layout"),
          QStringLiteral("keynook, chrome, firefox, keepassxc, bitwarden, lastpass or "
                         "1password")}},
        {{QStringLiteral("import"), QStringLiteral("in.csv"), QStringLiteral("--format"), secret},
         {QStringLiteral("the value given to --format"),
          QStringLiteral("auto, csv, json, xml or bitwarden")}},
        {{QStringLiteral("add"), secret}, {QStringLiteral("add takes no text, only options")}},
        {{QStringLiteral("generate"), QStringLiteral("--words"), secret},
         {QStringLiteral("--words is not a number of words from 1 to 64")}},
        {{QStringLiteral("generate"), QStringLiteral("--classes=") + secret},
         {QStringLiteral("--classes takes upper, lower, digits and symbols")}},
        {{QStringLiteral("clip"), QStringLiteral("me"), QStringLiteral("--timeout"), secret},
         {QStringLiteral("--timeout is not a number of seconds from 0 to 86400")}},
        {{QStringLiteral("completion"), secret},
         {QStringLiteral("completion takes the name of one shell: bash, zsh or fish")}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.join(QLatin1Char(' ')).toStdString());
        const Ran r = run(c.args);
        EXPECT_EQ(r.status, 1) << r.err.toStdString();
        EXPECT_TRUE(r.err.startsWith("keynook-cli: ")) << r.err.toStdString();
        for (const QString& part : c.expected)
            EXPECT_TRUE(r.err.contains(part.toUtf8())) << r.err.toStdString();
        EXPECT_FALSE(r.err.contains(secret.toUtf8())) << r.err.toStdString();
        EXPECT_FALSE(r.out.contains(secret.toUtf8())) << r.out.toStdString();
    }
    EXPECT_EQ(vaultBytes(), before);
}

// The right password does not open a sealed vault whose key header was
// rewritten (its unkeyed checksum made right): without the key that cannot
// be told from a wrong password, so a sealed vault's message says both. A
// plain vault's wrong password is only that.
TEST_F(Cli, AWrongPasswordOnASealedVaultMayBeARewrittenHeader) {
    const QByteArray sealedMessage =
        "the password does not open this sealed vault, either because it is not the vault's "
        "master password or because the file's key header was changed; nothing was read or "
        "changed";
    const QByteArray plainMessage = "wrong master password; nothing was read or changed";
    const struct {
        bool sealed;
        bool saltRewritten;
        QString master;
        QByteArray message;
    } cases[] = {
        {true, true, kMaster, sealedMessage},
        {true, false, QStringLiteral("wrong"), sealedMessage},
        {false, false, QStringLiteral("wrong"), plainMessage},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message()
                     << "sealed " << c.sealed << ", salt rewritten " << c.saltRewritten);
        writeVault(std::vector<Entry>{kMe});
        if (c.sealed)
            sealCheaply();
        if (c.saltRewritten)
            writeVault(testsupport::forged(vaultBytes(), sealed::kSaltAt,
                                           QByteArray(sealed::kSaltSize, 'S')));
        const QByteArray before = vaultBytes();
        const Ran r = withMaster({QStringLiteral("list")}, {}, c.master);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "keynook-cli: " + c.message + "\n");
        EXPECT_EQ(r.out, QByteArray());
        EXPECT_EQ(vaultBytes(), before);
    }
}

// Another Keynook holding the vault: status 2, nothing read or written. A
// lock left by a killed process does not count.
TEST_F(Cli, Lock) {
    writeVault(std::vector<Entry>{kMe});
    const QByteArray before = vaultBytes();
    {
        VaultSession window(m_vault); // takes the lock as the window does
        ASSERT_TRUE(window.open().ok());
        for (const QStringList& args :
             {QStringList{QStringLiteral("list")},
              QStringList{QStringLiteral("add"), QStringLiteral("--username=x")},
              QStringList{QStringLiteral("seal")}, QStringList{QStringLiteral("unseal")},
              QStringList{QStringLiteral("restore"), QStringLiteral("1"),
                          QStringLiteral("--yes")}}) {
            const Ran r = withMaster(args, {QStringLiteral("pw")});
            EXPECT_EQ(r.status, 2);
            EXPECT_TRUE(r.err.contains("open in another Keynook")) << r.err.toStdString();
        }
    }
    // A first run waits for its master password, holding the lock...
    QProcess holder;
    holder.setProcessEnvironment(m_env);
    holder.setChildProcessModifier([] { ::setsid(); });
    holder.start(QStringLiteral(KEYNOOK_CLI),
                 {QStringLiteral("--vault"), m_vault, QStringLiteral("--password-stdin"),
                  QStringLiteral("list")});
    ASSERT_TRUE(holder.waitForStarted(30000));
    const QString lockFile = CliFolder::lockFile();
    QElapsedTimer waited;
    waited.start();
    while (QFileInfo(lockFile).size() == 0 && waited.elapsed() < 30000)
        QThread::msleep(20); // polls a real condition: the lock is written
    ASSERT_GT(QFileInfo(lockFile).size(), 0);
    // ...so a second one is turned away, told which program holds it...
    const Ran turnedAway = withMaster({QStringLiteral("list")});
    EXPECT_EQ(turnedAway.status, 2);
    EXPECT_TRUE(turnedAway.err.contains(
        QStringLiteral("keynook-cli, process %1").arg(holder.processId()).toUtf8()))
        << turnedAway.err.toStdString();
    // ...until the first is killed, leaving its lock behind.
    ::kill(static_cast<pid_t>(holder.processId()), SIGKILL);
    ASSERT_TRUE(holder.waitForFinished(30000));
    ASSERT_TRUE(QFileInfo::exists(lockFile));
    const Ran after = withMaster(
        {QStringLiteral("get"), QStringLiteral("me"), QStringLiteral("--field=location")});
    EXPECT_EQ(after.status, 0) << after.err.toStdString();
    EXPECT_EQ(after.out, "example.org\n");
    EXPECT_EQ(vaultBytes(), before);
}

// A lock file that no running program holds is stale, whatever it holds: a
// program killed at its first write leaves it empty.
TEST_F(Cli, LockThatNobodyHoldsIsTakenOver) {
    writeVault(std::vector<Entry>{kMe});
    const QString lockFile = CliFolder::lockFile();
    ASSERT_TRUE(QDir().mkpath(QFileInfo(lockFile).absolutePath()));
    for (const QByteArray& left : {QByteArray(), QByteArray("4242\nkeyn"), QByteArray("{}\n")}) {
        QFile lock(lockFile);
        ASSERT_TRUE(lock.open(QIODevice::WriteOnly));
        lock.write(left);
        lock.close();
        const Ran r = withMaster(
            {QStringLiteral("add"), QStringLiteral("--username=u") + QString::number(left.size())},
            {QStringLiteral("pw")});
        EXPECT_EQ(r.status, 0) << left.toStdString() << ": " << r.err.toStdString();
        EXPECT_FALSE(QFileInfo::exists(lockFile)); // let go of when done
    }
    EXPECT_EQ(vaultformat::readEntries(vaultBytes()).size(), 4u);
}

// Writers reaching one vault file by its name, through a link to it and
// through a link to its folder share its one lock: every command that said
// it added an entry did, and the others were turned away by the lock.
TEST_F(Cli, WritersThroughEveryNameOfTheVaultShareOneLock) {
    writeVault(std::vector<Entry>{kMe});
    ASSERT_TRUE(QFile::link(m_vault, path(QStringLiteral("file-link.enc"))));
    ASSERT_TRUE(QFile::link(path(QStringLiteral("vault")), path(QStringLiteral("folder-link"))));
    const QStringList names{m_vault, path(QStringLiteral("file-link.enc")),
                            path(QStringLiteral("folder-link/data.enc"))};
    constexpr int kEach = 25;
    std::atomic<int> added{0};
    std::vector<std::thread> writers;
    for (const QString& name : names)
        writers.emplace_back([&, name] {
            for (int i = 0; i < kEach; ++i) {
                const Ran r = run({QStringLiteral("--vault=") + name,
                                   QStringLiteral("--password-stdin"), QStringLiteral("add"),
                                   QStringLiteral("--username=%1-%2").arg(name).arg(i)},
                                  lines({kMaster, QStringLiteral("pw")}), false);
                if (r.status == 0 && r.err.startsWith("Added "))
                    ++added;
                else
                    EXPECT_EQ(r.status, 2) << r.err.toStdString();
            }
        });
    for (std::thread& w : writers)
        w.join();
    EXPECT_GT(added, 0);
    EXPECT_EQ(vaultformat::readEntries(vaultBytes()).size(), size_t(added + 1));
    EXPECT_EQ(QDir(path(QStringLiteral("vault")))
                  .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
              QStringList{QStringLiteral("data.enc")});
}

// Copies of the vault changed apart are merged into it in one save, in both
// forms, with a base given or chosen from what this computer saw: a sealed
// copy under the vault's key opens without a derivation. A copy whose master
// password differs is refused, and nothing is written.
TEST_F(Cli, MergeTakesOtherCopiesIntoTheVault) {
    for (const bool sealed : {false, true}) {
        SCOPED_TRACE(sealed ? "sealed" : "plain");
        writeVault(std::vector<Entry>{kMe, kBob});
        if (sealed)
            sealCheaply();
        const QString base = path(QStringLiteral("base.enc"));
        const QString copy = path(QStringLiteral("copy.enc"));
        const QString other = path(QStringLiteral("other.enc"));
        for (const QString& c : {base, copy, other}) {
            QFile::remove(c);
            ASSERT_TRUE(QFile::copy(m_vault, c));
        }
        const auto on = [&](const QString& vault, QStringList args, QStringList more) {
            args.prepend(QStringLiteral("--vault=") + vault);
            args.prepend(QStringLiteral("--password-stdin"));
            more.prepend(kMaster);
            return run(args, lines(more), false);
        };
        ASSERT_EQ(on(copy, {QStringLiteral("add"), QStringLiteral("--username=fromcopy")},
                     {QStringLiteral("pw")})
                      .status,
                  0);
        ASSERT_EQ(on(other, {QStringLiteral("passwd")}, {QStringLiteral("another one")}).status, 0);
        ASSERT_EQ(
            withMaster({QStringLiteral("remove"), QStringLiteral("bob"), QStringLiteral("--yes")})
                .status,
            0);

        // The plain vault is given its base; the sealed one finds it among
        // the states this computer saw (the vault before bob was removed).
        const Ran r = withMaster(
            sealed ? QStringList{QStringLiteral("merge"), copy}
                   : QStringList{QStringLiteral("merge"), copy, QStringLiteral("--base"), base});
        EXPECT_EQ(r.status, 0) << r.err.toStdString();
        EXPECT_TRUE(r.err.contains("1 entry added from it")) << r.err.toStdString();
        EXPECT_EQ(sealedvault::isSealed(vaultBytes()), sealed);
        const Ran listed = withMaster({QStringLiteral("list"), QStringLiteral("--format=tsv")});
        EXPECT_EQ(listed.out.count('\n'), 3) << listed.out.toStdString(); // header, me, fromcopy
        EXPECT_TRUE(listed.out.contains("fromcopy"));
        EXPECT_FALSE(listed.out.contains("bob"));

        // The other copy's new master password: it does not open a sealed
        // copy; a plain one's is refused once the vault's changed too.
        const QString master = sealed ? kMaster : QStringLiteral("third one");
        if (!sealed) {
            ASSERT_EQ(withMaster({QStringLiteral("passwd")}, {master}).status, 0);
        }
        const QByteArray before = vaultBytes();
        const Ran refused = withMaster({QStringLiteral("merge"), other}, {}, master);
        EXPECT_EQ(refused.status, 1);
        EXPECT_TRUE(refused.err.contains(sealed ? "the master password does not open it"
                                                : "each hold another master password"))
            << refused.err.toStdString();
        EXPECT_EQ(vaultBytes(), before);
    }
}

// A conflict copy a sync engine left beside the vault (the other computer's
// version) is merged when the vault is opened, keeping this computer's
// change too, and moves to the backups in the data folder. The sealed one's
// name holds a newline and ESC, which are told escaped.
TEST_F(Cli, ConflictCopiesAreMergedWhenTheVaultOpens) {
    for (const bool sealed : {false, true}) {
        SCOPED_TRACE(sealed ? "sealed" : "plain");
        const QString name =
            sealed ? QStringLiteral("data (Ann\n\x1b[2J's conflicted copy 2026-12-08).enc")
                   : QStringLiteral("data.sync-conflict-20261207-185610-GPGRADF.enc");
        writeVault(std::vector<Entry>{kMe, kBob});
        if (sealed)
            sealCheaply();
        ASSERT_EQ(withMaster({QStringLiteral("list")}).status, 0); // seen here
        // The other computer's version, which the engine then renames beside
        // the vault.
        const QString other = path(QStringLiteral("other.enc"));
        const QString copy = path(QStringLiteral("vault/") + name);
        ASSERT_TRUE(QFile::copy(m_vault, other));
        const QStringList there{QStringLiteral("--password-stdin"),
                                QStringLiteral("--vault=") + other, QStringLiteral("add"),
                                QStringLiteral("--username=there")};
        ASSERT_EQ(run(there, lines({kMaster, QStringLiteral("pw")}), false).status, 0);
        ASSERT_EQ(withMaster({QStringLiteral("add"), QStringLiteral("--username=here")},
                             {QStringLiteral("pw")})
                      .status,
                  0);
        ASSERT_TRUE(QFile::rename(other, copy));
        const QByteArray mine = vaultBytes();

        const Ran r = withMaster({QStringLiteral("list"), QStringLiteral("--format=tsv")});
        EXPECT_EQ(r.status, 0) << r.err.toStdString();
        EXPECT_TRUE(r.err.contains(sealed ? "Merged the Dropbox conflict copy"
                                          : "Merged the Syncthing conflict copy"))
            << r.err.toStdString();
        EXPECT_EQ(r.err.contains("Ann\\n\\x1b[2J's"), sealed);
        EXPECT_FALSE(r.err.contains('\x1b'));
        for (const char* user : {"me", "bob", "here", "there"})
            EXPECT_TRUE(r.out.contains(QByteArray("\n") + user + '\t')) << user;
        EXPECT_FALSE(QFileInfo::exists(copy));
        EXPECT_EQ(sealedvault::isSealed(vaultBytes()), sealed);
        QDirIterator backups(
            path(QStringLiteral("data")),
            {sealed ? QStringLiteral("*2026-12-08).enc") : QStringLiteral("*GPGRADF.enc")},
            QDir::Files, QDirIterator::Subdirectories);
        EXPECT_TRUE(backups.hasNext());
        // The vault as it was before the merge, too.
        QDirIterator before(path(QStringLiteral("data")), {QStringLiteral("*-copies.backup")},
                            QDir::Files, QDirIterator::Subdirectories);
        ASSERT_TRUE(before.hasNext());
        QFile kept(before.next());
        ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
        EXPECT_EQ(kept.readAll(), mine);
        QDir(path(QStringLiteral("data"))).removeRecursively();
    }
}

// Everything under `folder`, and the bytes of each file.
std::map<QString, QByteArray> filesIn(const QString& folder) {
    std::map<QString, QByteArray> all;
    QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        all[path] = QFileInfo(path).isDir() ? QByteArray() : testsupport::fileBytes(path);
    }
    return all;
}

// Every command that rewrites the vault other than through its entries keeps
// the file as it was among the backups first, with the reason (those before
// sealing sealed since). `backups` lists them newest first with their entries
// (a sealed one's counted with the master password), and `restore` puts one
// back exactly, in either form, keeping the vault it replaces, so that a
// restore is undone the same way. A file that is no vault is refused.
// Everything kept is the user's alone, and a history that is not is not used.
TEST_F(Cli, BackupsAndRestoreRoundTrip) {
    writeVault(std::vector<Entry>{kMe, kBob});
    const QString newMaster = QStringLiteral("battery staple 10");
    const QString csv = path(QStringLiteral("home/in.csv"));
    QFile in(csv);
    ASSERT_TRUE(in.open(QIODevice::WriteOnly));
    in.write("username,password,location\r\nzoe,z,\r\n");
    in.close();
    const QString copy = path(QStringLiteral("copy.enc"));
    ASSERT_TRUE(QFile::copy(m_vault, copy));
    ASSERT_EQ(run({QStringLiteral("--password-stdin"), QStringLiteral("--vault=") + copy,
                   QStringLiteral("add"), QStringLiteral("--username=fromcopy")},
                  lines({kMaster, QStringLiteral("pw")}), false)
                  .status,
              0);
    const struct {
        QStringList args;
        QStringList input;
        QString master;
        QByteArray why;
        QString file;       // the backup's name ends so
        QByteArray entries; // the vault's before it
        bool sealedSince;   // the backup was in the plain form, and sealed with the vault
    } steps[] = {
        {{QStringLiteral("import"), csv},
         {},
         kMaster,
         "before import",
         "-import.backup",
         "2",
         false},
        {{QStringLiteral("merge"), copy}, {}, kMaster, "before merge", "-merge.backup", "3", false},
        {{QStringLiteral("seal")}, {}, kMaster, "before seal", "-seal.backup", "4", true},
        {{QStringLiteral("unseal")}, {}, kMaster, "before unseal", "-unseal.backup", "4", false},
        {{QStringLiteral("passwd")},
         {newMaster},
         kMaster,
         "before password change",
         "-password.backup",
         "4",
         false},
    };
    std::vector<QByteArray> before;
    for (const auto& step : steps) {
        before.push_back(vaultBytes());
        const Ran r = withMaster(step.args, step.input, step.master);
        ASSERT_EQ(r.status, 0) << r.err.toStdString();
        QDirIterator kept(path(QStringLiteral("data")), {QLatin1Char('*') + step.file}, QDir::Files,
                          QDirIterator::Subdirectories);
        ASSERT_TRUE(kept.hasNext()) << step.file.toStdString();
        const QByteArray backup = testsupport::fileBytes(kept.next());
        EXPECT_EQ(step.sealedSince ? opened(backup, kMaster) : backup, before.back())
            << step.file.toStdString();
    }
    const QByteArray last = vaultBytes();
    const Ran listed = withMaster({QStringLiteral("backups")}, {}, kMaster);
    ASSERT_EQ(listed.status, 0) << listed.err.toStdString();
    // Every state equals a backup: each content once, under its reason.
    QList<QByteArray> rows = listed.out.split('\n');
    ASSERT_EQ(rows.size(), 7) << listed.out.toStdString(); // a header, five, the last line's end
    for (int n = 1; n <= 5; ++n) {
        const auto& step = steps[5 - n];
        EXPECT_TRUE(rows[n].startsWith(QByteArray::number(n) + "  ")) << rows[n].toStdString();
        EXPECT_TRUE(rows[n].contains("  " + step.why + "  ")) << rows[n].toStdString();
        EXPECT_TRUE(rows[n].endsWith("  " + step.entries)) << rows[n].toStdString();
    }

    auto restore = [&](int number) {
        return run({QStringLiteral("restore"), QString::number(number), QStringLiteral("--yes")});
    };
    // The sealed vault before unsealing, exactly; then back, exactly.
    Ran r = restore(2);
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains("it is sealed, as it was then. `keynook-cli restore 1` puts back"))
        << r.err.toStdString();
    EXPECT_EQ(vaultBytes(), before[3]);
    EXPECT_TRUE(run({QStringLiteral("backups")}).out.split('\n')[1].contains("  before restore  "));
    ASSERT_EQ(restore(1).status, 0);
    EXPECT_EQ(vaultBytes(), last);
    // The vault before the import, sealed since, as the vault was.
    const Ran again = run({QStringLiteral("backups")});
    rows = again.out.split('\n');
    const auto imported = std::find_if(rows.begin(), rows.end(), [](const QByteArray& row) {
        return row.contains("before import");
    });
    ASSERT_NE(imported, rows.end()) << again.out.toStdString();
    ASSERT_EQ(restore(int(imported - rows.begin())).status, 0);
    const QByteArray restored = vaultBytes();
    EXPECT_EQ(opened(restored, kMaster), before[0]);
    expectOwnerOnly(path(QStringLiteral("data/Keynook")));

    // A file that is no vault is refused, and changes nothing.
    QDirIterator kept(path(QStringLiteral("data")), {QStringLiteral("*.backup")}, QDir::Files,
                      QDirIterator::Subdirectories);
    ASSERT_TRUE(kept.hasNext());
    QFile junk(QFileInfo(kept.next()).path() + QStringLiteral("/20000101-000000000-import.backup"));
    ASSERT_TRUE(junk.open(QIODevice::WriteOnly));
    junk.write("no vault at all\n");
    junk.flush();
    // The oldest of all, listed last.
    ASSERT_TRUE(junk.setFileTime(QDateTime(QDate(2000, 1, 1), QTime(0, 0)),
                                 QFileDevice::FileModificationTime));
    junk.close();
    rows = run({QStringLiteral("backups")}).out.split('\n');
    EXPECT_TRUE(rows[rows.size() - 2].endsWith("  not a vault")) << rows.join('\n').toStdString();
    const Ran refused = restore(int(rows.size() - 2));
    EXPECT_EQ(refused.status, 1);
    EXPECT_TRUE(refused.err.contains("is not a vault Keynook wrote")) << refused.err.toStdString();
    EXPECT_EQ(vaultBytes(), restored);

    // A history others can write to is not used: `backups` says why, and the
    // vault works without it, leaving it as it was.
    const QString history = QFileInfo(QFileInfo(junk.fileName()).path()).path();
    const std::map<QString, QByteArray> as = filesIn(history);
    ASSERT_EQ(::chmod(QFile::encodeName(history).constData(), 0770), 0);
    const Ran unused = run({QStringLiteral("backups")});
    EXPECT_EQ(unused.status, 0);
    EXPECT_EQ(unused.out, QByteArray());
    EXPECT_TRUE(unused.err.contains("is not used, so nothing is listed: other users can write to " +
                                    history.toUtf8()))
        << unused.err.toStdString();
    EXPECT_EQ(withMaster({QStringLiteral("add"), QStringLiteral("--username=late")},
                         {QStringLiteral("pw")})
                  .status,
              0);
    EXPECT_EQ(filesIn(history), as);
}

// A sealed vault put back by restore is a change made now: a copy that saw
// an entry removed before the restore does not take it away again when it
// is merged in afterwards.
TEST_F(Cli, ARestoreIsAChangeLikeAnyOther) {
    writeVault(std::vector<Entry>{kMe, kBob});
    sealCheaply();
    ASSERT_EQ(withMaster({QStringLiteral("add"), QStringLiteral("--username=gone")},
                         {QStringLiteral("pw")})
                  .status,
              0);
    ASSERT_EQ(
        withMaster({QStringLiteral("remove"), QStringLiteral("gone"), QStringLiteral("--yes")})
            .status,
        0);
    // Another computer's copy, which saw the removal.
    const QString other = path(QStringLiteral("other.enc"));
    ASSERT_TRUE(QFile::copy(m_vault, other));
    const QList<QByteArray> rows = withMaster({QStringLiteral("backups")}).out.split('\n');
    const auto three = std::find_if(rows.begin() + 1, rows.end(),
                                    [](const QByteArray& row) { return row.endsWith("  3"); });
    ASSERT_NE(three, rows.end()) << rows.join('\n').toStdString();
    ASSERT_EQ(run({QStringLiteral("restore"), QString::number(three - rows.begin()),
                   QStringLiteral("--yes")})
                  .status,
              0);
    const Ran merged = withMaster({QStringLiteral("merge"), other});
    ASSERT_EQ(merged.status, 0) << merged.err.toStdString();
    const Ran listed = withMaster({QStringLiteral("list"), QStringLiteral("--format=tsv")});
    EXPECT_TRUE(listed.out.contains("\ngone\t")) << listed.out.toStdString();
    // And once saved, the restore's new marks stay with the vault.
    const Ran again = withMaster({QStringLiteral("merge"), other});
    ASSERT_EQ(again.status, 0) << again.err.toStdString();
    EXPECT_TRUE(withMaster({QStringLiteral("list"), QStringLiteral("--format=tsv")})
                    .out.contains("\ngone\t"));
}

// Sealing leaves nothing of the vault in the plain form on this computer: the
// states and backups under its master password (a conflict copy's, an
// import's, the one sealing keeps) are sealed under its key in their places,
// keeping their times, and `backups` lists them with their entries; those
// under the master password before a change, and what a backup's write cut
// short left, are gone. The plain bytes are overwritten where they lay, as a
// second name of a sealed one and of a removed one shows. No file in the
// data folder holds a password in any form.
TEST_F(Cli, SealingLeavesNoPlainCopyInTheHistory) {
    const QString newMaster = QStringLiteral("battery staple 10");
    const QString imported = QStringLiteral("imported secret 5");
    const QString copied = QStringLiteral("copied secret 6");
    writeVault(std::vector<Entry>{kMe, kBob});
    ASSERT_EQ(withMaster({QStringLiteral("passwd")}, {newMaster}).status, 0);
    const QString csv = path(QStringLiteral("home/in.csv"));
    testsupport::writeBytes(csv,
                            "username,password,location\r\nzoe," + imported.toUtf8() + ",\r\n");
    ASSERT_EQ(withMaster({QStringLiteral("import"), csv}, {}, newMaster).status, 0);
    testsupport::writeBytes(
        path(QStringLiteral("vault/data.sync-conflict-20261207-120000-GPGRADF.enc")),
        vaultformat::savedFile(newMaster,
                               std::vector<Entry>{kMe, Entry{QStringLiteral("cat"), copied, {}}}));
    const Ran added =
        withMaster({QStringLiteral("add"), QStringLiteral("--username"), kZoe.username},
                   {kZoe.password}, newMaster);
    ASSERT_EQ(added.status, 0) << added.err.toStdString();
    ASSERT_TRUE(added.err.contains("Merged the Syncthing conflict copy"))
        << added.err.toStdString();
    QDirIterator kept(path(QStringLiteral("data")), {QStringLiteral("*-import.backup")},
                      QDir::Files, QDirIterator::Subdirectories);
    ASSERT_TRUE(kept.hasNext());
    const QString importBackup = kept.next();
    const QString backups = QFileInfo(importBackup).path();
    const QString history = QFileInfo(backups).path();
    testsupport::writeBytes(backups + QStringLiteral("/.20260101-000000000-merge.backup.new"),
                            vaultBytes());
    // The first state, read under the old master password, and the import's
    // backup, each with a second name outside the history.
    const QString first = history + QStringLiteral("/000000000001-r.enc");
    const QStringList secondNames = {path(QStringLiteral("home/first")),
                                     path(QStringLiteral("home/import"))};
    ASSERT_EQ(vaultformat::readMasterPassword(testsupport::fileBytes(first)), kMaster);
    ASSERT_EQ(
        ::link(QFile::encodeName(first).constData(), QFile::encodeName(secondNames[0]).constData()),
        0);
    ASSERT_EQ(::link(QFile::encodeName(importBackup).constData(),
                     QFile::encodeName(secondNames[1]).constData()),
              0);
    std::map<QString, QDateTime> times;
    // The states and backups keep their times; the stamp of the newest
    // state is rewritten with it.
    for (const auto& [file, bytes] : filesIn(history)) {
        if (!QFileInfo(file).isDir() && !file.endsWith(QStringLiteral("/newest.stamp")))
            times[file] = QFileInfo(file).lastModified();
    }

    const Ran sealing = withMaster({QStringLiteral("seal")}, {}, newMaster);
    ASSERT_EQ(sealing.status, 0) << sealing.err.toStdString();
    EXPECT_TRUE(sealing.err.contains("are sealed under the same key")) << sealing.err.toStdString();
    EXPECT_TRUE(sealing.err.contains("Overwrote and removed")) << sealing.err.toStdString();
    const QStringList secrets = {kMaster,       newMaster, kMe.password, kBob.password,
                                 kZoe.password, imported,  copied};
    int files = 0;
    for (const auto& [file, bytes] : filesIn(path(QStringLiteral("data")))) {
        EXPECT_EQ(testsupport::heldSecret(bytes, secrets), QString()) << file.toStdString();
        files += !QFileInfo(file).isDir();
    }
    EXPECT_GE(files, 8); // states and backups, the lock and the record's ids
    for (const QString& name : secondNames) {
        const QByteArray bytes = testsupport::fileBytes(name);
        EXPECT_EQ(bytes, QByteArray(bytes.size(), '\0')) << name.toStdString();
        EXPECT_GT(bytes.size(), 0);
    }
    for (const auto& [file, time] : times) {
        if (QFileInfo::exists(file)) {
            EXPECT_EQ(QFileInfo(file).lastModified(), time) << file.toStdString();
        }
    }
    const Ran listed = withMaster({QStringLiteral("backups")}, {}, newMaster);
    ASSERT_EQ(listed.status, 0) << listed.err.toStdString();
    for (const char* row : {"  before seal  ", "  conflict copy  ",
                            "  before merging conflict copies  ", "  before import  "})
        EXPECT_TRUE(listed.out.contains(row)) << row << listed.out.toStdString();
    EXPECT_FALSE(listed.out.contains("before password change")) << listed.out.toStdString();
    EXPECT_FALSE(listed.out.contains("sealed")) << listed.out.toStdString(); // every one counted
}

// Every save leaves the vault its owner's alone, whatever it was before.
TEST_F(Cli, SavedVaultIsOwnerOnly) {
    writeVault(std::vector<Entry>{kMe});
    ASSERT_TRUE(QFile::setPermissions(m_vault, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                   QFileDevice::ReadGroup |
                                                   QFileDevice::ReadOther));
    const Ran r =
        withMaster({QStringLiteral("edit"), QStringLiteral("me"), QStringLiteral("--generate=30"),
                    QStringLiteral("--no-symbols"), QStringLiteral("--no-look-alikes")});
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_EQ(r.out, QByteArray()); // nothing secret printed unless asked
    EXPECT_EQ(modeOf(m_vault), 0600u);
    const std::vector<Entry> read = vaultformat::readEntries(vaultBytes());
    ASSERT_EQ(read.size(), 1u);
    EXPECT_EQ(read[0].password.size(), 30);
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^[A-HJ-NP-Za-km-np-z2-9]+$"))
                    .match(read[0].password)
                    .hasMatch());
}

// Passwords and passphrases from the secure source: the characters or words
// asked for, every kind of character in, what guessing them takes on
// standard error, and never the same twice where that could happen by
// chance.
TEST_F(Cli, Generate) {
    const QString words = path(QStringLiteral("home/words.txt"));
    QFile list(words);
    ASSERT_TRUE(list.open(QIODevice::WriteOnly));
    list.write("one\ntwo\none\n\n"); // two different words
    list.close();
    const QString any = QStringLiteral("[A-Za-z0-9!#$%&()*+,\\-./:;<=>?@\\[\\]^_{}~]");
    struct Case {
        QStringList args;
        QString pattern; // the whole output
        QByteArray err;  // contained
        bool mayRepeat;
    };
    const std::vector<Case> cases = {
        {{},
         QStringLiteral("(?=.*[A-Z])(?=.*[a-z])(?=.*[0-9])(?=.*[^A-Za-z0-9\n])") + any +
             QStringLiteral("{20}"),
         "20 characters from a set of 89, each kind at least once: 129.4 bits of entropy",
         false},
        {{QStringLiteral("--length=4"), QStringLiteral("--no-symbols")},
         QStringLiteral("(?=.*[A-Z])(?=.*[a-z])(?=.*[0-9])[A-Za-z0-9]{4}"),
         "4 characters from a set of 62",
         false},
        {{QStringLiteral("--length"), QStringLiteral("1024"), QStringLiteral("--no-look-alikes")},
         QStringLiteral("[^Il1O0o\n]{1024}"),
         "1024 characters from a set of 83",
         false},
        {{QStringLiteral("--classes=digits"), QStringLiteral("--length=6")},
         QStringLiteral("[0-9]{6}"),
         "6 characters from a set of 10, each kind at least once: 19.9 bits",
         true},
        {{QStringLiteral("--characters=ab\U0001D11E"), QStringLiteral("--length=40")},
         QStringLiteral("(a|b|\U0001D11E){40}"),
         "40 characters from a set of 3: 63.4 bits",
         false},
        {{QStringLiteral("--words=3"), QStringLiteral("--word-list=") + words,
          QStringLiteral("--separator=+")},
         QStringLiteral("(one|two)(\\+(one|two)){2}"),
         "3 words from a list of 2: 3.0 bits",
         true},
        {{QStringLiteral("--words=5")},
         QStringLiteral("[a-z]{3,8}(-[a-z]{3,8}){4}"),
         "5 words from a list of ",
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.join(QLatin1Char(' ')).toStdString());
        const Ran a = run(QStringList{QStringLiteral("generate")} + c.args, {}, false);
        const Ran b = run(QStringList{QStringLiteral("generate")} + c.args, {}, false);
        ASSERT_EQ(a.status, 0) << a.err.toStdString();
        EXPECT_TRUE(QRegularExpression(QStringLiteral("^(%1)\n$").arg(c.pattern))
                        .match(QString::fromUtf8(a.out))
                        .hasMatch())
            << a.out.toStdString();
        EXPECT_TRUE(a.err.contains("Generated " + c.err)) << a.err.toStdString();
        EXPECT_FALSE(a.err.contains(a.out.trimmed()));
        if (!c.mayRepeat) {
            EXPECT_NE(a.out, b.out);
        }
    }
}

// Fields the plain layout cannot hold, lines, tabs, backslashes and very long
// text, in a vault the window wrote: shown exactly by tsv and json, on one
// line and cut by the table.
TEST_F(Cli, Formats) {
    const QString longText = QString(300, QLatin1Char('x'));
    const std::vector<Entry> entries = {
        {QStringLiteral("a\tb\\c"), QStringLiteral("line\r\nbreak"),
         QStringLiteral("\u4e2d\u6587")},
        {longText, QStringLiteral("lone ") + QChar(0xD800) + QStringLiteral(" half"),
         QStringLiteral("two\nlines")},
        // What a terminal acts on: ESC, BEL, a C1 control, DEL.
        {QStringLiteral("esc\x1b[2Jx\x07"), QStringLiteral("c1 \u009b1m"),
         QStringLiteral("del\x7f")},
    };
    writeVault(entries);
    const Ran tsv = withMaster({QStringLiteral("list"), QStringLiteral("--format=tsv"),
                                QStringLiteral("--show-passwords")});
    ASSERT_EQ(tsv.status, 0) << tsv.err.toStdString();
    const QList<QByteArray> rows = tsv.out.split('\n');
    ASSERT_EQ(rows.size(), 5); // header, three rows, and the end of the last
    EXPECT_EQ(rows[1], "a\\tb\\\\c\tline\\r\\nbreak\t\xe4\xb8\xad\xe6\x96\x87");
    EXPECT_EQ(rows[2].split('\t')[1], "lone \\ud800 half");
    EXPECT_EQ(rows[2].split('\t')[2], "two\\nlines");
    EXPECT_EQ(rows[3], "esc\\x1b[2Jx\\x07\tc1 \\x9b1m\tdel\\x7f");

    const Ran json = withMaster({QStringLiteral("list"), QStringLiteral("--format=json"),
                                 QStringLiteral("--show-passwords")});
    ASSERT_EQ(json.status, 0);
    EXPECT_TRUE(json.out.contains("\"lone \\ud800 half\"")) << json.out.toStdString();
    EXPECT_TRUE(json.out.contains("\"c1 \\u009b1m\"")) << json.out.toStdString();
    const QJsonArray items = QJsonDocument::fromJson(json.out).array();
    ASSERT_EQ(items.size(), 3);
    EXPECT_EQ(items[0].toObject().value(QStringLiteral("password")).toString(),
              entries[0].password);
    EXPECT_EQ(items[1].toObject().value(QStringLiteral("username")).toString(), longText);
    const Ran hidden = withMaster({QStringLiteral("list"), QStringLiteral("--format=json")});
    EXPECT_FALSE(hidden.out.contains("password"));
    EXPECT_EQ(QJsonDocument::fromJson(hidden.out).array().size(), 3);

    const Ran table = withMaster({QStringLiteral("list")});
    ASSERT_EQ(table.status, 0);
    const QList<QByteArray> shown = table.out.split('\n');
    ASSERT_EQ(shown.size(), 5);
    EXPECT_EQ(shown[1], QString(QStringLiteral("a\ufffdb\\c") + QString(35, QLatin1Char(' ')) +
                                QStringLiteral("  ********  \u4e2d\u6587"))
                            .toUtf8());
    EXPECT_EQ(shown[2],
              (QString(39, QLatin1Char('x')) + QStringLiteral("\u2026  ********  two\u21b5lines"))
                  .toUtf8());
}

// Every layout and format: an export reads back into a new vault as the
// same entries, and again as nothing new; an existing file is never
// replaced; a malformed import is refused whole, before anything is asked.
TEST_F(Cli, ExportAndImport) {
    // The vault holds one entry twice, and one password starts as a
    // spreadsheet formula would.
    const std::vector<Entry> entries = {
        kMe, kZoe, kBob, {QStringLiteral("no place"), QStringLiteral("-x"), {}}, kBob};
    writeVault(entries);
    const QString into = path(QStringLiteral("vault/imported.enc"));
    const QByteArray formula = "Warning: 1 cell starts with =, +, -, @";
    // Each entry with the rule of the browser's import it breaks.
    const QByteArray browsers = "it will leave out 5 entries: me at example.org (not an address: "
                                "it has no scheme such as https://); Zo\xc3\xab at "
                                "Stra\xc3\x9f"
                                "e.example (not an address: it has no scheme such as https://); "
                                "bob at mail.example.org (not an address: it has no scheme such "
                                "as https://); no place (no location) (no location: ";
    struct Case {
        QStringList options;
        QByteArray header;
        QByteArray warns; // contained; none when empty
    };
    const std::vector<Case> cases = {
        {{}, "username,password,location\r\n", formula},
        {{QStringLiteral("--layout=chrome")}, "name,url,username,password", browsers},
        {{QStringLiteral("--layout=firefox")}, "url,username,password,httpRealm", browsers},
        {{QStringLiteral("--layout=keepassxc")}, "Group,Title,Username,Password,URL", formula},
        {{QStringLiteral("--layout=bitwarden")}, "folder,favorite,type,name", formula},
        {{QStringLiteral("--layout=lastpass")}, "url,username,password,totp", formula},
        {{QStringLiteral("--layout=1password")}, "Title,Url,Username,Password", formula},
        {{QStringLiteral("--format=json")}, "[", {}},
        {{QStringLiteral("--format=xml")}, "<?xml version=\"1.0\"", {}},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options.join(QLatin1Char(' ')).toStdString());
        const QString file = path(QStringLiteral("home/export%1").arg(++n));
        const Ran out = withMaster(QStringList{QStringLiteral("export"), file} + c.options);
        ASSERT_EQ(out.status, 0) << out.err.toStdString();
        EXPECT_TRUE(out.err.contains("Warning") == !c.warns.isEmpty()) << out.err.toStdString();
        EXPECT_TRUE(out.err.contains(c.warns)) << out.err.toStdString();
        QFile written(file);
        ASSERT_TRUE(written.open(QIODevice::ReadOnly));
        EXPECT_TRUE(written.readAll().startsWith(c.header));
        // Never over an existing file.
        const Ran again = withMaster(QStringList{QStringLiteral("export"), file} + c.options);
        EXPECT_EQ(again.status, 1);
        EXPECT_TRUE(again.err.contains("exists already")) << again.err.toStdString();

        QFile::remove(into);
        auto onInto = [&](const QStringList& args) {
            return run(
                QStringList{QStringLiteral("--vault"), into, QStringLiteral("--password-stdin")} +
                    args,
                lines({kMaster}), false);
        };
        ASSERT_EQ(onInto({QStringLiteral("init")}).status, 0);
        // The vault it came from, the repeated entry and all, and nothing
        // lost on the way.
        const Ran in = onInto({QStringLiteral("import"), file});
        ASSERT_EQ(in.status, 0) << in.err.toStdString();
        EXPECT_TRUE(in.err.contains("Imported 5 entries")) << in.err.toStdString();
        EXPECT_TRUE(in.err.contains("1 of them repeats an entry before it in the file"));
        EXPECT_FALSE(in.err.contains("Not kept")) << in.err.toStdString();
        QFile vault(into);
        ASSERT_TRUE(vault.open(QIODevice::ReadOnly));
        const QByteArray imported = vault.readAll();
        EXPECT_EQ(imported, vaultformat::savedFile(kMaster, entries));
        const Ran twice = onInto({QStringLiteral("import"), file});
        EXPECT_EQ(twice.status, 0);
        EXPECT_TRUE(twice.err.contains("Imported 0 entries")) << twice.err.toStdString();
        EXPECT_TRUE(twice.err.contains("Skipped 5 entries already in the vault"));
        vault.close();
        ASSERT_TRUE(vault.open(QIODevice::ReadOnly));
        EXPECT_EQ(vault.readAll(), imported);
    }

    // A file named *.xml is KeePass XML.
    const QString named = path(QStringLiteral("home/named.XML"));
    ASSERT_EQ(withMaster({QStringLiteral("export"), named}).status, 0);
    QFile namedFile(named);
    ASSERT_TRUE(namedFile.open(QIODevice::ReadOnly));
    EXPECT_TRUE(namedFile.readAll().contains("<KeePassFile>"));

    // To standard output.
    const Ran json = withMaster(
        {QStringLiteral("export"), QStringLiteral("-"), QStringLiteral("--format=json")});
    EXPECT_EQ(json.out, interchange::exportJson(entries).bytes);

    // Spreadsheet-safe: the cell guarded, and said so.
    const Ran safe = withMaster({QStringLiteral("export"), QStringLiteral("--spreadsheet-safe")});
    EXPECT_TRUE(safe.out.contains("\r\nno place,'-x,\r\n")) << safe.out.toStdString();
    EXPECT_TRUE(safe.err.contains("1 cell that started with =, +, -, @, a tab or a carriage "
                                  "return was written with a ' before it"))
        << safe.err.toStdString();

    // New entries go to the end, as often as the file holds them beyond the
    // vault; the rest, and empty records, are counted. A dry run says the
    // same and writes nothing.
    const QString csv = path(QStringLiteral("home/new.csv"));
    QFile newFile(csv);
    ASSERT_TRUE(newFile.open(QIODevice::WriteOnly));
    newFile.write("username,password,location\r\nme,p4ss|||word,example.org\r\nnew,one,here\r\n"
                  ",,\r\nnew,one,here\r\n");
    newFile.close();
    const QByteArray before = vaultBytes();
    const Ran dry = withMaster({QStringLiteral("import"), csv, QStringLiteral("--dry-run")});
    ASSERT_EQ(dry.status, 0) << dry.err.toStdString();
    EXPECT_EQ(vaultBytes(), before);
    const Ran added = withMaster({QStringLiteral("import"), csv});
    ASSERT_EQ(added.status, 0) << added.err.toStdString();
    const QByteArray report = "2 entries from " + csv.toUtf8() +
                              " (CSV in the keynook layout). 1 of them repeats an entry before it "
                              "in the file. Skipped 1 entry already in the vault. Skipped 1 record "
                              "with no username, password or location. The vault ";
    EXPECT_EQ(added.err, "Imported " + report + "holds 7 entries.\n");
    EXPECT_EQ(dry.err, "Would import " + report +
                           "would hold 7 entries. Nothing was written "
                           "(--dry-run).\n");
    std::vector<Entry> now = entries;
    now.push_back({QStringLiteral("new"), QStringLiteral("one"), QStringLiteral("here")});
    now.push_back(now.back());
    EXPECT_EQ(vaultBytes(), vaultformat::savedFile(kMaster, now));

    // A malformed file: refused with its line, before the master password.
    const QByteArray unchanged = vaultBytes();
    ASSERT_TRUE(newFile.open(QIODevice::WriteOnly | QIODevice::Truncate));
    newFile.write("username,password,location\r\na,b,c\r\nonly,two\r\n");
    newFile.close();
    const Ran refused = run({QStringLiteral("--password-stdin"), QStringLiteral("import"), csv});
    EXPECT_EQ(refused.status, 1);
    EXPECT_TRUE(refused.err.contains("was not imported, and nothing was changed: line 3:"))
        << refused.err.toStdString();
    EXPECT_EQ(vaultBytes(), unchanged);
}

// What check finds in a file edited by hand.
TEST_F(Cli, Check) {
    const QByteArray entry = vaultformat::encodeEntryLine(kMe);
    const QByteArray escaped = vaultformat::encodeEntryLine(kZoe);
    writeVault(vaultformat::encodeMasterLine(kMaster) + kCrLf + entry + kCrLf + kCrLf + " " +
               kCrLf + flipped("two|||fields") + kCrLf + escaped + kCrLf +
               flipped("a|||b|||c|||d") + kCrLf);
    const Ran r = withMaster({QStringLiteral("check")});
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_EQ(r.out, "Vault: " + m_vault.toUtf8() +
                         "\nSealed: no\nEntries: 4\nLines that are not entries: 4\n"
                         "  line 3: blank\n  line 4: blank\n"
                         "  line 5: 2 fields (the missing ones read as empty)\n"
                         "  line 7: 4 fields (those after the third are ignored)\n"
                         "Fields stored with the escape: 2\n"
                         "A save would not write the file back as it is: it differs from line 3 "
                         "on.\n");
}

// Without --vault it uses the vault the window would: for an installed copy,
// the user's data folder, made the owner's alone.
TEST_F(Cli, InstalledCopyUsesTheWindowsVault) {
    const QString bin = path(QStringLiteral("prefix/bin"));
    ASSERT_TRUE(QDir().mkpath(bin));
    ASSERT_TRUE(QDir().mkpath(path(QStringLiteral("prefix/share/keynook"))));
    QFile help(path(QStringLiteral("prefix/share/keynook/Help.rtf")));
    ASSERT_TRUE(help.open(QIODevice::WriteOnly));
    help.close();
    const QString program = bin + QStringLiteral("/keynook-cli");
    ASSERT_TRUE(QFile::copy(QStringLiteral(KEYNOOK_CLI), program));
    const Ran r = run({QStringLiteral("--password-stdin"), QStringLiteral("init")},
                      lines({kMaster}), false, program);
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    const QString folder = path(QStringLiteral("data/Keynook"));
    EXPECT_EQ(vaultlocation::chooseVaultFolder(bin, folder), folder);
    QFile vault(folder + QStringLiteral("/data.enc"));
    ASSERT_TRUE(vault.open(QIODevice::ReadOnly));
    EXPECT_EQ(vault.readAll(), flipped(kMaster.toUtf8()) + kCrLf);
    EXPECT_EQ(modeOf(folder), 0700u);
    EXPECT_FALSE(QFileInfo::exists(bin + QStringLiteral("/data.enc")));
}

// ---------------------------------------------------------------------------
// On a terminal

using clitest::Pty;

// Secrets are read with echo off, new ones asked twice; a change made by
// another program while the question was open is not overwritten; remove
// asks before it removes.
TEST_F(Cli, Terminal) {
    const QString vaultArg = QStringLiteral("--vault=") + m_vault;
    {
        Pty init({vaultArg, QStringLiteral("init")}, m_env);
        ASSERT_TRUE(init.expect("New master password: ")) << init.seen().toStdString();
        init.type(kMaster.toUtf8());
        ASSERT_TRUE(init.expect("Repeat the new master password: "));
        init.type(kMaster.toUtf8());
        EXPECT_EQ(init.finish(), 0) << init.seen().toStdString();
        EXPECT_FALSE(init.seen().contains(kMaster.toUtf8()))
            << "echoed: " << init.seen().toStdString();
        EXPECT_EQ(vaultBytes(), flipped(kMaster.toUtf8()) + kCrLf);
    }
    {
        // Ctrl+C at the prompt gives the echo back.
        Pty interrupted({vaultArg, QStringLiteral("list")}, m_env);
        ASSERT_TRUE(interrupted.expect("Master password: "));
        EXPECT_FALSE(interrupted.echoes());
        ASSERT_EQ(::write(interrupted.fd(), "\x03", 1), 1);
        EXPECT_EQ(interrupted.finish(), -SIGINT);
        EXPECT_TRUE(interrupted.echoes());
    }
    auto add = [&](const QByteArray& first, const QByteArray& second, auto meanwhile) {
        Pty pty({vaultArg, QStringLiteral("add"), QStringLiteral("--username=me")}, m_env);
        EXPECT_TRUE(pty.expect("Master password: "));
        pty.type(kMaster.toUtf8());
        EXPECT_TRUE(pty.expect("Password for the entry: "));
        meanwhile();
        pty.type(first);
        EXPECT_TRUE(pty.expect("Repeat the password: "));
        pty.type(second);
        const int status = pty.finish();
        EXPECT_FALSE(pty.seen().contains(first)) << pty.seen().toStdString();
        return std::pair(status, pty.seen());
    };
    const QByteArray before = vaultBytes();
    EXPECT_EQ(add("typed once", "typed twice", [] {}).first, 1);
    EXPECT_EQ(vaultBytes(), before);

    // Another program replaces the vault while the password is asked.
    const QByteArray theirs = vaultformat::savedFile(kMaster, std::vector<Entry>{kBob});
    const auto [status, seen] = add("same", "same", [&] {
        QFile other(m_vault + QStringLiteral(".theirs"));
        ASSERT_TRUE(other.open(QIODevice::WriteOnly));
        other.write(theirs);
        other.close();
        ASSERT_TRUE(::rename(QFile::encodeName(other.fileName()).constData(),
                             QFile::encodeName(m_vault).constData()) == 0);
    });
    EXPECT_EQ(status, 3);
    EXPECT_TRUE(seen.contains("changed by another program")) << seen.toStdString();
    EXPECT_EQ(vaultBytes(), theirs);

    for (const char* answer : {"n", "y"}) {
        Pty remove({vaultArg, QStringLiteral("remove"), QStringLiteral("bob")}, m_env);
        ASSERT_TRUE(remove.expect("Master password: "));
        remove.type(kMaster.toUtf8());
        ASSERT_TRUE(remove.expect("Remove bob at mail.example.org? [y/N] "));
        remove.type(answer);
        const bool yes = answer[0] == 'y';
        EXPECT_EQ(remove.finish(), 0) << remove.seen().toStdString();
        EXPECT_EQ(remove.seen().contains("Nothing was removed."), !yes);
        EXPECT_EQ(vaultformat::readEntries(vaultBytes()).size(), yes ? 0u : 1u);
    }
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
