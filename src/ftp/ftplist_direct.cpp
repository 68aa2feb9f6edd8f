// ParseLines for a plain TFTPList: the steps of ftplist.cpp and
// ftplist_match.cpp over views. Captures are views of the line, each field
// is checked the moment its last character is captured (so a mask that
// cannot match stops at its first wrong field), a month name is looked up
// once, and entries are records from reusable blocks whose texts are views
// of the listing text the list keeps. Masks with "." or settings, whose
// captures are not plain pieces of the line, go through the field buffers.
#include <algorithm>

#include "ftp/ftplist.h"
#include "ftp/ftplist_fields.h"
#include "ftp/ftplist_mask.h"

namespace zud {

namespace {

using Op = TMaskStep::Op;

constexpr int64_t kSecondsPerDay = 86400;
constexpr double kUnixEpochDays = 25569.0;

std::string_view Strip(std::string_view s) {
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  return s;
}

bool IsDotDirectory(std::string_view name) { return name == "." || name == ".."; }

}  // namespace

int TFTPList::MatchDirect(const TCompiledMask& mask, std::string_view line,
                          std::string_view next, TFieldViews& fields) {
  fields = TFieldViews();
  if (line.empty() || mask.steps.empty()) return 0;
  auto check = [&](TListField field) {
    std::string_view& value = fields.field[field];
    if (field != kFieldMonthName) return CheckListField(field, value, separator_scratch_);
    if (value.empty()) return true;
    fields.month = MonthFromName(value);
    return fields.month != 0;
  };
  int result = 1;
  size_t pos = 0;
  for (const TMaskStep& step : mask.steps) {
    if (pos >= line.size()) {
      if (!step.final_star) return 0;
      // The final "*" has nothing to take; what it would have completed is
      // complete now.
      if (step.check != kFieldNone && !check(step.check)) return 0;
      break;
    }
    const size_t start = pos;
    switch (step.op) {
      case Op::kCapture: {
        const size_t bytes = step.by_character ? CharacterBytes(line, pos, step.count) : step.count;
        if (bytes == std::string_view::npos || line.size() - pos < bytes) return 0;
        pos += bytes;
        break;
      }
      case Op::kSkip:
        if (line.size() - pos < step.count) return 0;
        pos += step.count;
        break;
      case Op::kNameRest:
        pos = line.size();
        break;
      case Op::kNameWord:
        pos = std::min(line.find(' ', pos), line.size());
        break;
      case Op::kDigits:
        while (pos < line.size() && line[pos] >= '0' && line[pos] <= '9') ++pos;
        break;
      case Op::kBlanks:
        while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
        break;
      case Op::kWord:
        while (pos < line.size() && line[pos] != ' ') ++pos;
        while (pos < line.size() && line[pos] == ' ') ++pos;
        break;
      case Op::kBlank:
        if (line[pos] != ' ') return 0;
        ++pos;
        break;
      case Op::kDirMark:
        if (step.arg_length > 0) fields.dir_mark = std::string_view(mask.text).substr(step.arg_start, 1);
        ++pos;
        break;
      case Op::kNextLine:
        line = next;
        pos = 0;
        result = 2;
        break;
      case Op::kDot:  // not in a direct mask
      case Op::kBlockSize:
      case Op::kMonthNames:
        return 0;
    }
    if (step.field != kFieldNone) {
      // The runs of one field are adjacent: extend the view.
      std::string_view& value = fields.field[step.field];
      const std::string_view piece = line.substr(start, pos - start);
      value = value.empty() ? piece : std::string_view(value.data(), value.size() + piece.size());
    }
    if (step.check != kFieldNone && !check(step.check)) return 0;
  }
  return CheckListNames(fields) ? result : 0;
}

bool TFTPList::ParseEplfDirect(std::string_view line) {
  const std::string_view rest = line.substr(1);
  const size_t tab = rest.find('\t');
  const std::string_view name = tab == std::string_view::npos ? rest : rest.substr(tab + 1);
  if (name.empty()) return false;
  bool directory = false;
  bool readable = false;
  int64_t size = 0;
  TDateTime modified = 0.0;
  size_t pos = 0;
  for (;;) {
    const size_t comma = rest.find(',', pos);
    const std::string_view fact =
        Strip(rest.substr(pos, comma == std::string_view::npos ? std::string_view::npos : comma - pos));
    pos = comma == std::string_view::npos ? rest.size() : comma + 1;
    if (fact.empty() || fact[0] == '\t') break;
    const std::string_view value = fact.substr(1);
    switch (fact[0]) {
      case '/':
        directory = true;
        break;
      case 'r':
        readable = true;
        break;
      case 's':
        size = std::max<int64_t>(TextToInt64Def(value, 0), 0);
        break;
      case 'm':
        modified = static_cast<double>(TextToInt64Def(value, 0)) / kSecondsPerDay + kUnixEpochDays;
        break;
      default:
        break;
    }
  }
  if (directory && IsDotDirectory(name)) return false;
  TFTPListRec& entry = Entries.AppendPlain();
  entry.EntryName.Refer(name);
  entry.IsDirectory = directory;
  entry.IsReadable = readable;
  entry.SizeBytes = size;
  entry.ModifiedAt = modified;
  entry.SourceLine.Refer(line);
  entry.MatchedMask.Refer("EPLF");
  return true;
}

void TFTPList::ParseLinesDirect() {
  const std::vector<std::string_view>& lines = Lines.Views();
  const size_t line_count = lines.size();
  const size_t mask_count = Masks.size();
  std::vector<std::string_view> mask_texts(mask_count);
  for (size_t m = 0; m < mask_count; ++m) mask_texts[m] = KeptMaskText(m);
  TFieldViews fields;
  size_t i = 0;
  while (i < line_count) {
    const std::string_view line = lines[i];
    const std::string_view next = i + 1 < line_count ? lines[i + 1] : std::string_view();
    size_t consumed = 1;
    bool parsed = !line.empty() && line[0] == '+' && ParseEplfDirect(line);
    const bool reply = LooksLikeReply(line);
    for (size_t m = 0; !parsed && m < mask_count; ++m) {
      const TCompiledMask& mask = compiled_masks_[m];
      if (mask.names_only && reply) continue;
      int matched = 0;
      if (mask.direct) {
        matched = MatchDirect(mask, line, next, fields);
        if (matched <= 0) continue;
        TFilledEntry filled;
        // As in ParseLines: no date, or no name, and the line stays unparsed.
        if (!FillListEntry(fields, parse_now_, filled) || filled.name.empty()) break;
        parsed = true;
        consumed = static_cast<size_t>(matched);
        if (filled.is_directory && IsDotDirectory(filled.name)) break;
        TFTPListRec& entry = Entries.AppendPlain();
        entry.EntryName.Refer(filled.name);
        entry.IsDirectory = filled.is_directory;
        entry.IsReadable = filled.is_readable;
        entry.SizeBytes = filled.size;
        entry.ModifiedAt = filled.modified;
        entry.PermissionString.Refer(filled.permissions);
        entry.SourceLine.Refer(line);
        entry.MatchedMask.Refer(mask_texts[m]);
        continue;
      }
      mask_hint_ = m;
      matched = TFTPList::MatchLineToMask(line, next, Masks[m]);
      if (matched <= 0 || !TFTPList::ValidateFieldBuffers()) continue;
      TFTPListRec& entry = Entries.AppendPlain();
      if (!TFTPList::FillEntryFromBuffers(entry) || entry.EntryName.empty()) {
        Entries.PopPlain();
        break;
      }
      parsed = true;
      consumed = static_cast<size_t>(matched);
      if (entry.IsDirectory && IsDotDirectory(entry.EntryName)) {
        Entries.PopPlain();
        break;
      }
      entry.SourceLine.Refer(line);
      entry.MatchedMask.Refer(mask_texts[m]);
    }
    if (!parsed) UnparsedLines.PushView(line);
    i += consumed;
  }
}

}  // namespace zud
