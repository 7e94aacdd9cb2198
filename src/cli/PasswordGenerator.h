#pragma once

#include <QString>

// New passwords from the system's secure random source.
namespace passwordgenerator {

inline constexpr int kDefaultLength = 20;
// Four is the fewest that hold one character of each kind; past 1024 a
// password is no stronger, only harder to paste.
inline constexpr int kMinLength = 4;
inline constexpr int kMaxLength = 1024;

// `length` characters, each chosen with equal chance from upper- and
// lower-case letters, digits and, with `symbols`, ASCII punctuation other
// than quotes, backslash, bar and space: the ones that CSV and JSON files
// and the vault's own layout would escape, and that forms on the web most
// often refuse. Every kind appears at least once, as sites tend to demand.
QString generate(int length, bool symbols);

} // namespace passwordgenerator
