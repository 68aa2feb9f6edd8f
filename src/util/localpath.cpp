#include "util/localpath.h"

#include <algorithm>

#include "util/textutil.h"

namespace zud {

std::string WindowsNameRefusal(std::string_view name) {
  for (const char c : name) {
    if (static_cast<unsigned char>(c) >= 1 && static_cast<unsigned char>(c) < 32) {
      return "holds a control character";
    }
    if (std::string_view("<>:\"/\\|?*").find(c) != std::string_view::npos) {
      return std::string("holds the character \"") + c + "\"";
    }
  }
  // The device names count before the first dot, blanks before it ignored.
  std::string_view stem = name.substr(0, name.find('.'));
  while (!stem.empty() && stem.back() == ' ') stem.remove_suffix(1);
  const std::string upper = UpperCase8(stem);
  static constexpr std::string_view kDevices[] = {"CON", "PRN", "AUX", "NUL"};
  const bool numbered =
      (upper.rfind("COM", 0) == 0 || upper.rfind("LPT", 0) == 0) &&
      ((upper.size() == 4 && upper[3] >= '0' && upper[3] <= '9') ||
       upper.substr(3) == "\xC2\xB9" || upper.substr(3) == "\xC2\xB2" ||
       upper.substr(3) == "\xC2\xB3");  // superscript one, two, three
  if (numbered || std::find(std::begin(kDevices), std::end(kDevices), upper) != std::end(kDevices)) {
    return "is a reserved device name";
  }
  if (!name.empty() && name.back() == '.' && name != "." && name != "..") return "ends in a dot";
  if (!name.empty() && name.back() == ' ') return "ends in a blank";
  return std::string();
}

}  // namespace zud
