// Entry point of the ftpupload tool.
#include "frontend/program.h"

int main(int argc, char** argv) { return zud::RunProgram(argc, argv); }
