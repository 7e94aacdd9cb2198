#pragma once

#include <QString>

// Shell completions of keynook-cli, made from its table of commands and
// options (CommandTable), so that they offer what the parser takes.
namespace completion {

// The script for `shell` ("bash", "zsh" or "fish"); empty for another name.
QString script(const QString& shell);

} // namespace completion
