#include "cli/Cli.h"

#include "cli/CommandTable.h"
#include "cli/Context.h"
#include "platform/ArgumentPosition.h"
#include "platform/VersionRecord.h"

#include "VersionInfo.h"

#include <QStringList>

#include <cstdio>
#include <optional>
#include <utility>

// The command line read against the table of commands, and the command it
// names run: its function is the table's, so that no command is reached
// but through its own row.
namespace cli {

namespace {

// What was asked for: the parsed command, or a help or version text that
// answers it already.
struct Request {
    Parsed parsed;
    std::optional<QString> answer;
};

// The usage, for a command line that names no command: what a person who
// typed the program's name alone wants to see.
[[noreturn]] void failWithUsage() {
    throw Failed{UserError, programHelp().chopped(1), false};
}

Request parse(const QStringList& arguments) {
    Request request;
    Parsed& p = request.parsed;
    const QString seeHelp = QStringLiteral("see `%1 --help`").arg(kProgram);
    qsizetype i = 1;
    // --vault and --password-stdin may stand before or after the command.
    auto takeGlobal = [&](const QString& name, const std::optional<QString>& inlineValue) {
        if (name == QLatin1String("--password-stdin")) {
            if (inlineValue)
                fail(UserError, QStringLiteral("--password-stdin takes no value"));
            p.passwordStdin = true;
            return true;
        }
        if (name == QLatin1String("--vault")) {
            if (!p.vaultPath.isEmpty())
                fail(UserError, QStringLiteral("--vault is given twice"));
            if (inlineValue) {
                p.vaultPath = *inlineValue;
            } else if (i + 1 < arguments.size()) {
                p.vaultPath = arguments[++i];
            } else {
                fail(UserError, QStringLiteral("--vault needs the path of a vault file"));
            }
            if (p.vaultPath.isEmpty())
                fail(UserError, QStringLiteral("--vault needs the path of a vault file"));
            return true;
        }
        return false;
    };
    auto split = [](const QString& arg) {
        const qsizetype eq = arg.indexOf(QLatin1Char('='));
        return eq < 0 ? std::pair(arg, std::optional<QString>())
                      : std::pair(arg.left(eq), std::optional<QString>(arg.mid(eq + 1)));
    };
    for (; i < arguments.size() && arguments[i].startsWith(QLatin1Char('-')); ++i) {
        const QString& arg = arguments[i];
        if (arg == QLatin1String("--help") || arg == QLatin1String("-h")) {
            request.answer = programHelp();
            return request;
        }
        if (arg == QLatin1String("--version")) {
            request.answer = VersionRecord::ofBuild().productName + QLatin1Char(' ') +
                             QStringLiteral(KEYNOOK_VERSION) + QLatin1Char('\n');
            return request;
        }
        const auto [name, inlineValue] = split(arg);
        if (!takeGlobal(name, inlineValue))
            fail(UserError, QStringLiteral("%1 is not an option; the options before the command "
                                           "are --vault, --password-stdin, --help and --version; "
                                           "%2")
                                .arg(argumentAt(i), seeHelp));
    }
    if (i >= arguments.size())
        failWithUsage();
    p.command = commandNamed(arguments[i]);
    if (!p.command) {
        QStringList names;
        for (const Command& c : commands())
            names << c.name;
        fail(UserError, QStringLiteral("%1 is not a command; the commands are %2; %3")
                            .arg(argumentAt(i), listed(names, QStringLiteral("and")), seeHelp));
    }
    const Command& c = *p.command;
    const QString seeCommandHelp = QStringLiteral("see `%1 %2 --help`").arg(kProgram, c.name);
    // Help first, whatever else is wrong with the line.
    for (qsizetype k = i + 1; k < arguments.size() && arguments[k] != QLatin1String("--"); ++k) {
        if (arguments[k] == QLatin1String("--help") || arguments[k] == QLatin1String("-h")) {
            request.answer = commandHelp(c);
            return request;
        }
    }
    bool optionsEnded = false;
    for (++i; i < arguments.size(); ++i) {
        const QString& arg = arguments[i];
        if (!optionsEnded && arg == QLatin1String("--")) {
            optionsEnded = true;
            continue;
        }
        // A lone "-" is an argument: standard input or output.
        if (optionsEnded || !arg.startsWith(QLatin1Char('-')) || arg == QLatin1String("-")) {
            p.arguments.append(arg);
            continue;
        }
        const auto [name, inlineValue] = split(arg);
        if (takeGlobal(name, inlineValue))
            continue;
        const Option* option = optionOf(c, name);
        if (!option) {
            // Options alone first, then those that take a value.
            QStringList options;
            for (const bool valued : {false, true})
                for (const Option& o : c.options)
                    if (o.takesValue() == valued)
                        options << o.name;
            options << QStringLiteral("--vault") << QStringLiteral("--password-stdin")
                    << QStringLiteral("--help");
            fail(UserError, QStringLiteral("%1 is not an option of %2; its options are %3; %4")
                                .arg(argumentAt(i), c.name, listed(options, QStringLiteral("and")),
                                     seeCommandHelp));
        }
        if (!option->takesValue()) {
            if (inlineValue)
                fail(UserError, QStringLiteral("%1 takes no value").arg(name));
            if (p.flags.contains(name))
                fail(UserError, QStringLiteral("%1 is given twice").arg(name));
            p.flags.insert(name);
            continue;
        }
        if (p.values.contains(name))
            fail(UserError, QStringLiteral("%1 is given twice").arg(name));
        if (inlineValue) {
            p.values.insert(name, *inlineValue);
        } else if (i + 1 < arguments.size()) {
            p.values.insert(name, arguments[++i]);
        } else {
            fail(UserError, QStringLiteral("%1 needs a value; %2").arg(name, seeCommandHelp));
        }
        // What was given is not repeated: a password typed in the wrong
        // place must not end up in a message, or in a log that keeps it.
        if (option->kind == Kind::Choice && !option->choices.contains(p.values.value(name)))
            fail(UserError, QStringLiteral("the value given to %1 is not one it takes; %1 takes %2")
                                .arg(name, listed(option->choices, QStringLiteral("or"))));
    }
    for (const Option& a : c.options)
        for (const Option& b : c.options)
            if (&a < &b && !a.oneOf.isEmpty() && a.oneOf == b.oneOf &&
                (p.flags.contains(a.name) || p.values.contains(a.name)) &&
                (p.flags.contains(b.name) || p.values.contains(b.name)))
                fail(UserError, QStringLiteral("%1 and %2 are one or the other; choose one")
                                    .arg(a.name, b.name));
    if (p.arguments.size() > c.maxArguments)
        fail(UserError,
             c.maxArguments == 0
                 ? QStringLiteral("%1 takes no text, only options; %2").arg(c.name, seeCommandHelp)
                 : QStringLiteral("%1 takes %2; %3").arg(c.name, c.wants, seeCommandHelp));
    if (p.arguments.size() < c.minArguments)
        fail(UserError, QStringLiteral("%1 needs %2; %3").arg(c.name, c.wants, seeCommandHelp));
    if (c.argumentKind == Kind::Choice)
        for (const QString& a : p.arguments)
            if (!c.argumentChoices.contains(a))
                fail(UserError,
                     QStringLiteral("%1 takes %2; %3").arg(c.name, c.wants, seeCommandHelp));
    return request;
}

} // namespace

int run(const QStringList& arguments) {
    try {
        const Request request = parse(arguments);
        if (request.answer) {
            output(request.answer->toUtf8());
            return Success;
        }
        // The command's own function, from its row of the table.
        Context context(request.parsed);
        const int status = request.parsed.command->run(context);
        std::fflush(stdout);
        if (std::ferror(stdout)) {
            tell(kProgram + QStringLiteral(": the output could not be written"));
            return UserError;
        }
        return status;
    } catch (const Failed& failed) {
        std::fflush(stdout);
        tell(failed.named ? kProgram + QStringLiteral(": ") + failed.message : failed.message);
        return failed.status;
    }
}

} // namespace cli
