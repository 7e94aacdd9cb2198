#include "cli/Completion.h"

#include "cli/CommandTable.h"
#include "cli/Commands.h"
#include "cli/Context.h"

namespace completion {

namespace {

using cli::Command;
using cli::Kind;
using cli::Option;

// A word in single quotes for bash and zsh.
QString quoted(const QString& text) {
    QString out = text;
    out.replace(QLatin1Char('\''), QStringLiteral("'\\''"));
    return QLatin1Char('\'') + out + QLatin1Char('\'');
}

// A word in single quotes for fish, where \' and \\ are the escapes.
QString fishQuoted(const QString& text) {
    QString out = text;
    out.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
    out.replace(QLatin1Char('\''), QStringLiteral("\\'"));
    return QLatin1Char('\'') + out + QLatin1Char('\'');
}

// An option's help as one short line for a completion menu: up to its
// first semicolon, and a long one up to a comma.
QString firstLine(const QString& help) {
    constexpr qsizetype kWidth = 70;
    QString line = help.simplified().section(QLatin1Char(';'), 0, 0);
    if (line.size() > kWidth) {
        const qsizetype comma = line.lastIndexOf(QLatin1Char(','), kWidth);
        line = comma > 0 ? line.left(comma) : line.left(kWidth - 1) + QStringLiteral("\u2026");
    }
    return line;
}

// Every option a command takes, its own and the global ones.
std::vector<Option> optionsOf(const Command* c) {
    std::vector<Option> all = c ? c->options : std::vector<Option>{};
    for (const Option& o : cli::globalOptions())
        all.push_back(o);
    return all;
}

QStringList namesOf(const std::vector<Option>& options) {
    QStringList names;
    for (const Option& o : options)
        names << o.name;
    return names;
}

QString commandNames() {
    QStringList names;
    for (const Command& c : cli::commands())
        names << c.name;
    return names.join(QLatin1Char(' '));
}

// The command a completed line names: the first word that is not an option
// or the value of --vault, the one option before a command with a value.
const char* const kBashFindCommand =
    R"(    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}
    local command="" i
    for ((i = 1; i < COMP_CWORD; i++)); do
        case ${COMP_WORDS[i]} in
        --vault) ((i++)) ;;
        -*) ;;
        *) command=${COMP_WORDS[i]}; break ;;
        esac
    done
)";

QString bash() {
    QString s = QStringLiteral(
        "# bash completion for keynook-cli: `keynook-cli completion bash` writes it from\n"
        "# the program's own table of commands and options.\n"
        "_keynook_cli() {\n");
    s += QLatin1String(kBashFindCommand);
    s += QStringLiteral(
        "    COMPREPLY=()\n"
        "    case $prev in\n"
        "    --vault) compopt -o filenames 2>/dev/null; COMPREPLY=($(compgen -f -- \"$cur\")); "
        "return ;;\n"
        "    esac\n"
        "    local options=\"\" words=\"\" files=\"\" values=\"\"\n"
        "    case $command in\n");
    s += QStringLiteral("    \"\") options=%1; words=%2 ;;\n")
             .arg(quoted(QStringLiteral("--vault --password-stdin --help --version")),
                  quoted(commandNames()));
    for (const Command& c : cli::commands()) {
        s += QStringLiteral("    %1)\n").arg(c.name);
        s += QStringLiteral("        options=%1\n")
                 .arg(quoted(
                     (namesOf(optionsOf(&c)) << QStringLiteral("--help")).join(QLatin1Char(' '))));
        if (c.argumentKind == Kind::File)
            s += QStringLiteral("        files=1\n");
        else if (c.argumentKind == Kind::Choice)
            s += QStringLiteral("        words=%1\n")
                     .arg(quoted(c.argumentChoices.join(QLatin1Char(' '))));
        QString values;
        for (const Option& o : c.options) {
            if (!o.takesValue())
                continue;
            values += QStringLiteral("        %1) ").arg(o.name);
            if (o.kind == Kind::Choice)
                values += QStringLiteral("COMPREPLY=($(compgen -W %1 -- \"$cur\")) ;;\n")
                              .arg(quoted(o.choices.join(QLatin1Char(' '))));
            else if (o.kind == Kind::File)
                values += QStringLiteral(
                    "compopt -o filenames 2>/dev/null; COMPREPLY=($(compgen -f -- \"$cur\")) ;;\n");
            else
                values += QStringLiteral(";;\n");
        }
        if (!values.isEmpty())
            s += QStringLiteral("        case $prev in\n") + values +
                 QStringLiteral("        *) values=no ;;\n"
                                "        esac\n"
                                "        [[ $values == no ]] || return\n");
        s += QStringLiteral("        ;;\n");
    }
    s += QStringLiteral("    *) return ;;\n"
                        "    esac\n"
                        "    if [[ $cur == -* || ( -z $words && -z $files ) ]]; then\n"
                        "        COMPREPLY=($(compgen -W \"$options\" -- \"$cur\"))\n"
                        "    elif [[ -n $files ]]; then\n"
                        "        compopt -o filenames 2>/dev/null\n"
                        "        COMPREPLY=($(compgen -f -- \"$cur\"))\n"
                        "    else\n"
                        "        COMPREPLY=($(compgen -W \"$words\" -- \"$cur\"))\n"
                        "    fi\n"
                        "}\n"
                        "complete -F _keynook_cli keynook-cli\n");
    return s;
}

// _describe's entries: NAME:DESCRIPTION, a colon in the name escaped.
QString described(const QString& name, const QString& description) {
    QString n = name;
    n.replace(QLatin1Char(':'), QStringLiteral("\\:"));
    return quoted(n + QLatin1Char(':') + description);
}

QString describedOptions(const std::vector<Option>& options) {
    QStringList out;
    for (const Option& o : options)
        out << described(o.name, firstLine(o.help));
    out << described(QStringLiteral("--help"), QStringLiteral("what the command does"));
    return out.join(QLatin1Char(' '));
}

QString zsh() {
    QString s = QStringLiteral(
        "#compdef keynook-cli\n"
        "# zsh completion for keynook-cli: `keynook-cli completion zsh` writes it from\n"
        "# the program's own table of commands and options.\n"
        "_keynook-cli() {\n"
        "    local cur=${words[CURRENT]} prev=${words[CURRENT-1]} command= i\n"
        "    for ((i = 2; i < CURRENT; i++)); do\n"
        "        case ${words[i]} in\n"
        "        --vault) ((i++)) ;;\n"
        "        -*) ;;\n"
        "        *) command=${words[i]}; break ;;\n"
        "        esac\n"
        "    done\n"
        "    if [[ $prev == --vault ]]; then _files; return; fi\n"
        "    local -a options arguments\n"
        "    local files=\n"
        "    case $command in\n");
    QStringList commandList;
    for (const Command& c : cli::commands())
        commandList << described(c.name, c.summary);
    QStringList globals;
    for (const Option& o : cli::globalOptions())
        globals << described(o.name, firstLine(o.help));
    globals << described(QStringLiteral("--help"), QStringLiteral("what keynook-cli does"))
            << described(QStringLiteral("--version"), QStringLiteral("the program's version"));
    s += QStringLiteral("    '') options=(%1); arguments=(%2) ;;\n")
             .arg(globals.join(QLatin1Char(' ')), commandList.join(QLatin1Char(' ')));
    for (const Command& c : cli::commands()) {
        s += QStringLiteral("    %1)\n        options=(%2)\n")
                 .arg(c.name, describedOptions(optionsOf(&c)));
        if (c.argumentKind == Kind::File)
            s += QStringLiteral("        files=1\n");
        else if (c.argumentKind == Kind::Choice)
            s += QStringLiteral("        arguments=(%1)\n")
                     .arg(c.argumentChoices.join(QLatin1Char(' ')));
        QString values;
        for (const Option& o : c.options) {
            if (!o.takesValue())
                continue;
            values += QStringLiteral("        %1) ").arg(o.name);
            if (o.kind == Kind::Choice)
                values += QStringLiteral("compadd -- %1; return ;;\n")
                              .arg(o.choices.join(QLatin1Char(' ')));
            else if (o.kind == Kind::File)
                values += QStringLiteral("_files; return ;;\n");
            else
                values += QStringLiteral("return ;;\n");
        }
        if (!values.isEmpty())
            s += QStringLiteral("        case $prev in\n") + values +
                 QStringLiteral("        esac\n");
        s += QStringLiteral("        ;;\n");
    }
    s += QStringLiteral("    *) return ;;\n"
                        "    esac\n"
                        "    if [[ $cur == -* || ( ${#arguments} -eq 0 && -z $files ) ]]; then\n"
                        "        _describe -t options option options\n"
                        "    elif [[ -n $files ]]; then\n"
                        "        _files\n"
                        "    elif [[ -z $command ]]; then\n"
                        "        _describe -t commands command arguments\n"
                        "    else\n"
                        "        compadd -- $arguments\n"
                        "    fi\n"
                        "}\n"
                        "# Autoloaded from fpath, the file is the function's body; sourced, it\n"
                        "# registers the function.\n"
                        "if [[ $funcstack[1] == _keynook-cli ]]; then\n"
                        "    _keynook-cli \"$@\"\n"
                        "else\n"
                        "    compdef _keynook-cli keynook-cli\n"
                        "fi\n");
    return s;
}

QString fish() {
    QString s = QStringLiteral(
        "# fish completion for keynook-cli: `keynook-cli completion fish` writes it from\n"
        "# the program's own table of commands and options.\n"
        "function __keynook_cli_command\n"
        "    set -l words (commandline -opc)\n"
        "    set -e words[1]\n"
        "    while set -q words[1]\n"
        "        switch $words[1]\n"
        "            case --vault\n"
        "                set -e words[1]\n"
        "            case '-*'\n"
        "            case '*'\n"
        "                echo $words[1]\n"
        "                return\n"
        "        end\n"
        "        set -e words[1]\n"
        "    end\n"
        "end\n"
        "function __keynook_cli_using\n"
        "    set -l command (__keynook_cli_command)\n"
        "    test \"$command\" = \"$argv[1]\"\n"
        "end\n"
        "complete -c keynook-cli -f\n");
    auto option = [](const QString& condition, const Option& o) {
        QString line = QStringLiteral("complete -c keynook-cli");
        // A line for each value that says what it is: fish shows the
        // option's own description beside every value otherwise.
        if (o.kind == Kind::Choice && o.choiceHelp.size() == o.choices.size()) {
            QString lines;
            for (qsizetype i = 0; i < o.choices.size(); ++i)
                lines += line +
                         (condition.isEmpty() ? QString()
                                              : QStringLiteral(" -n ") + fishQuoted(condition)) +
                         QStringLiteral(" -l ") + o.name.mid(2) + QStringLiteral(" -x -a ") +
                         fishQuoted(o.choices[i]) + QStringLiteral(" -d ") +
                         fishQuoted(o.choiceHelp[i]) + QLatin1Char('\n');
            return lines;
        }
        if (!condition.isEmpty())
            line += QStringLiteral(" -n ") + fishQuoted(condition);
        line += QStringLiteral(" -l ") + o.name.mid(2);
        if (o.kind == Kind::Choice)
            line += QStringLiteral(" -x -a ") + fishQuoted(o.choices.join(QLatin1Char(' ')));
        else if (o.kind == Kind::File)
            line += QStringLiteral(" -r -F");
        else if (o.takesValue())
            line += QStringLiteral(" -x");
        return line + QStringLiteral(" -d ") + fishQuoted(firstLine(o.help)) + QLatin1Char('\n');
    };
    for (const Option& o : cli::globalOptions())
        s += option({}, o);
    s += QStringLiteral("complete -c keynook-cli -l help -d %1\n")
             .arg(fishQuoted(QStringLiteral("what keynook-cli or a command does")));
    const QString none = QStringLiteral("__keynook_cli_using ''");
    s += QStringLiteral("complete -c keynook-cli -n %1 -l version -d %2\n")
             .arg(fishQuoted(none), fishQuoted(QStringLiteral("the program's version")));
    for (const Command& c : cli::commands())
        s += QStringLiteral("complete -c keynook-cli -n %1 -a %2 -d %3\n")
                 .arg(fishQuoted(none), c.name, fishQuoted(c.summary));
    for (const Command& c : cli::commands()) {
        const QString using_ = QStringLiteral("__keynook_cli_using ") + c.name;
        for (const Option& o : c.options)
            s += option(using_, o);
        if (c.argumentKind == Kind::File)
            s += QStringLiteral("complete -c keynook-cli -n %1 -F\n").arg(fishQuoted(using_));
        else if (c.argumentKind == Kind::Choice)
            s += QStringLiteral("complete -c keynook-cli -n %1 -a %2\n")
                     .arg(fishQuoted(using_), fishQuoted(c.argumentChoices.join(QLatin1Char(' '))));
    }
    return s;
}

} // namespace

QString script(const QString& shell) {
    if (shell == QLatin1String("bash"))
        return bash();
    if (shell == QLatin1String("zsh"))
        return zsh();
    if (shell == QLatin1String("fish"))
        return fish();
    return {};
}

} // namespace completion

namespace cli {

// The parser has taken only the name of a shell it knows.
int printCompletion(Context& c) {
    output(completion::script(c.arguments().at(0)).toUtf8());
    return Success;
}

} // namespace cli
