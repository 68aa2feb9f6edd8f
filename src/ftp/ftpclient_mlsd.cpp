// TFTPSend: the machine listings of RFC 3659 and FEAT, which announces them
// and the other extensions. MLSD and MLST sit beside LIST, which keeps its
// classic behaviour; they are sent only to a server whose FEAT names MLST.
#include <string>
#include <string_view>

#include "ftp/ftpclient.h"
#include "ftp/ftpclient_text.h"
#include "util/textutil.h"

namespace zud {

using ftp_internal::ReplyClass;
using ftp_internal::TrimControlChars;

bool TFTPSend::ReadFeatures() {
  features_.clear();
  features_read_ = true;
  if (ReplyClass(SendCommand("FEAT")) != 2) return false;
  // "211-Features:", one feature per line led by a space, "211 End".
  for (const std::string& line : FullResult()) {
    if (!line.empty() && line[0] == ' ') features_.push_back(TrimControlChars(line));
  }
  return true;
}

bool TFTPSend::HasFeature(std::string_view name) {
  if (name.empty()) return false;
  if (!features_read_) ReadFeatures();
  for (const std::string& feature : features_) {
    // The word names the feature; what follows are its parameters.
    if (SameText8(std::string_view(feature).substr(0, feature.find(' ')), name)) return true;
  }
  return false;
}

bool TFTPSend::HasMachineListing() { return HasFeature("MLST"); }

bool TFTPSend::ListMachineDirectory(const std::string& directory) {
  DataStream().Clear();
  FtpList().ClearListing();
  if (!HasMachineListing()) return false;
  SendCommand("TYPE A");
  if (!PrepareDataConnection()) return false;
  const std::string argument = directory.empty() ? std::string() : " " + directory;
  if (ReplyClass(SendCommand("MLSD" + argument)) != 1) return false;
  const bool result = DownloadOverData(DataStream());
  if (result) {
    FtpList().LoadLinesFromText(DataStream().Data());
    FtpList().ParseMachineLines();
  }
  DataStream().SetPosition(0);
  return result;
}

bool TFTPSend::ReadMachineEntry(const std::string& name) {
  FtpList().ClearListing();
  if (!HasMachineListing()) return false;
  const std::string argument = name.empty() ? std::string() : " " + name;
  if (ReplyClass(SendCommand("MLST" + argument)) != 2) return false;
  // "250-Listing name", then the fact line led by one space, then "250 End".
  for (const std::string& line : FullResult()) {
    if (line.size() > 1 && line[0] == ' ') {
      std::string facts = line.substr(1);
      while (!facts.empty() && (facts.back() == '\r' || facts.back() == '\n')) facts.pop_back();
      FtpList().Lines.push_back(facts);
      break;
    }
  }
  FtpList().ParseMachineLines();
  return FtpList().EntryCount() == 1;
}

}  // namespace zud
