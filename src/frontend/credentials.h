// Where the login comes from when it is not typed on the command line: a
// netrc file, a password file or an environment variable.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "util/api.h"

namespace ZUD_API zud {

struct TNetrcLogin {
  std::string login;
  std::string password;
};

// Looks host up in netrc text. Tokens are separated by blanks and line ends;
// a token may be quoted ("a b", with \" and \\ inside). Entries start with
// "machine NAME" or "default" and hold "login", "password" and "account"
// pairs; "macdef NAME" and its body, up to an empty line, are skipped. The
// first machine entry whose name equals host (ignoring letter case) wins,
// else the default entry. When user is not empty, only entries without a
// login or with that login count. False when no entry matches.
bool FindNetrcLogin(std::string_view text, std::string_view host, std::string_view user,
                    TNetrcLogin& found);

// The first line of a password file, without its line end.
std::string FirstLine(std::string_view text);

}  // namespace zud

#include "frontend/failure.h"

namespace ZUD_API zud {

struct TUploadSettings;

// Completes settings.User and settings.Pass from /passfile:FILE, /passenv:NAME
// and /netrc[:FILE] when they are given. /pass wins over the other password
// sources, then /passfile, /passenv and the netrc entry; /user wins over the
// netrc login. Writes its messages (never a password) to standard error.
// kStored when the login is complete, else kLocalFile (a file cannot be
// read) or kCommandLine (the variable is not set).
TExitStatus ResolveLoginSources(TUploadSettings& settings);

// Whether the tool should ask for the password on the terminal when the
// server wants one: a user name but no password from any source, and
// standard input is a terminal.
bool ShouldAskPassword(const TUploadSettings& settings);
// Asks for the password on the terminal: "Password for USER@HOST: ".
std::function<bool(std::string& password)> PasswordPrompt(const TUploadSettings& settings);

}  // namespace zud
