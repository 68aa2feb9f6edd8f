// Taken into every test source of the Windows build, before anything else.
#pragma once

// GoogleTest brings in <windows.h>, whose RemoveDirectory macro would rename
// TFTPSend::RemoveDirectory in the tests: take the header in first, without it.
#include <winsock2.h>
#include <windows.h>
#undef RemoveDirectory

// Test peers call Winsock directly, often before the code under test has
// started it: start it once for the whole test program, before main.
struct ZudWinsockForTests {
  ZudWinsockForTests() {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
  }
};
inline ZudWinsockForTests zud_winsock_for_tests;
