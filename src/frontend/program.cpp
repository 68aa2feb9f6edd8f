#include "frontend/program.h"

namespace zud {

int RunProgram(int, char**) { return 0; }

}  // namespace zud
