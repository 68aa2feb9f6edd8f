#include "frontend/credentials.h"

#include <optional>
#include <vector>

#include "frontend/console.h"
#include "frontend/settings.h"
#include "util/process.h"
#include "util/stream.h"
#include "util/textutil.h"

namespace zud {
namespace {

// Secrets files are a line or a few entries; a larger one is a wrong name.
constexpr size_t kMaxSecretsFileBytes = 1024 * 1024;

// The host as the netrc file names it: without IPv6 brackets.
std::string BareHost(const std::string& host) {
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    return host.substr(1, host.size() - 2);
  }
  return host;
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f'; }

class TNetrcTokens {
 public:
  explicit TNetrcTokens(std::string_view text) : text_(text) {}

  std::optional<std::string> Next() {
    while (pos_ < text_.size() && IsBlank(text_[pos_])) ++pos_;
    if (pos_ >= text_.size()) return std::nullopt;
    std::string token;
    if (text_[pos_] == '"') {
      for (++pos_; pos_ < text_.size() && text_[pos_] != '"'; ++pos_) {
        if (text_[pos_] == '\\' && pos_ + 1 < text_.size()) ++pos_;
        token += text_[pos_];
      }
      ++pos_;  // the closing quote
      return token;
    }
    while (pos_ < text_.size() && !IsBlank(text_[pos_])) token += text_[pos_++];
    return token;
  }

  // A macro body runs from the line after its name to the first empty line.
  void SkipMacroBody() {
    const size_t line_end = text_.find('\n', pos_);
    if (line_end == std::string_view::npos) {
      pos_ = text_.size();
      return;
    }
    for (size_t at = line_end;;) {
      const size_t next = text_.find('\n', at + 1);
      const std::string_view line = text_.substr(
          at + 1, next == std::string_view::npos ? std::string_view::npos : next - at - 1);
      if (line.empty() || line == "\r" || next == std::string_view::npos) {
        pos_ = next == std::string_view::npos ? text_.size() : next;
        return;
      }
      at = next;
    }
  }

 private:
  std::string_view text_;
  size_t pos_ = 0;
};

struct TEntry {
  bool is_default = false;
  std::string machine;
  TNetrcLogin login;
};

std::vector<TEntry> ParseEntries(std::string_view text) {
  std::vector<TEntry> entries;
  TNetrcTokens tokens(text);
  while (std::optional<std::string> token = tokens.Next()) {
    if (*token == "machine") {
      entries.push_back({false, tokens.Next().value_or(""), {}});
    } else if (*token == "default") {
      entries.push_back({true, "", {}});
    } else if (*token == "macdef") {
      tokens.Next();
      tokens.SkipMacroBody();
    } else if (*token == "login" || *token == "password" || *token == "account") {
      const std::string value = tokens.Next().value_or("");
      if (entries.empty()) continue;  // outside any entry: ignored
      if (*token == "login") entries.back().login.login = value;
      if (*token == "password") entries.back().login.password = value;
    }
  }
  return entries;
}

// Reads a secrets file; warns when other users may read it too. named: the
// file as a failure names it (the netrc names all the places it looked).
bool ReadSecretsFile(const std::string& path, const std::string& named, const char* what,
                     std::string& content) {
  std::string error;
  if (!ReadSmallFile(path, kMaxSecretsFileBytes, content, error)) {
    WriteErrorLine(std::string("cannot read the ") + what + " " + named + ": " + error);
    return false;
  }
  if (QueryLocalPath(path).others_can_read) {
    WriteErrorLine(std::string("warning: other users can read the ") + what + " " + path +
                   " (chmod 600 " + path + ")");
  }
  return true;
}

bool IsAnonymousLogin(const std::string& user) {
  return user.empty() || SameText8(user, "anonymous") || SameText8(user, "ftp");
}

}  // namespace

bool FindNetrcLogin(std::string_view text, std::string_view host, std::string_view user,
                    TNetrcLogin& found) {
  const std::vector<TEntry> entries = ParseEntries(text);
  const auto usable = [&](const TEntry& e) {
    return user.empty() || e.login.login.empty() || e.login.login == user;
  };
  for (const TEntry& e : entries) {
    if (!e.is_default && SameText8(e.machine, host) && usable(e)) {
      found = e.login;
      return true;
    }
  }
  for (const TEntry& e : entries) {
    if (e.is_default && usable(e)) {
      found = e.login;
      return true;
    }
  }
  return false;
}

std::string FirstLine(std::string_view text) {
  const size_t end = text.find_first_of("\r\n");
  return std::string(text.substr(0, end));
}

TExitStatus ResolveLoginSources(TUploadSettings& settings) {
  bool have_password = settings.PassGiven;
  // The classic /pass without /user stays as quiet as it always was.
  const bool typed_password = have_password;
  if (!have_password && settings.PassFile) {
    std::string content;
    if (!ReadSecretsFile(*settings.PassFile, *settings.PassFile, "password file", content)) {
      return TExitStatus::kLocalFile;
    }
    settings.Pass = FirstLine(content);
    have_password = true;
  }
  if (!have_password && settings.PassEnv) {
    const std::string& value = *settings.PassEnv;
    if (!ReadEnvironmentVariable(value, settings.Pass)) {
      WriteErrorLine("the environment variable " + value + " is not set");
      return TExitStatus::kCommandLine;
    }
    // A secret that did not reach the job (a CI variable not passed on)
    // would be sent as an empty password.
    if (settings.Pass.empty()) {
      WriteErrorLine("the environment variable " + value + " is empty");
      return TExitStatus::kCommandLine;
    }
    have_password = true;
  }
  if (settings.Netrc) {
    std::vector<std::string> candidates{*settings.Netrc};
    if (candidates.front().empty()) {
      candidates = DefaultNetrcFiles();
      if (candidates.empty()) {
        WriteErrorLine("cannot find the home directory for .netrc; name the file: /netrc:FILE");
        return TExitStatus::kLocalFile;
      }
    }
    // The first of the platform's names that is there counts; when none is,
    // the message names them all.
    std::string path, content;
    std::string tried;
    for (const std::string& candidate : candidates) {
      path = candidate;
      tried += (tried.empty() ? "" : " or ") + candidate;
      if (QueryLocalPath(path).kind != TLocalKind::kMissing) {
        tried = path;
        break;
      }
    }
    if (!ReadSecretsFile(path, tried, "netrc file", content)) return TExitStatus::kLocalFile;
    TNetrcLogin login;
    if (!FindNetrcLogin(content, BareHost(settings.Server), settings.User, login)) {
      WriteErrorLine("no entry for " + settings.Server + " in " + path);
    } else {
      if (settings.User.empty()) settings.User = login.login;
      if (!have_password) settings.Pass = login.password;
      have_password = have_password || !login.password.empty();
    }
  }
  if (have_password && !typed_password && settings.User.empty()) {
    WriteErrorLine("warning: a password without a user name is not used (give /user:NAME)");
  }
  if (!have_password && !IsAnonymousLogin(settings.User) && !IsStandardInputTerminal()) {
    const std::string sources = "/passenv:NAME, /passfile:FILE or /netrc";
    if (settings.FolderMode()) {
      WriteErrorLine("no password for " + settings.User +
                     " and no terminal to ask on: give it with " + sources);
      return TExitStatus::kCommandLine;
    }
    // The classic run sends an empty password, as it always did.
    WriteErrorLine("warning: no password for " + settings.User +
                   " and no terminal to ask on; an empty one is sent (" + sources +
                   " give one)");
  }
  return TExitStatus::kStored;
}

bool ShouldAskPassword(const TUploadSettings& settings) {
  return !settings.User.empty() && settings.Pass.empty() && !settings.PassGiven &&
         !settings.PassFile && !settings.PassEnv && IsStandardInputTerminal();
}

std::function<bool(std::string& password)> PasswordPrompt(const TUploadSettings& settings) {
  const std::string prompt = "Password for " + settings.User + "@" + settings.Server + ": ";
  return [prompt](std::string& password) { return ReadHiddenLine(prompt, password); };
}

}  // namespace zud
