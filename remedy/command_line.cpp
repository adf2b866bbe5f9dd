// The Run-key command-line test: quotes and slashes normalised, environment
// references expanded, then a match of the file's path or its bare name at
// the start of the text, ignoring the case of ASCII letters only. A quoted
// program must be the file exactly.
#include "remedy/command_line.h"

#include <cstring>

namespace {

// Locale-independent on purpose: the code page's other bytes, trail bytes
// included, must compare exactly.
void UpperCaseAscii(char* text, size_t length) {
  for (size_t i = 0; i < length; ++i)
    if (text[i] >= 'a' && text[i] <= 'z') text[i] = static_cast<char>(text[i] - 'a' + 'A');
}

int IsLeadByte(const CommandLineHost* host, unsigned char byte) {
  return host && host->isLeadByte && host->isLeadByte(host->context, byte);
}

// A piece of the upper-cased path: base name, extension, stem, suffix. Views
// rather than copies, so a name or extension of any length that a path can
// hold is compared whole.
struct Piece {
  const char* text;
  size_t length;
};

int Equals(const char* text, size_t textLength, Piece piece) {
  return textLength == piece.length && memcmp(text, piece.text, piece.length) == 0;
}

int StartsWith(const char* text, size_t textLength, size_t at, Piece piece) {
  return at <= textLength && textLength - at >= piece.length && memcmp(text + at, piece.text, piece.length) == 0;
}

int EndsToken(const char* text, size_t textLength, size_t at) {
  if (at >= textLength) return 1;
  char c = text[at];
  return c == ' ' || c == '\\' || c == '-';
}

// The prefix test used for both the full path and the bare name.
int MatchesAtStart(const char* text, size_t textLength, Piece head, Piece tail) {
  if (StartsWith(text, textLength, head.length, tail)) return 1;
  return EndsToken(text, textLength, head.length);
}

}  // namespace

const char kReferredPathTooLong[] =
    "its path is longer than any Run value's command line is examined for, so Run values naming it are not looked "
    "for";

int ReferredPathFits(const char* path) { return path && strnlen(path, kMaxReferredPathLength + 1) <= kMaxReferredPathLength; }

uint32_t ExpandEnvironmentReferences(char* text, const CommandLineHost* host) {
  char name[kCommandTextCapacity];
  char value[kEnvironmentValueCapacity];
  char assembled[kCommandTextCapacity];
  uint32_t replaced = 0;

  while (replaced < kMaxExpansions) {
    size_t length = strnlen(text, kCommandTextCapacity - 1);
    text[length] = 0;
    char* open = static_cast<char*>(memchr(text, '%', length));
    if (!open) break;
    char* close = static_cast<char*>(memchr(open + 1, '%', static_cast<size_t>(text + length - (open + 1))));
    if (!close) break;

    size_t nameLength = static_cast<size_t>(close - open - 1);
    memcpy(name, open + 1, nameLength);
    name[nameLength] = 0;

    if (!host || !host->lookup) break;
    memset(value, 0, sizeof value);
    uint32_t lastError = 0;
    uint32_t got = host->lookup(host->context, name, value, kEnvironmentValueCapacity, &lastError);
    // A value that fills the buffer has no room for its terminator: it did not fit.
    if (got == 0 || got >= kEnvironmentValueCapacity || lastError == kErrorEnvVarNotFound) break;
    size_t valueLength = strnlen(value, got);

    size_t beforeLength = static_cast<size_t>(open - text);
    const char* after = close + 1;
    size_t afterLength = static_cast<size_t>(text + length - after);
    bool slashBefore = beforeLength > 0 && text[beforeLength - 1] != '\\' && value[0] != '\\';
    bool slashAfter = (valueLength == 0 || value[valueLength - 1] != '\\') && after[0] != '\\';
    size_t total = beforeLength + slashBefore + valueLength + slashAfter + afterLength;
    // Too long to hold: the reference stays as written, like one that cannot be expanded.
    if (total > kCommandTextCapacity - 1) break;

    size_t at = 0;
    memcpy(assembled, text, beforeLength);
    at += beforeLength;
    if (slashBefore) assembled[at++] = '\\';
    memcpy(assembled + at, value, valueLength);
    at += valueLength;
    if (slashAfter) assembled[at++] = '\\';
    memcpy(assembled + at, after, afterLength);
    at += afterLength;
    assembled[at] = 0;
    memcpy(text, assembled, at + 1);
    ++replaced;
  }
  return replaced;
}

int CommandLineRefersTo(const char* commandLine, const char* path, const CommandLineHost* host) {
  if (!commandLine || !commandLine[0] || !path) return 0;

  size_t pathLength = strnlen(path, kMaxReferredPathLength + 1);
  if (pathLength > kMaxReferredPathLength) return 0;
  char upperPath[kMaxReferredPathLength + 1];
  memcpy(upperPath, path, pathLength);
  upperPath[pathLength] = 0;
  UpperCaseAscii(upperPath, pathLength);

  // Final component and its last dot; a trail byte that equals "\" belongs
  // to its character and does not end a directory name.
  size_t componentStart = 0;
  size_t componentDot = pathLength;
  for (size_t i = 0; i < pathLength; ++i) {
    unsigned char c = static_cast<unsigned char>(upperPath[i]);
    if (IsLeadByte(host, c) && i + 1 < pathLength) {
      ++i;
      continue;
    }
    if (c == '\\' || c == '/' || c == ':') {
      componentStart = i + 1;
      componentDot = pathLength;
    } else if (c == '.') {
      componentDot = i;
    }
  }
  Piece baseName = {upperPath + componentStart, componentDot - componentStart};
  Piece extension = {upperPath + componentDot, pathLength - componentDot};

  const char* lastDot = strrchr(upperPath, '.');
  if (!lastDot) return 0;
  Piece stem = {upperPath, static_cast<size_t>(lastDot - upperPath)};
  Piece suffix = {lastDot, pathLength - stem.length};
  // A path that is nothing but an extension would match every command line.
  if (stem.length == 0) return 0;

  char text[kCommandTextCapacity];
  size_t length = 0;
  if (commandLine[0] == '"') {
    // A quoted program is exactly the file between the quotes: the closing
    // quote is no mere blank, or removing C:\Program.exe would take away
    // "C:\Program Files\Vendor\agent.exe" -tray.
    const char* source = commandLine + 1;
    for (; source[length] && source[length] != '"' && length < kCommandTextCapacity - 1; ++length)
      text[length] = source[length] == '/' ? '\\' : source[length];
    text[length] = 0;
    ExpandEnvironmentReferences(text, host);
    length = strlen(text);
    UpperCaseAscii(text, length);
    Piece fileName = {upperPath + componentStart, pathLength - componentStart};
    Piece wholePath = {upperPath, pathLength};
    if (Equals(text, length, wholePath)) return 1;
    return baseName.length > 0 && (Equals(text, length, fileName) || Equals(text, length, baseName)) ? 1 : 0;
  }

  // Working text: slashes made backslashes, quotes blanks, before anything
  // is expanded into it.
  for (; commandLine[length] && length < kCommandTextCapacity - 1; ++length) {
    char c = commandLine[length];
    text[length] = c == '"' ? ' ' : c == '/' ? '\\' : c;
  }
  text[length] = 0;

  ExpandEnvironmentReferences(text, host);
  length = strlen(text);
  UpperCaseAscii(text, length);

  if (StartsWith(text, length, 0, stem)) return MatchesAtStart(text, length, stem, suffix);
  // An empty base name would match whatever the text starts with.
  if (baseName.length > 0 && StartsWith(text, length, 0, baseName))
    return MatchesAtStart(text, length, baseName, extension);
  return 0;
}
