// Names from a scanned volume shown to a person: a file or value name may
// hold line ends and terminal escape sequences, which must never reach a
// terminal, a log or a .reg comment as they are. Platform-neutral.
#pragma once
#include <cstddef>
#include <string>

// Copies `in` to `out` with every control byte (below 0x20, DEL, the C1
// controls U+0080..U+009F) and every byte that is not part of valid UTF-8
// written as \xNN; a backslash followed by 'x' is written as \x5c so that
// the text reads back one way. Valid UTF-8 is kept. Returns the length the
// whole text needs (terminator excluded); when that does not fit
// `capacity`, `out` is left as it was.
size_t EscapeNameForTerminal(const char* in, char* out, size_t capacity);

// The same escape for a text of any length: when the whole does not fit
// `capacity`, the escaped units that fit whole followed by "...[cut]";
// never a byte unescaped. `out` is always terminated (empty when even the
// marker does not fit).
void EscapeNameCut(const char* in, char* out, size_t capacity);

// 1 when `name` holds a byte EscapeNameForTerminal would escape.
int NameNeedsEscaping(const char* name);

// Copies the name `in` to `out` with every character no Windows name holds
// ('\', ':', '*', '?', '"', '<', '>', '|') written as \xNN, as above: a
// Windows path joined from such names then reads as the names it was
// joined from ("App\x5capp.exe", never the clean "App\app.exe"), and a
// POSIX path's '\' as no separator. Returns the length the whole text
// needs (terminator excluded); when that does not fit `capacity`, `out` is
// left as it was.
size_t EscapeNonWindowsName(const char* in, char* out, size_t capacity);

// The same, whole, as a string. Inline: only the POSIX scanners use it,
// and the Windows programs link no std::string code.
inline std::string NonWindowsNameEscaped(const char* name) {
  std::string out(EscapeNonWindowsName(name, nullptr, 0) + 1, '\0');
  out.resize(EscapeNonWindowsName(name, &out[0], out.size()));
  return out;
}
