// Matching listing lines against masks. A mask is translated once into
// steps (runs of one capture letter or of plain skips become one step), and
// one step runner walks them over the line with a single cursor. What it
// reads goes either into views of the line (a plain TFTPList, ParseLinesDirect
// below: each field checked the moment its last character is captured, so a
// mask that cannot match stops at its first wrong field) or into the field
// buffers (MatchLineToMask, for subclasses and for masks with "." or
// settings, whose captures are not plain pieces of the line).
#include <algorithm>

#include "ftp/ftplist.h"
#include "ftp/ftplist_mask.h"
#include "ftp/ftplist_parser.h"

namespace zud {

namespace {

using Op = TMaskStep::Op;

constexpr size_t kMonthNamesLength = 36;

// "S=" and "T=" give settings; "d=" is a column followed by "=".
bool IsSettingAt(std::string_view mask, size_t k) {
  return (mask[k] == 'S' || mask[k] == 'T') && k + 1 < mask.size() && mask[k + 1] == '=';
}

TListField FieldOfLetter(char letter) {
  switch (letter) {
    case 'n': return kFieldName;
    case 'v': return kFieldVmsName;
    case 'D': return kFieldDay;
    case 'M': return kFieldMonth;
    case 'T': return kFieldMonthName;
    case 'U': return kFieldYearOrTime;
    case 'Y': return kFieldYear;
    case 'h': return kFieldHour;
    case 'H': return kFieldAmPm;
    case 'm': return kFieldMinute;
    case 's': return kFieldSecond;
    case 'S': return kFieldSize;
    case 'p': return kFieldPermission;
    case 'd': return kFieldDirFlag;
    default: return kFieldNone;
  }
}

// Marks the last writer of every field, and whether the mask can be run
// with views: each field written by one unbroken run of steps on one line.
void AnalyseMask(TCompiledMask& out) {
  int last_writer[kFieldCount];
  int first_writer[kFieldCount];
  int line_breaks_before[kFieldCount];
  std::fill(std::begin(last_writer), std::end(last_writer), -1);
  std::fill(std::begin(first_writer), std::end(first_writer), -1);
  bool direct = out.settings.empty();
  bool names_only = out.settings.empty();
  int line_breaks = 0;
  for (size_t i = 0; i < out.steps.size(); ++i) {
    TMaskStep& step = out.steps[i];
    if (step.op == Op::kDot) direct = false;
    if (step.op == Op::kNextLine) ++line_breaks;
    if (step.field == kFieldNone) continue;
    const int f = step.field;
    if (f != kFieldName && f != kFieldVmsName && f != kFieldDirFlag) names_only = false;
    if (first_writer[f] < 0) {
      first_writer[f] = static_cast<int>(i);
      line_breaks_before[f] = line_breaks;
    } else if (last_writer[f] != static_cast<int>(i) - 1 || line_breaks_before[f] != line_breaks) {
      direct = false;
    }
    last_writer[f] = static_cast<int>(i);
  }
  for (int f = 0; f < kFieldCount; ++f) {
    if (last_writer[f] >= 0 && f != kFieldName && f != kFieldVmsName && f != kFieldDirFlag) {
      out.steps[static_cast<size_t>(last_writer[f])].check = static_cast<TListField>(f);
    }
  }
  out.direct = direct;
  out.names_only = names_only;

  // The shortest line the steps before the first line break can take: each
  // step needs a character left when it starts, a fixed-width one its width.
  size_t consumed = 0;
  out.min_length = 0;
  for (const TMaskStep& step : out.steps) {
    if (step.op == Op::kNextLine || step.final_star) break;
    size_t width = 0;
    switch (step.op) {
      case Op::kCapture:
        width = step.by_character ? 1 : step.count;  // a character may be several bytes
        break;
      case Op::kSkip:
        width = step.count;
        break;
      case Op::kDot:
      case Op::kBlank:
      case Op::kDirMark:
        width = 1;
        break;
      default:
        break;
    }
    out.min_length = std::max(out.min_length, consumed + std::max<size_t>(width, 1));
    consumed += width;
  }

  // The first character, where the first step captures a field whose check
  // looks at it: a permission letter, the start of a number, A or P, a blank.
  std::fill(std::begin(out.first_chars), std::end(out.first_chars), ~0ULL);
  if (out.steps.empty() || !out.settings.empty()) return;
  const TMaskStep& first = out.steps.front();
  std::string_view allowed;
  if (first.op == Op::kBlank) {
    allowed = " ";
  } else if (first.op == Op::kCapture && first.check == first.field) {
    switch (first.field) {
      case kFieldPermission: allowed = "-abcdhlprstwxy"; break;
      case kFieldDay: case kFieldMonth: case kFieldHour: case kFieldMinute: case kFieldSecond:
      case kFieldYear:
        allowed = " +-$xX0123456789";
        break;
      case kFieldSize: allowed = " 0123456789"; break;
      case kFieldAmPm: allowed = "AaPp"; break;
      default: break;
    }
  }
  if (allowed.empty()) return;
  std::fill(std::begin(out.first_chars), std::end(out.first_chars), 0ULL);
  for (char c : allowed) {
    const auto byte = static_cast<unsigned char>(c);
    out.first_chars[byte >> 6] |= 1ULL << (byte & 63);
  }
}

bool IsSkipOnly(char mc) {
  switch (mc) {
    case '*': case '$': case '!': case '.': case 'x': case '=': case '\\':
      return false;
    default:
      return FieldOfLetter(mc) == kFieldNone;
  }
}

}  // namespace

void CompileListMask(std::string_view mask, TCompiledMask& out) {
  out.text.assign(mask);
  out.settings.clear();
  out.steps.clear();
  auto add = [&out](Op op) -> TMaskStep& {
    TMaskStep& step = out.steps.emplace_back();
    step.op = op;
    return step;
  };
  char previous = ' ';
  for (size_t k = 0; k < mask.size(); ++k) {
    const char mc = mask[k];
    if (IsSettingAt(mask, k)) {
      const size_t arg = k + 2;
      size_t end = arg;
      if (mc == 'S') {
        while (end < mask.size() && IsAsciiDigitChar(mask[end])) ++end;
      } else {
        end = std::min(mask.size(), arg + kMonthNamesLength);
      }
      TMaskStep& step = out.settings.emplace_back();
      step.op = mc == 'S' ? Op::kBlockSize : Op::kMonthNames;
      step.arg_start = arg;
      step.arg_length = end - arg;
      k = end - 1;
      previous = '=';
      continue;
    }
    switch (mc) {
      case '*': {
        const bool last = k + 1 == mask.size();
        if (previous == 'n' || previous == 'v') {
          TMaskStep& step = add(last ? Op::kNameRest : Op::kNameWord);
          step.field = FieldOfLetter(previous);
          step.final_star = last;
        } else {
          TMaskStep& step = add(Op::kDigits);
          step.field = previous == 'S' ? kFieldSize : kFieldNone;
          step.final_star = last;
        }
        break;
      }
      case '$': add(Op::kBlanks); break;
      case '!': add(Op::kWord); break;
      case '.': add(Op::kDot); break;
      case 'x': add(Op::kBlank); break;
      case '\\': add(Op::kNextLine); break;
      case '=': {
        TMaskStep& step = add(Op::kDirMark);
        if (previous == 'd' && k + 1 < mask.size()) {
          step.arg_start = k + 1;
          step.arg_length = 1;
          ++k;  // the mark itself takes no line character
        }
        break;
      }
      default: {
        const TListField field = FieldOfLetter(mc);
        size_t run = 1;
        while (k + run < mask.size() &&
               (field != kFieldNone ? mask[k + run] == mc && !IsSettingAt(mask, k + run)
                                    : IsSkipOnly(mask[k + run]))) {
          ++run;
        }
        TMaskStep& step = add(field != kFieldNone ? Op::kCapture : Op::kSkip);
        step.field = field;
        step.count = run;
        step.by_character = mc == 'T';
        k += run - 1;
        previous = mask[k];
        continue;
      }
    }
    previous = mc;
  }
  AnalyseMask(out);
}

size_t CharacterBytesSlow(std::string_view text, size_t pos, size_t count) {
  const size_t start = pos;
  for (size_t n = 0; n < count; ++n) {
    if (pos >= text.size()) return std::string_view::npos;
    const auto lead = static_cast<unsigned char>(text[pos]);
    size_t length = 1;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
    }
    // Only a whole, well-formed sequence counts as one character; 8-bit text
    // such as "M\xE4r" stays one byte per character.
    for (size_t k = 1; k < length; ++k) {
      if (pos + k >= text.size() || (static_cast<unsigned char>(text[pos + k]) & 0xC0) != 0x80) {
        length = 1;
        break;
      }
    }
    pos += length;
  }
  return pos - start;
}

namespace {

// Runs the steps of mask from state on over line (and next, after "\"),
// handing what they read to sink:
//   Capture(field, data, length)  a piece of a field, in line order
//   Check(field)                  the field is complete: may it stand?
//   Dot(c)                        "." over the character c: may it stand?
//   DirMark(mark)                 the mark of "d=", a character of the mask
//   Finish()                      every step ran: does the whole stand?
// Copies the state at step save_at (when it is reached and later than the
// start) to saved. 0 and the failing step in failed_at when there is no match.
// Inlined into each route, so that the view route runs as a loop of its own.
template <class Sink>
[[gnu::always_inline]] inline int RunMaskSteps(const TCompiledMask& mask, std::string_view line,
                                               std::string_view next, TMatchState& state,
                                               TMatchState* saved, size_t& failed_at, Sink& sink) {
  failed_at = 0;
  if (line.empty()) return 0;
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
    // The line may end where the last "*" of the mask would start; a "*"
    // further in must not let "total 0" pass for a name and a size.
    if (pos >= size) {
      if (!step.final_star) break;
      // The final "*" has nothing to take; what it would have completed is
      // complete now.
      if (step.check != kFieldNone && !sink.Check(step.check)) break;
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
      case Op::kDot:
        if (!sink.Dot(data[pos])) goto fail;
        ++pos;
        break;
      case Op::kBlank:
        if (data[pos] != ' ') goto fail;
        ++pos;
        break;
      case Op::kDirMark:
        if (step.arg_length > 0) sink.DirMark(mask.text.data() + step.arg_start);
        ++pos;
        break;
      case Op::kNextLine:
        data = next.data();
        size = next.size();
        pos = 0;
        result = 2;
        break;
      case Op::kBlockSize:  // settings, never among the steps
      case Op::kMonthNames:
        break;
    }
    if (step.field != kFieldNone) sink.Capture(step.field, data + start, pos - start);
    if (step.check != kFieldNone && !sink.Check(step.check)) goto fail;
  }
  if (k < step_count) {
  fail:
    failed_at = k;
    return 0;
  }
  failed_at = step_count;
  return sink.Finish() ? result : 0;
}

// Captures appended to the field buffers, checked later by validation.
struct TBufferSink {
  TFTPList& list;
  void Capture(TListField field, const char* data, size_t length) {
    (list.*kListFieldBuffers[field]).append(data, length);
  }
  bool Check(TListField) { return true; }
  bool Dot(char c) {
    if (c != ' ' && c != '.') return false;
    // An 8.3 name: the blanks padding the base name go before the dot.
    std::string& name = list.NameText;
    const size_t last = name.find_last_not_of(' ');
    name.erase(last == std::string::npos ? 0 : last + 1);
    name.erase(0, name.find_first_not_of(' '));
    name.push_back('.');
    return true;
  }
  void DirMark(const char* mark) { list.DirMarkText.assign(1, *mark); }
  bool Finish() { return true; }
};

// Captures as views of the line, each field checked once complete. A direct
// mask writes each field in one run on one line and has no ".".
struct TViewSink {
  TFTPListParser& parser;
  TMatchState& state;
  void Capture(TListField field, const char* data, size_t length) {
    // The runs of one field are adjacent: extend the view.
    std::string_view& value = state.fields.field[field];
    value = value.empty() ? std::string_view(data, length)
                          : std::string_view(value.data(), value.size() + length);
    state.dirty |= 1u << field;
  }
  bool Check(TListField field) { return parser.CheckDirect(state.fields, field); }
  bool Dot(char) { return false; }
  void DirMark(const char* mark) { state.fields.dir_mark = {mark, 1}; }
  bool Finish() { return CheckListNames(state.fields); }
};

}  // namespace

bool ListMaskReadsOnlyNames(std::string_view mask) {
  TCompiledMask compiled;
  CompileListMask(mask, compiled);
  return compiled.names_only;
}

int TFTPList::MatchLineToMask(std::string_view line, std::string_view next_line,
                              std::string_view mask) {
  ClearFieldBuffers();
  if (line.empty() || mask.empty()) return 0;
  const TCompiledMask& compiled = parser_->CompiledMaskFor(mask);
  if (compiled.names_only && LooksLikeReply(line)) return 0;
  for (const TMaskStep& setting : compiled.settings) {
    std::string& buffer = setting.op == Op::kBlockSize ? BlockSizeText : MonthNamesText;
    buffer.assign(std::string_view(compiled.text).substr(setting.arg_start, setting.arg_length));
  }
  TMatchState state;
  TBufferSink sink{*this};
  size_t failed_at = 0;
  return RunMaskSteps(compiled, line, next_line, state, nullptr, failed_at, sink);
}

int TFTPListParser::MatchDirect(const TCompiledMask& mask, std::string_view line,
                                std::string_view next, TMatchState& state, TMatchState* saved,
                                size_t& failed_at) {
  TViewSink sink{*this, state};
  return RunMaskSteps(mask, line, next, state, saved, failed_at, sink);
}

bool TFTPListParser::CheckDirect(TFieldViews& fields, TListField field) {
  if (field != kFieldMonthName) return CheckListField(fields, field, separator_scratch_);
  const std::string_view value = fields.field[field];
  if (value.empty()) return true;
  fields.month = MonthFromName(value);
  return fields.month != 0;
}

const TCompiledMask& TFTPListParser::CompiledMaskFor(std::string_view mask) {
  if (mask_hint_ < compiled_masks_.size() && compiled_masks_[mask_hint_].text == mask) {
    return compiled_masks_[mask_hint_];
  }
  if (!scratch_mask_) scratch_mask_ = std::make_unique<TCompiledMask>();
  if (scratch_mask_->text != mask) {
    CompileListMask(mask, *scratch_mask_);
  }
  return *scratch_mask_;
}

namespace {

bool SameStep(const TMaskStep& a, const TMaskStep& b, std::string_view a_text,
              std::string_view b_text) {
  return a.op == b.op && a.final_star == b.final_star && a.by_character == b.by_character &&
         a.count == b.count && a.field == b.field && a.check == b.check &&
         a_text.substr(a.arg_start, a.arg_length) == b_text.substr(b.arg_start, b.arg_length);
}

}  // namespace

void TFTPListParser::CompileMasks() {
  reader_masks_.resize(static_cast<size_t>(TListReader::kCount));
  for (size_t r = 0; r < reader_masks_.size(); ++r) {
    reader_masks_[r] = ListReaderMask(static_cast<TListReader>(r), list_.Masks);
  }
  compiled_masks_.resize(list_.Masks.size());
  for (size_t m = 0; m < list_.Masks.size(); ++m) {
    if (compiled_masks_[m].text != list_.Masks[m]) {
      CompileListMask(list_.Masks[m], compiled_masks_[m]);
    }
  }
  // Neighbouring masks often begin alike (the Unix ones with "pppppppppp
  // $!!!S*$"): the steps they share are run once per line.
  for (size_t m = 0; m < compiled_masks_.size(); ++m) {
    TCompiledMask& mask = compiled_masks_[m];
    mask.shared_steps = 0;
    mask.save_at = 0;
    if (m == 0 || !mask.direct || !compiled_masks_[m - 1].direct) continue;
    const TCompiledMask& previous = compiled_masks_[m - 1];
    size_t k = 0;
    while (k < mask.steps.size() && k < previous.steps.size() &&
           SameStep(mask.steps[k], previous.steps[k], mask.text, previous.text)) {
      ++k;
    }
    // A shared final step would make the masks the same; let each run it.
    if (k == mask.steps.size() || k == previous.steps.size()) k = 0;
    mask.shared_steps = k;
  }
  for (size_t m = 0; m + 1 < compiled_masks_.size(); ++m) {
    compiled_masks_[m].save_at = compiled_masks_[m + 1].shared_steps;
  }
}

// ---- ParseLines of a plain TFTPList, over views -------------------------------
//
// The steps of ParseLines with captures that are views of the line and
// entries that are records from reusable blocks, their texts views of the
// listing text the list keeps; a month name is looked up once. A mask that
// is not direct (".", settings) still fills the field buffers.

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
