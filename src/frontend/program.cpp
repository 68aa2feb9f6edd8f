#include "frontend/program.h"

#include <algorithm>
#include <exception>
#include <optional>
#include <string>

#include "frontend/console.h"
#include "frontend/credentials.h"
#include "frontend/deployjob.h"
#include "frontend/execparams.h"
#include "frontend/failure.h"
#include "frontend/switches.h"
#include "frontend/uploadjob.h"
#include "sockets/socketlayer.h"
#include "sockets/tcpsocket.h"
#include "util/compat.h"
#include "util/process.h"
#include "util/textutil.h"
#include "util/version.h"

namespace zud {

TUploadSettings UploadSettings;

namespace {

// The classic usage text keeps the version it has always shown.
constexpr const char* kUsageVersion = "1.0.0";
constexpr const char* kExamplePath = "\"C:\\My Documents\\TEST.txt\"";

void WaitForEnter() {
  ReadStandardInputLine();
}

void Print(const std::string& text) { WriteOutput(text); }

// Whether new connections get a plug-in that can do TLS.
bool TLSAvailable() {
  TTCPBlockSocket probe;
  return probe.TLSPlugin().LibraryName() != TSSLNone(probe).LibraryName();
}

// The command line's, the local files' and the login's checks, then the
// upload job.
TExitStatus CheckAndUpload(TUploadSettings& settings, const TParsedCommandLine& parsed) {
  // One parameter is the classic case of a missing path, whatever it is.
  if (ParameterCount() >= 2) {
    if (!parsed.error.empty()) {
      WriteErrorLine(parsed.error);
      return TExitStatus::kCommandLine;
    }
    for (const std::string& warning : parsed.warnings) WriteErrorLine("warning: " + warning);
    if (settings.FolderMode()) {
      const std::string missing = CheckLocalSources(settings);
      if (!missing.empty()) {
        WriteErrorLine(missing);
        return TExitStatus::kLocalFile;
      }
    }
    if (settings.Tls.Wanted() && !TLSAvailable()) {
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
  // A single parameter stays the classic missing path, whatever it is.
  if (ParameterCount() >= 2 && settings.FolderMode()) {
    return RunDeployJob(settings);
  }
  return RunUploadJob(settings);
}

// The program body proper; start-up and shut-down surround it. Returns the
// exit status, by cause.
int RunBody() {
  if (IsHelpRequested()) {
    const std::vector<std::string> params = AllParameters();
    const bool all = std::any_of(params.begin(), params.end(),
                                 [](const std::string& p) { return SameText8(p, "all"); });
    if (all) {
      Print(FullHelpText(ProgramFileName(Parameter(0))));
    } else {
      ShowUsage();
    }
    return 0;
  }
  if (IsSwitchPresent("-version", "-", true)) {
    Print(VersionText(ProgramFileName(Parameter(0))));
    return 0;
  }
  TParsedCommandLine parsed = ParseCommandLine(AllParameters());
  UploadSettings = std::move(parsed.settings);
  const bool debugging = IsDebuggerAttached();
  if (debugging) Print(SettingsDump(UploadSettings));

  const TExitStatus status = CheckAndUpload(UploadSettings, parsed);

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
  return std::string(exe) + " " + VersionText() + "\r\n" + "TLS: " + tls.LibraryName() + " (" +
         tls.LibraryVersion() + ")\r\n";
}

std::vector<std::string> AllParameters() {
  std::vector<std::string> params;
  for (int i = 1; i <= ParameterCount(); ++i) params.push_back(Parameter(i));
  return params;
}

void GatherUploadSettings(TUploadSettings& settings) { settings = ReadSettings(AllParameters()); }

std::string CheckUploadSettings(TUploadSettings& settings) {
  return CheckSettings(settings, AllParameters());
}

std::string ProgramFileName(std::string_view path) {
  const size_t cut = path.find_last_of("/\\:");
  return std::string(cut == std::string_view::npos ? path : path.substr(cut + 1));
}

std::string UsageText(std::string_view exe_view) {
  const std::string exe(exe_view);
  const std::string lines[] = {
      exe + " Version:" + kUsageVersion,
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

// A folder deployed, the way most people start.
std::string FolderExample(const std::string& exe) {
  return exe + " /host:ftp.example.com /user:me /passenv:FTP_PASSWORD /recursive /sync " +
         "/dir:/htdocs public/";
}

std::string FullHelpText(std::string_view exe_view) {
  const std::string exe(exe_view);
  const std::string lines[] = {
      "",
      "Examples:",
      " Deploy the contents of public/ to /htdocs, then only what changed:",
      "  " + FolderExample(exe),
      " Preview a change (the plan on standard output, nothing sent):",
      "  " + FolderExample(exe) + " /dryrun",
      " One file, the classic way (the dialogue on standard output):",
      "  " + exe + " /host:ftp.example.com /user:me /passfile:pw.txt /pasv /binary f.zip",
      "",
      "Exit status: 0 done, 1 a local file, 2 the command line, 3 host not found,",
      " 4 no connection, 5 login refused, 6 TLS, 7 refused by the server,",
      " 8 transfer failed, 9 timeout, 10 another deploy holds the lock,",
      " 11 deletes held back, 130 interrupted.",
      "More: man ftpupload, and the README's docs/ folder.",
  };
  std::string text = exe + " Version:" + kUsageVersion + "\r\n\r\nUsage:\r\n" + exe +
                     " [SWITCHES] FILE... | /recursive FOLDER...\r\n\r\nSwitches (/name or "
                     "-name, any letter case):\r\n" +
                     FullSwitchHelp();
  for (const std::string& line : lines) text += line + "\r\n";
  return text;
}

void ShowUsage() {
  const std::string exe = ProgramFileName(Parameter(0));
  Print(UsageText(exe));
  WriteErrorLine("deploy a folder: " + FolderExample(exe));
  WriteErrorLine("more switches: " + exe + " --help all, or man ftpupload");
  if (IsDebuggerAttached()) WaitForEnter();
}

std::string SettingsDump(const TUploadSettings& s) {
  // A tracer's output may be kept or shared: the password is masked as the
  // dialogue masks it.
  const std::string pass = s.Pass.empty() ? std::string() : std::string("**********");
  return "server:" + s.Server + "\r\n" + "port:" + std::to_string(s.Port) + "\r\n" + "user:" +
         s.User + "\r\n" + "pass:" + pass + "\r\n" + "mode:" + s.Mode + "\r\n" +
         "remote_dir:" + s.RemoteDir + "\r\n" + "local_path:" + s.LocalPath + "\r\n";
}

int RunProgram(int argc, char** argv) {
  int status = 0;
  try {
    // A closed output pipe must not end the upload; its outcome decides the
    // status. An interrupt outside a transfer ends the process at once.
    IgnoreBrokenPipe();
    PrepareStandardStreams();
    const std::string unreadable = InitProgramParameters(argc, argv);
    SetMessagePrefix(ProgramFileName(Parameter(0)));
    if (!unreadable.empty()) {  // nothing started yet that shut-down would end
      WriteErrorLine(unreadable);
      return static_cast<int>(TExitStatus::kCommandLine);
    }
    InstallInterruptHandler(ProgramFileName(Parameter(0)) + ": interrupted\n");
    // Start-up, in order: the parameters and ExecParams, the socket
    // interface (ResolverLock exists statically). The month names are read
    // from the locale when a listing first needs them.
    BuildExecParams();
    // The tool speaks TLS through the default plug-in (OpenSSL), which
    // loads the library only if a TLS switch asks for a session.
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
  // After the clean stop, Ctrl-C ends the process by its signal, so that a
  // shell loop around the tool stops too.
  EndByInterruptSignal();
  return status;
}

}  // namespace zud
