#pragma once

#include <QString>
#include <QStringList>

#include <utility>
#include <vector>

// keynook-cli's commands and their options: the one table from which the
// parser, --help, the manual page's synopsis and the shell completions all
// come, so that none of them can name an option another does not know. Each
// command's row holds the function that runs it, so that a command is
// reached through its row and no other way.
namespace cli {

// What an argument or an option's value is, for the completions: a file
// name is completed from the folder, a choice from its words.
enum class Kind { None, Text, Number, File, Choice };

class Context;

struct Option {
    QString name;  // "--sort"
    QString value; // what --help calls the value ("FIELD"); empty for a flag
    Kind kind = Kind::None;
    QStringList choices; // the values a Choice takes
    // What each of the choices is, in their order, where a completion shows
    // a line for each; empty when the option's help says it.
    QStringList choiceHelp;
    QString help; // for --help: one line, or more each starting on a new line
    // Options that exclude each other share a mark, and the usage shows them
    // as one choice: [--password | --generate N].
    QString oneOf;
    // Options of a group are one placeholder in the usage ([generator
    // options]); --help lists each.
    QString group;
    bool required = false;

    bool takesValue() const { return !value.isEmpty(); }
};

struct Command {
    // A command is made with the function that runs it (Commands.h), which
    // is how the command line reaches it: no command can be in the table
    // without one.
    Command(QString name, int (&run)(Context&), QString summary)
        : name(std::move(name)), run(&run), summary(std::move(summary)) {}

    QString name;
    int (*run)(Context&);
    QString arguments; // as the usage shows them: "TEXT", "[FILE|-]", "FILE..."
    Kind argumentKind = Kind::None;
    QStringList argumentChoices;
    int minArguments = 0;
    int maxArguments = 0;
    // What the arguments are, as a message says what is missing or too
    // much: "import needs one file to import", "get takes one text to look for".
    QString wants;
    QString summary; // one line of --help
    std::vector<Option> options;
    QString help; // what --help says above the options
};

const QString& programName();
const std::vector<Command>& commands();

// The words --format takes: of the formats export writes, and of those
// import reads (with "auto"), from the one table of formats.
QStringList exportFormatWords();
QStringList importFormatWords();
// The options taken before or after any command: --vault, --password-stdin.
const std::vector<Option>& globalOptions();
const Command* commandNamed(const QString& name);
const Option* optionOf(const Command& command, const QString& name);
const Option* globalOption(const QString& name);

// "a, b or c": the words a message offers in place of one it did not take.
QString listed(const QStringList& words, const QString& last);

// The command with its arguments and options, as --help's usage line shows
// it (options on lines of their own after the first when long).
QString usage(const Command& command);
QString programHelp();
QString commandHelp(const Command& command);

// The manual page's lines that the table makes: the synopsis, and the tag
// line of each command's paragraph under COMMANDS.
QString manSynopsis();
QString manUsage(const Command& command);

} // namespace cli
