#include "frontend/program.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "frontend/execparams.h"

namespace zud {
namespace {

TUploadSettings Gather(std::vector<std::string> params) {
  params.insert(params.begin(), "ftpupload");
  SetProgramParameters(std::move(params));
  TUploadSettings settings;
  // Stale values must not survive a gathering.
  settings.Server = settings.User = settings.Pass = settings.Mode = settings.LocalPath = "stale";
  settings.RemoteDir = "stale";
  settings.Port = 1;
  settings.Passive = true;
  GatherUploadSettings(settings);
  return settings;
}

TEST(UploadSettingsTest, DefaultsWhenNoSwitchIsGiven) {
  const TUploadSettings s = Gather({"file.txt"});
  EXPECT_EQ(s.Server, "");
  EXPECT_EQ(s.Port, 21);
  EXPECT_EQ(s.User, "");
  EXPECT_EQ(s.Pass, "");
  EXPECT_FALSE(s.Passive);
  EXPECT_EQ(s.Mode, "");
  EXPECT_EQ(s.RemoteDir, "/");
  EXPECT_EQ(s.LocalPath, "");  // one parameter is not enough for a path
}

TEST(UploadSettingsTest, EverySwitch) {
  const TUploadSettings s = Gather({"/host:ftp.example.org", "-PORT:2121", "/user:Me", "/pass:a:b",
                                    "/pasv", "/binary", "/dir:/pub/in", "C:\\My Documents\\x.txt"});
  EXPECT_EQ(s.Server, "ftp.example.org");
  EXPECT_EQ(s.Port, 2121);
  EXPECT_EQ(s.User, "Me");
  EXPECT_EQ(s.Pass, "a:b");
  EXPECT_TRUE(s.Passive);
  EXPECT_EQ(s.Mode, "binary");
  EXPECT_EQ(s.RemoteDir, "/pub/in");
  EXPECT_EQ(s.LocalPath, "C:\\My Documents\\x.txt");
}

TEST(UploadSettingsTest, PortFallsBackTo21) {
  struct Case {
    const char* param;
    int32_t port;
  } cases[] = {
      {"/port:abc", 21}, {"/port:", 21},      {"/port", 21},     {"/port:2121", 2121},
      {"/port:$15", 21}, {"/port:0x10", 16},  {"/port: 990", 990}, {"/port:99999999999", 21},
      {"/port:-5", -5},  {"/port:21 ", 21},
  };
  for (const Case& c : cases) EXPECT_EQ(Gather({c.param, "f"}).Port, c.port) << c.param;
}

TEST(UploadSettingsTest, SwitchCombinations) {
  EXPECT_TRUE(Gather({"/pasv:no", "f"}).Passive);
  EXPECT_FALSE(Gather({"/pasvx", "f"}).Passive);
  EXPECT_EQ(Gather({"/binary", "/ascii", "f"}).Mode, "ascii");
  EXPECT_EQ(Gather({"-ASCII", "f"}).Mode, "ascii");
  EXPECT_EQ(Gather({"/dir:", "f"}).RemoteDir, "/");
  EXPECT_EQ(Gather({"/dir", "f"}).RemoteDir, "/");
  EXPECT_EQ(Gather({"/host:first", "/host:second", "f"}).Server, "first");
}

TEST(UploadSettingsTest, LastParameterIsThePathWhateverItLooksLike) {
  const TUploadSettings s = Gather({"file.txt", "/host:h"});
  EXPECT_EQ(s.LocalPath, "/host:h");
  EXPECT_EQ(s.Server, "h");  // and it is still searched for switches
  EXPECT_EQ(Gather({"/host:x"}).LocalPath, "");
}

TEST(HelpDecisionTest, WhenTheUsageTextIsShown) {
  struct Case {
    std::vector<std::string> params;
    bool help;
  } cases[] = {
      {{}, true},
      {{"/?"}, true},
      {{"-?"}, true},
      {{"--HELP"}, true},
      {{"--help"}, true},
      {{"/host:x", "/?", "file"}, true},
      {{"-help"}, false},
      {{"/help"}, false},
      {{"/host:x", "file"}, false},
      {{""}, false},
  };
  for (const Case& c : cases) {
    std::vector<std::string> params = c.params;
    params.insert(params.begin(), "ftpupload");
    SetProgramParameters(params);
    EXPECT_EQ(IsHelpRequested(), c.help) << testing::PrintToString(c.params);
  }
}

TEST(ProgramFileNameTest, CutAfterLastSeparatorOrColon) {
  EXPECT_EQ(ProgramFileName("/usr/local/bin/ftpupload"), "ftpupload");
  EXPECT_EQ(ProgramFileName("C:\\Tools\\ftpupload.exe"), "ftpupload.exe");
  EXPECT_EQ(ProgramFileName("C:ftpupload.exe"), "ftpupload.exe");
  EXPECT_EQ(ProgramFileName("ftpupload"), "ftpupload");
  EXPECT_EQ(ProgramFileName("dir/"), "");
  EXPECT_EQ(ProgramFileName("a\\b/c:d"), "d");
}

TEST(UsageTextTest, UsesTheProgramNameAndCrLf) {
  const std::string text = UsageText("tool.exe");
  EXPECT_EQ(text.rfind("tool.exe Version:1.0.0\r\n\r\nUsage:\r\ntool.exe PARAMS FILENAME\r\n", 0), 0u);
  EXPECT_NE(text.find("\r\ntool.exe /host:"), std::string::npos);
  size_t bare_lf = 0;
  for (size_t i = 0; i < text.size(); ++i) bare_lf += text[i] == '\n' && (i == 0 || text[i - 1] != '\r');
  EXPECT_EQ(bare_lf, 0u);
}

TEST(SettingsDumpTest, OneLineOfJoinedPiecesWithThePasswordMasked) {
  TUploadSettings s;
  s.Server = "srv";
  s.Port = 2121;
  s.User = "u";
  s.Pass = "p";
  s.Mode = "ascii";
  s.RemoteDir = "/d";
  s.LocalPath = "f.txt";
  EXPECT_EQ(SettingsDump(s),
            "server:srv\r\nport:2121\r\nuser:u\r\npass:**********\r\nmode:ascii\r\n"
            "remote_dir:/d\r\nlocal_path:f.txt\r\n");
  s.Pass.clear();
  EXPECT_NE(SettingsDump(s).find("\r\npass:\r\n"), std::string::npos);
}

}  // namespace
}  // namespace zud
