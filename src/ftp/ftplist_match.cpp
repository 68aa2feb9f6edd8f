// Matching a listing line against a mask: the mask is translated once into
// steps (runs of one capture letter or of plain skips become one step), and
// the steps are run over the line with a single cursor.
#include <algorithm>

#include "ftp/ftplist.h"
#include "ftp/ftplist_mask.h"
#include "ftp/ftplist_parser.h"

namespace zud {

namespace {

using Op = TMaskStep::Op;

constexpr size_t kMonthNamesLength = 36;

bool IsAsciiDigit(char c) { return c >= '0' && c <= '9'; }

std::string TFTPList::*BufferOfLetter(char letter) {
  switch (letter) {
    case 'n': return &TFTPList::NameText;
    case 'v': return &TFTPList::VmsNameText;
    case 'D': return &TFTPList::DayText;
    case 'M': return &TFTPList::MonthText;
    case 'T': return &TFTPList::MonthNameText;
    case 'U': return &TFTPList::YearOrTimeText;
    case 'Y': return &TFTPList::YearText;
    case 'h': return &TFTPList::HourText;
    case 'H': return &TFTPList::AmPmText;
    case 'm': return &TFTPList::MinuteText;
    case 's': return &TFTPList::SecondText;
    case 'S': return &TFTPList::SizeText;
    case 'p': return &TFTPList::PermissionText;
    case 'd': return &TFTPList::DirFlagText;
    default: return nullptr;
  }
}

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
    if (step.buffer == nullptr) continue;
    step.field = kFieldNone;
    for (char letter : std::string_view("nvDMTUYhHmsSpd")) {
      if (step.buffer == BufferOfLetter(letter)) step.field = FieldOfLetter(letter);
    }
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
      return BufferOfLetter(mc) == nullptr;
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
        while (end < mask.size() && IsAsciiDigit(mask[end])) ++end;
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
          step.buffer = BufferOfLetter(previous);
          step.final_star = last;
        } else {
          TMaskStep& step = add(Op::kDigits);
          step.buffer = previous == 'S' ? &TFTPList::SizeText : nullptr;
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
        std::string TFTPList::*buffer = BufferOfLetter(mc);
        size_t run = 1;
        while (k + run < mask.size() &&
               (buffer ? mask[k + run] == mc && !IsSettingAt(mask, k + run)
                       : IsSkipOnly(mask[k + run]))) {
          ++run;
        }
        TMaskStep& step = add(buffer ? Op::kCapture : Op::kSkip);
        step.buffer = buffer;
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

int TFTPList::MatchLineToMask(std::string_view line, std::string_view next_line,
                              std::string_view mask) {
  ClearFieldBuffers();
  if (line.empty() || mask.empty()) return 0;
  const TCompiledMask& compiled = parser_->CompiledMaskFor(mask);
  if (compiled.names_only && LooksLikeReply(line)) return 0;
  const std::string_view text = compiled.text;
  int result = 1;
  size_t pos = 0;
  for (const TMaskStep& setting : compiled.settings) {
    std::string& buffer = setting.op == Op::kBlockSize ? BlockSizeText : MonthNamesText;
    buffer.assign(text.substr(setting.arg_start, setting.arg_length));
  }
  for (const TMaskStep& step : compiled.steps) {
    // The line may end where the last "*" of the mask would start; a "*"
    // further in must not let "total 0" pass for a name and a size.
    if (pos >= line.size()) return step.final_star ? result : 0;
    switch (step.op) {
      case Op::kCapture: {
        const size_t bytes = step.by_character ? CharacterBytes(line, pos, step.count) : step.count;
        if (bytes == std::string_view::npos || line.size() - pos < bytes) return 0;
        (this->*step.buffer).append(line.substr(pos, bytes));
        pos += bytes;
        break;
      }
      case Op::kSkip:
        if (line.size() - pos < step.count) return 0;
        pos += step.count;
        break;
      case Op::kNameRest:
        (this->*step.buffer).append(line.substr(pos));
        pos = line.size();
        break;
      case Op::kNameWord: {
        const size_t space = std::min(line.find(' ', pos), line.size());
        (this->*step.buffer).append(line.substr(pos, space - pos));
        pos = space;
        break;
      }
      case Op::kDigits: {
        const size_t start = pos;
        while (pos < line.size() && IsAsciiDigit(line[pos])) ++pos;
        if (step.buffer) (this->*step.buffer).append(line.substr(start, pos - start));
        break;
      }
      case Op::kBlanks:
        while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
        break;
      case Op::kWord:
        while (pos < line.size() && line[pos] != ' ') ++pos;
        while (pos < line.size() && line[pos] == ' ') ++pos;
        break;
      case Op::kDot: {
        const char c = line[pos];
        if (c != ' ' && c != '.') return 0;
        // An 8.3 name: the blanks padding the base name go before the dot.
        const size_t last = NameText.find_last_not_of(' ');
        NameText.erase(last == std::string::npos ? 0 : last + 1);
        NameText.erase(0, NameText.find_first_not_of(' '));
        NameText.push_back('.');
        ++pos;
        break;
      }
      case Op::kBlank:
        if (line[pos] != ' ') return 0;
        ++pos;
        break;
      case Op::kDirMark:
        if (step.arg_length > 0) DirMarkText.assign(1, text[step.arg_start]);
        ++pos;
        break;
      case Op::kNextLine:
        line = next_line;
        pos = 0;
        result = 2;
        break;
      case Op::kBlockSize:
      case Op::kMonthNames:
        break;
    }
  }
  return result;
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

}  // namespace zud
