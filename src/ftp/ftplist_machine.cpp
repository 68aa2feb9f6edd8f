// Machine listings (RFC 3659): the lines of an MLSD reply, and the fact line
// of an MLST reply, read as "fact=value;fact=value; name". Facts used: type
// (file, dir, cdir, pdir, OS.unix=slink...), size (sizd for a directory),
// modify (YYYYMMDDHHMMSS[.sss], UTC) and perm; the others are ignored.
#include <algorithm>

#include "ftp/ftplist.h"
#include "ftp/ftplist_fields.h"
#include "ftp/ftplist_parser.h"

namespace zud {

namespace {

char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameAscii(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(),
                    [](char x, char y) { return AsciiLower(x) == AsciiLower(y); });
}

bool StartsAscii(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && SameAscii(text.substr(0, prefix.size()), prefix);
}

// A run of decimal digits that fits 63 bits.
bool ReadDigits(std::string_view text, int64_t& value) {
  if (text.empty() || text.size() > 18) return false;
  value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  return true;
}

int DigitsAt(std::string_view text, size_t at, size_t count) {
  int64_t value = 0;
  return ReadDigits(text.substr(at, count), value) ? static_cast<int>(value) : -1;
}

// "YYYYMMDDHHMMSS" with an optional fraction of a second ".s" to ".sss...".
bool ReadTimeVal(std::string_view text, TDateTime& out) {
  if (text.size() < 14) return false;
  int ms = 0;
  if (text.size() > 14) {
    const std::string_view fraction = text.substr(15);
    int64_t ignored = 0;
    if (text[14] != '.' || !ReadDigits(fraction.substr(0, 18), ignored)) return false;
    const std::string padded = std::string(fraction.substr(0, 3)) + std::string(3 - std::min<size_t>(3, fraction.size()), '0');
    ms = DigitsAt(padded, 0, 3);
  }
  const int year = DigitsAt(text, 0, 4), month = DigitsAt(text, 4, 2), day = DigitsAt(text, 6, 2);
  const int hour = DigitsAt(text, 8, 2), minute = DigitsAt(text, 10, 2), second = DigitsAt(text, 12, 2);
  return TryEncodeDateTime(year, month, day, hour, minute, second, ms, out);
}

}  // namespace

bool ParseMachineFacts(std::string_view line, TMachineFacts& out) {
  out = TMachineFacts();
  size_t pos = 0;
  while (pos < line.size() && line[pos] != ' ') {
    const size_t end = line.find(';', pos);
    if (end == std::string_view::npos) return false;
    const std::string_view fact = line.substr(pos, end - pos);
    pos = end + 1;
    const size_t equals = fact.find('=');
    if (equals == std::string_view::npos || equals == 0) return false;
    const std::string_view name = fact.substr(0, equals);
    const std::string_view value = fact.substr(equals + 1);
    if (SameAscii(name, "type")) {
      out.type = value;
    } else if (SameAscii(name, "size") || (SameAscii(name, "sizd") && !out.has_size)) {
      out.has_size = ReadDigits(value, out.size);
    } else if (SameAscii(name, "modify")) {
      out.has_modify = ReadTimeVal(value, out.modify);
    } else if (SameAscii(name, "perm")) {
      out.perm = value;
    }
  }
  if (pos >= line.size() || line[pos] != ' ') return false;
  out.name = line.substr(pos + 1);
  return !out.name.empty();
}

void TFTPList::ParseMachineLines() {
  parser_->KeepListingText();
  const bool plain = parser_->IsPlainList();
  for (const std::string_view line : Lines.Views()) {
    TMachineFacts facts;
    if (!ParseMachineFacts(line, facts)) {
      UnparsedLines.PushView(line);
      continue;
    }
    // The listed directory itself and its parent.
    if (SameAscii(facts.type, "cdir") || SameAscii(facts.type, "pdir")) continue;
    // A symbolic link counts as a directory, as in a LIST.
    const bool directory = SameAscii(facts.type, "dir") || StartsAscii(facts.type, "OS.unix=slink") ||
                           StartsAscii(facts.type, "OS.unix=symlink");
    if (directory && IsDotDirectory(facts.name)) continue;
    std::unique_ptr<TFTPListRec> created;
    TFTPListRec* entry = nullptr;
    if (plain) {
      entry = &Entries.AppendPlain();
    } else {
      created = CreateEntry();
      entry = created.get();
    }
    entry->EntryName.Refer(facts.name);
    entry->IsDirectory = directory;
    const bool perm_read = facts.perm.empty() || facts.perm.find_first_of("rR") != std::string_view::npos;
    entry->IsReadable = !SameAscii(facts.type, "dir") && perm_read;
    entry->SizeBytes = facts.has_size ? facts.size : 0;
    entry->ModifiedAt = facts.has_modify ? facts.modify : 0.0;
    entry->ModifiedIsUtc = true;
    entry->SourceLine.Refer(line);
    entry->MatchedMask.Refer("MLSD");
    if (created) Entries.push_back(std::move(created));
  }
}

}  // namespace zud
