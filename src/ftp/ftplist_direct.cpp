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
#include "ftp/ftplist_parser.h"

namespace zud {

namespace {

using Op = TMaskStep::Op;

}  // namespace

int TFTPListParser::MatchDirect(const TCompiledMask& mask, std::string_view line,
                          std::string_view next, TMatchState& state, TMatchState* saved,
                          size_t& failed_at) {
  TFieldViews& fields = state.fields;
  failed_at = 0;
  if (line.empty() || mask.steps.empty()) return 0;
  int result = state.result;
  if (result == 2) line = next;
  // Plain locals, so that writes to the captures do not make the compiler
  // read the mask and the line again at every step.
  const char* data = line.data();
  size_t size = line.size();
  size_t pos = state.pos;
  const TMaskStep* const steps = mask.steps.data();
  const size_t step_count = mask.steps.size();
  const size_t save_at =
      saved != nullptr && mask.save_at > state.step ? mask.save_at : std::string_view::npos;
  size_t k = state.step;
  for (; k < step_count; ++k) {
    const TMaskStep& step = steps[k];
    if (k == save_at) {
      state.step = k;
      state.pos = pos;
      state.result = result;
      saved->CopyFrom(state);
    }
    if (pos >= size) {
      if (!step.final_star) break;
      // The final "*" has nothing to take; what it would have completed is
      // complete now.
      if (step.check != kFieldNone && !CheckDirect(fields, step.check)) break;
      k = step_count;
      break;
    }
    const size_t start = pos;
    switch (step.op) {
      case Op::kCapture: {
        const size_t bytes = step.by_character ? CharacterBytes({data, size}, pos, step.count)
                                               : step.count;
        if (bytes == std::string_view::npos || size - pos < bytes) goto fail;
        pos += bytes;
        break;
      }
      case Op::kSkip:
        if (size - pos < step.count) goto fail;
        pos += step.count;
        break;
      case Op::kNameRest:
        pos = size;
        break;
      case Op::kNameWord:
        while (pos < size && data[pos] != ' ') ++pos;
        break;
      case Op::kDigits:
        while (pos < size && static_cast<unsigned char>(data[pos] - '0') <= 9) ++pos;
        break;
      case Op::kBlanks:
        while (pos < size && (data[pos] == ' ' || data[pos] == '\t')) ++pos;
        break;
      case Op::kWord:
        while (pos < size && data[pos] != ' ') ++pos;
        while (pos < size && data[pos] == ' ') ++pos;
        break;
      case Op::kBlank:
        if (data[pos] != ' ') goto fail;
        ++pos;
        break;
      case Op::kDirMark:
        if (step.arg_length > 0) fields.dir_mark = std::string_view(mask.text).substr(step.arg_start, 1);
        ++pos;
        break;
      case Op::kNextLine:
        data = next.data();
        size = next.size();
        pos = 0;
        result = 2;
        break;
      case Op::kDot:  // not in a direct mask
      case Op::kBlockSize:
      case Op::kMonthNames:
        goto fail;
    }
    if (step.field != kFieldNone) {
      // The runs of one field are adjacent: extend the view.
      std::string_view& value = fields.field[step.field];
      value = value.empty() ? std::string_view(data + start, pos - start)
                            : std::string_view(value.data(), value.size() + (pos - start));
      state.dirty |= 1u << step.field;
    }
    if (step.check != kFieldNone && !CheckDirect(fields, step.check)) goto fail;
  }
  if (k < step_count) {
  fail:
    failed_at = k;
    return 0;
  }
  failed_at = step_count;
  return CheckListNames(fields) ? result : 0;
}

bool TFTPListParser::CheckDirect(TFieldViews& fields, TListField field) {
  if (field != kFieldMonthName) return CheckListField(fields, field, separator_scratch_);
  const std::string_view value = fields.field[field];
  if (value.empty()) return true;
  fields.month = MonthFromName(value);
  return fields.month != 0;
}

bool TFTPListParser::ParseEplfDirect(std::string_view line) {
  TEplfFacts facts;
  if (!ParseEplfFacts(line, facts)) return false;
  TFTPListRec& entry = list_.Entries.AppendPlain();
  entry.EntryName.Refer(facts.name);
  entry.IsDirectory = facts.directory;
  entry.IsReadable = facts.readable;
  entry.SizeBytes = facts.size;
  entry.ModifiedAt = facts.modified;
  entry.ModifiedIsUtc = true;
  entry.SourceLine.Refer(line);
  entry.MatchedMask.Refer("EPLF");
  return true;
}

void TFTPListParser::ParseLinesDirect() {
  const std::vector<std::string_view>& lines = list_.Lines.Views();
  const size_t line_count = lines.size();
  const size_t mask_count = list_.Masks.size();
  std::vector<std::string_view> mask_texts(mask_count);
  for (size_t m = 0; m < mask_count; ++m) mask_texts[m] = KeptMaskText(m);
  std::string_view credits[static_cast<size_t>(TListReader::kCount)];
  bool readers = false;
  for (size_t r = 0; r < reader_masks_.size(); ++r) {
    if (reader_masks_[r] == kNoListMask) continue;
    credits[r] = mask_texts[reader_masks_[r]];
    readers = true;
  }
  TMatchState state;
  TMatchState snapshot;
  size_t i = 0;
  while (i < line_count) {
    const std::string_view line = lines[i];
    const std::string_view next = i + 1 < line_count ? lines[i + 1] : std::string_view();
    size_t consumed = 1;
    bool parsed = !line.empty() && line[0] == '+' && ParseEplfDirect(line);
    if (!parsed && readers &&
        (ParseUnixShortcut(line, credits, parsed) || ParseDosShortcut(line, credits, parsed) ||
         ParseVmsShortcut(line, credits, parsed))) {
      if (!parsed) list_.UnparsedLines.PushView(line);
      ++i;
      continue;
    }
    const bool reply = LooksLikeReply(line);
    // A mask that begins with the same steps as masks tried before on this
    // line fails where they failed, or starts from their state.
    size_t failed_step = 0, fail_steps_alike = 0;
    size_t snapshot_step = 0, snapshot_steps_alike = 0;
    for (size_t m = 0; !parsed && m < mask_count; ++m) {
      const TCompiledMask& mask = compiled_masks_[m];
      fail_steps_alike = std::min(fail_steps_alike, mask.shared_steps);
      snapshot_steps_alike = std::min(snapshot_steps_alike, mask.shared_steps);
      if (mask.names_only && reply) continue;
      int matched = 0;
      if (mask.direct) {
        if (failed_step < fail_steps_alike) continue;
        if (!mask.MayMatch(line)) {
          fail_steps_alike = 0;  // failed, but where is not known
          continue;
        }
        if (snapshot_step > 0 && snapshot_step <= snapshot_steps_alike) {
          state.CopyFrom(snapshot);
        } else {
          state.Restart();
        }
        TMatchState* save = mask.save_at > state.step ? &snapshot : nullptr;
        matched = MatchDirect(mask, line, next, state, save, failed_step);
        if (save != nullptr && failed_step >= mask.save_at) {
          snapshot_step = mask.save_at;
          snapshot_steps_alike = mask.steps.size();
        }
        if (matched <= 0) {
          fail_steps_alike = mask.steps.size();
          continue;
        }
        const TFieldViews& fields = state.fields;
        TFilledEntry filled;
        // As in ParseLines: no date, or no name, and the line stays unparsed.
        if (!FillListEntry(fields, parse_now_, filled) || filled.name.empty()) break;
        parsed = true;
        consumed = static_cast<size_t>(matched);
        if (filled.is_directory && IsDotDirectory(filled.name)) break;
        AppendFilledEntry(filled, line, mask_texts[m]);
        continue;
      }
      mask_hint_ = m;
      matched = list_.TFTPList::MatchLineToMask(line, next, list_.Masks[m]);
      if (matched <= 0 || !list_.TFTPList::ValidateFieldBuffers()) continue;
      TFTPListRec& entry = list_.Entries.AppendPlain();
      if (!list_.TFTPList::FillEntryFromBuffers(entry) || entry.EntryName.empty()) {
        list_.Entries.PopPlain();
        break;
      }
      parsed = true;
      consumed = static_cast<size_t>(matched);
      if (entry.IsDirectory && IsDotDirectory(entry.EntryName)) {
        list_.Entries.PopPlain();
        break;
      }
      entry.SourceLine.Refer(line);
      entry.MatchedMask.Refer(mask_texts[m]);
    }
    if (!parsed) list_.UnparsedLines.PushView(line);
    i += consumed;
  }
}

}  // namespace zud
