// Test peers only: POSIX socket names on Winsock.
#pragma once
#include "posix_sockets_win.h"
