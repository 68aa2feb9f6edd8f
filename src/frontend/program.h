// The program body of the upload tool.
#pragma once

namespace zud {

// Runs start-up, the program body and shut-down; returns the exit status.
int RunProgram(int argc, char** argv);

}  // namespace zud
