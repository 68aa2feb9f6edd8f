#include "frontend/program.h"

#include <exception>
#include <optional>
#include <string>

#include "frontend/console.h"
#include "frontend/credentials.h"
#include "frontend/execparams.h"
#include "frontend/failure.h"
#include "frontend/switches.h"
#include "frontend/uploadjob.h"
#include "sockets/socketlayer.h"
#include "sockets/tcpsocket.h"
#include "sockets/tls_openssl.h"
#include "util/compat.h"
#include "util/process.h"
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
  ReadStandardInputLine();
}

void Print(const std::string& text) { WriteOutput(text); }

std::vector<std::string> AllParameters() {
  std::vector<std::string> params;
  for (int i = 1; i <= ParameterCount(); ++i) params.push_back(Parameter(i));
  return params;
}

// Whether new connections get a plug-in that can do TLS.
bool TLSAvailable() {
  TTCPBlockSocket probe;
  return probe.TLSPlugin().LibraryName() != TSSLNone(probe).LibraryName();
}

bool HoldsLineBreak(std::string_view text) {
  return text.find_first_of("\r\n") != std::string_view::npos;
}

// The command line's and the login's checks, then the upload job.
TExitStatus CheckAndUpload(TUploadSettings& settings) {
  // One parameter is the classic case of a missing path, whatever it is.
  if (ParameterCount() >= 2) {
    const std::string error = CheckUploadSettings(settings);
    if (!error.empty()) {
      WriteErrorLine(error);
      return TExitStatus::kCommandLine;
    }
    std::string ignored;
    if ((FindSwitch("tls", ignored) || FindSwitch("ftps", ignored)) && !TLSAvailable()) {
      WriteErrorLine("TLS was asked for, but this build has no TLS library");
      return TExitStatus::kTLS;
    }
    const TExitStatus login = ResolveLoginSources(settings);
    if (login != TExitStatus::kStored) return login;
    if (HoldsLineBreak(settings.User) || HoldsLineBreak(settings.Pass)) {
      WriteErrorLine("the user name or password holds a line break, which an FTP command "
                     "cannot carry");
      return TExitStatus::kCommandLine;
    }
  }
  return RunUploadJob();
}

// The program body proper; start-up and shut-down surround it. Returns the
// exit status, by cause.
int RunBody() {
  if (IsHelpRequested()) {
    ShowUsage();
    return 0;
  }
  if (IsSwitchPresent("-version", "-", true)) {
    Print(VersionText(ProgramFileName(Parameter(0))));
    return 0;
  }
  GatherUploadSettings(UploadSettings);
  const bool debugging = IsDebuggerAttached();
  if (debugging) Print(SettingsDump(UploadSettings));

  const TExitStatus status = CheckAndUpload(UploadSettings);

  if (debugging) WaitForEnter();
  return static_cast<int>(status);
}

}  // namespace

bool IsHelpRequested() {
  return ParameterCount() == 0 || IsSwitchPresent("?", "-/", true) ||
         IsSwitchPresent("-help", "-", true) || IsSwitchPresent("h", "-", false);
}

std::string VersionText(std::string_view exe) {
  // The plug-in every new connection would get names the TLS library.
  TTCPBlockSocket probe;
  const TCustomSSL& tls = probe.TLSPlugin();
  return std::string(exe) + " " + kVersion + "\r\n" + "TLS: " + tls.LibraryName() + " (" +
         tls.LibraryVersion() + ")\r\n";
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
  settings.Files.clear();
  if (ParameterCount() >= 2) settings.Files = LocalFileParameters(AllParameters());

  settings.TimeoutMs = 120000;
  std::string timeout;
  if (FindSwitch("timeout", timeout)) settings.TimeoutMs = ParseTimeoutValue(timeout).value_or(0);
  settings.Resume = FindSwitch("resume", ignored);
  settings.Quiet = FindSwitch("quiet", ignored);
}

std::string CheckUploadSettings(TUploadSettings& settings) {
  const std::vector<std::string> params = AllParameters();
  std::string error = FindSwitchError(params);
  if (!error.empty()) return error;
  std::string value;
  if (FindSwitch("port", value)) {
    const std::optional<int> port = ParsePortValue(value);
    if (!port) return "the port must be a number from 1 to 65535: /port:" + value;
    settings.Port = *port;
  }
  if (FindSwitch("timeout", value)) {
    const std::optional<int> timeout = ParseTimeoutValue(value);
    if (!timeout) return "the timeout must be whole seconds from 1 to 2147483: /timeout:" + value;
    settings.TimeoutMs = *timeout;
  }
  if (settings.Server.empty()) return "no host given: /host:NAME";
  if (HoldsLineBreak(settings.RemoteDir)) {
    return "the remote directory holds a line break, which an FTP command cannot carry";
  }
  for (const std::string& file : settings.Files) {
    if (HoldsLineBreak(LocalFileNamePart(file))) {
      return "the file name " + file + " holds a line break, which an FTP command cannot carry";
    }
  }
  return std::string();
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
    // A closed output pipe must not end the upload; its outcome decides the
    // status. An interrupt outside a transfer ends the process at once.
    IgnoreBrokenPipe();
    PrepareStandardStreams();
    InitProgramParameters(argc, argv);
    SetMessagePrefix(ProgramFileName(Parameter(0)));
    InstallInterruptHandler(ProgramFileName(Parameter(0)) + ": interrupted\n");
    // Start-up, in order: the parameters and ExecParams, the socket
    // interface (ResolverLock exists statically). The month names are read
    // from the locale when a listing first needs them.
    BuildExecParams();
    StartSocketLayer();
    // The tool speaks TLS through OpenSSL; the library is loaded only if a
    // TLS switch asks for a session.
    SetDefaultTLSPluginClass(OpenSSLPluginClass());

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
