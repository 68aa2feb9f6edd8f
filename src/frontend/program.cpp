#include "frontend/program.h"

#include <exception>
#include <iostream>
#include <string>

#include "frontend/console.h"
#include "frontend/execparams.h"
#include "frontend/uploadjob.h"
#include "sockets/socketlayer.h"
#include "util/compat.h"
#include "util/textutil.h"

namespace zud {

TUploadSettings UploadSettings;

namespace {

constexpr const char* kVersion = "1.0.0";
constexpr const char* kExamplePath = "\"C:\\My Documents\\TEST.txt\"";

// Every switch is /name:value or -name:value, letters in any case.
bool FindSwitch(const std::string& name, std::string& value) {
  return FindSwitchValue({name}, {"/", "-"}, true, ':', value);
}

void WaitForEnter() {
  std::string line;
  std::getline(std::cin, line);
}

void Print(const std::string& text) { WriteOutput(text); }

// The program body proper; start-up and shut-down surround it. Returns the
// exit status: 1 when the upload failed, so that scripts can tell.
int RunBody() {
  if (IsHelpRequested()) {
    ShowUsage();
    return 0;
  }
  GatherUploadSettings(UploadSettings);
  const bool debugging = IsDebuggerAttached();
  if (debugging) Print(SettingsDump(UploadSettings));

  const bool uploaded = RunUpload();

  if (debugging) WaitForEnter();
  return uploaded ? 0 : 1;
}

}  // namespace

bool IsHelpRequested() {
  return ParameterCount() == 0 || IsSwitchPresent("?", "-/", true) ||
         IsSwitchPresent("-help", "-", true);
}

void GatherUploadSettings(TUploadSettings& settings) {
  settings.Server.clear();
  FindSwitch("host", settings.Server);

  settings.Port = 21;
  std::string port;
  if (FindSwitch("port", port)) settings.Port = TextToIntDef(port, 21);

  settings.User.clear();
  FindSwitch("user", settings.User);
  settings.Pass.clear();
  FindSwitch("pass", settings.Pass);

  std::string ignored;
  settings.Passive = FindSwitch("pasv", ignored);

  settings.Mode.clear();
  if (FindSwitch("ascii", ignored)) {
    settings.Mode = "ascii";
  } else if (FindSwitch("binary", ignored)) {
    settings.Mode = "binary";
  }

  settings.RemoteDir.clear();
  FindSwitch("dir", settings.RemoteDir);
  if (settings.RemoteDir.empty()) settings.RemoteDir = "/";

  settings.LocalPath = ParameterCount() >= 2 ? Parameter(ParameterCount()) : std::string();
}

std::string ProgramFileName(std::string_view path) {
  const size_t cut = path.find_last_of("/\\:");
  return std::string(cut == std::string_view::npos ? path : path.substr(cut + 1));
}

std::string UsageText(std::string_view exe_view) {
  const std::string exe(exe_view);
  const std::string lines[] = {
      exe + " Version:" + kVersion,
      "",
      "Usage:",
      exe + " PARAMS FILENAME",
      "",
      "PARAMS:",
      " /?                 : Show help messages(This Message)",
      " /host:hostname     : FTP Server HostName or IPAddress",
      " /port:serverport   : FTP Server Port(Default 21)",
      " /user:username     : Login username",
      " /pass:password     : Login password",
      " /pasv              : Use passive mode",
      " /ascii or /binary  : ASCII or BINARY mode",
      " /dir:RemoteDIR     : Remote Directory(Default /)",
      "",
      "FILENAME",
      " Input filepath",
      std::string(" When include spaces, like ") + kExamplePath,
      "",
      "ex.",
      exe + " /host:ftp.example.com /user:myuser /pass:pwsamp /pasv /ascii /dir:/testdir " +
          kExamplePath,
  };
  std::string text;
  for (const std::string& line : lines) text += line + "\r\n";
  return text;
}

void ShowUsage() {
  Print(UsageText(ProgramFileName(Parameter(0))));
  if (IsDebuggerAttached()) WaitForEnter();
}

std::string SettingsDump(const TUploadSettings& s) {
  return "server:" + s.Server + "\r\n" + "port:" + std::to_string(s.Port) + "\r\n" + "user:" +
         s.User + "\r\n" + "pass:" + s.Pass + "\r\n" + "mode:" + s.Mode + "\r\n" +
         "remote_dir:" + s.RemoteDir + "\r\n" + "local_path:" + s.LocalPath + "\r\n";
}

int RunProgram(int argc, char** argv) {
  int status = 0;
  try {
    // Start-up, in order: the parameters and ExecParams, the socket
    // interface (ResolverLock exists statically). The month names are read
    // from the locale when a listing first needs them.
    InitProgramParameters(argc, argv);
    BuildExecParams();
    StartSocketLayer();

    status = RunBody();
  } catch (const std::exception& e) {
    // The process-wide default handler: describe the exception and fail.
    Print(std::string("Exception: ") + e.what() + "\r\n");
    status = 1;
  } catch (...) {
    Print("Exception: unknown\r\n");
    status = 1;
  }
  // Shut-down in the opposite order; StopSocketLayer does nothing when the
  // start failed.
  StopSocketLayer();
  FreeExecParams();
  return status;
}

}  // namespace zud
