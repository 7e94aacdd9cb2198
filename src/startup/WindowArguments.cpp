#include "startup/WindowArguments.h"

#include "platform/ArgumentPosition.h"

namespace windowarguments {

Parsed parse(const QStringList& arguments) {
    Parsed p;
    const auto wrong = [&p](const QString& error) {
        if (p.error.isEmpty())
            p.error = error;
    };
    // Wherever they stand, as before there was any other option.
    for (const QString& arg : arguments) {
        if (arg == QLatin1String("--help") || arg == QLatin1String("-h")) {
            p.ask = Parsed::Ask::Help;
            return p;
        }
        if (arg == QLatin1String("--version")) {
            p.ask = Parsed::Ask::Version;
            return p;
        }
    }
    bool vaultGiven = false;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString& arg = arguments[i];
        const bool inlineValue = arg.startsWith(QLatin1String("--vault="));
        if (arg != QLatin1String("--vault") && !inlineValue) {
            p.others << arg;
            p.othersAt << i + 1;
            continue;
        }
        if (vaultGiven)
            wrong(QStringLiteral("--vault is given twice"));
        vaultGiven = true;
        QString value;
        if (inlineValue)
            value = arg.mid(8);
        else if (i + 1 < arguments.size())
            value = arguments[++i];
        if (value.isEmpty())
            wrong(QStringLiteral("--vault needs the path of a vault file"));
        else if (p.vault.isEmpty())
            p.vault = value;
    }
    return p;
}

QString notOurs(const Parsed& before, const QStringList& left) {
    const QStringList others = parse(left).others;
    if (others.isEmpty())
        return {};
    const qsizetype at = before.others.indexOf(others.front());
    const qsizetype position = at < 0 ? 0 : before.othersAt[at];
    return argumentAt(position) +
           QStringLiteral(" is not an option; the options are --vault, --help and --version");
}

QString usage(const QString& program, const QString& productName) {
    return QStringLiteral("Usage: %1 [--vault PATH] [--version | --help]\n\n"
                          "Starts %2, which asks for the master password of the vault.\n\n"
                          "  --vault PATH  the vault file (data.enc) to use; by default\n"
                          "                $KEYNOOK_VAULT, or else data.enc beside the program\n"
                          "                or in ~/.local/share/Keynook\n"
                          "  --version     print the version and exit\n"
                          "  --help        print this text and exit\n")
        .arg(program, productName);
}

} // namespace windowarguments
