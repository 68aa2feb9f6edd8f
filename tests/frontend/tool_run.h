// Runs the built ftpupload executable with its standard output and standard
// error captured apart, for the acceptance tests of the tool.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "frontend/child_process.h"
#include "support/temp_dir.h"

namespace zud::testing_support {

inline const std::string kToolProgram = ZUD_BINARY_DIR "/ftpupload";

struct ToolRun {
  int status = -1;
  std::string out;
  std::string err;
};

// The tool with args; standard input stays open (and empty), so a tool that
// waited for input would run into the deadline.
inline ToolRun RunTool(const std::vector<std::string>& args, TChildRun run = {}) {
  test::TempDir dir("zud-run");
  run.args = args;
  run.close_input = false;
  run.error_path = (dir / "stderr.txt").string();
  const TChildResult result = RunChild(kToolProgram, run);
  EXPECT_TRUE(result.started);
  EXPECT_FALSE(result.timed_out);
  return {result.exit_status, result.output, dir.Read("stderr.txt").value_or("")};
}

inline std::vector<std::string> Plus(std::vector<std::string> args,
                                     const std::vector<std::string>& more) {
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

}  // namespace zud::testing_support
