// The Windows binding to the socket interface. Every call is looked up by
// name in ws2_32.dll at run time; getaddrinfo, freeaddrinfo and getnameinfo
// are optional there and may come from wship6.dll instead. The Windows Sockets
// error numbers are this system's own code space, so they pass through as
// WSAGetLastError reports them.
#include "util/sockapi.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>
#include <windows.h>
#include <io.h>

#include <algorithm>
#include <atomic>
#include <cstring>

#include "util/sockapi_calls.h"

namespace zud {

static_assert(kMsgPeek == MSG_PEEK && kShutdownSend == SD_SEND && kListenBacklogMax == SOMAXCONN);
static_assert(sizeof(TSocketHandle) == sizeof(SOCKET) && kInvalidSocket == INVALID_SOCKET);

namespace {

constexpr int kNotSocket = 10038;
constexpr char kDefaultLibrary[] = "ws2_32.dll";
constexpr char kExtensionLibrary[] = "wship6.dll";

// The calls looked up in the main library, in lookup order. The last three
// are optional.
#define ZUD_SOCKET_CALLS(X)                                                                      \
  X(WSAIoctl) X(__WSAFDIsSet) X(closesocket) X(ioctlsocket) X(WSAGetLastError) X(WSAStartup)    \
  X(WSACleanup) X(accept) X(bind) X(connect) X(getpeername) X(getsockname) X(getsockopt)        \
  X(htonl) X(htons) X(inet_addr) X(inet_ntoa) X(listen) X(ntohl) X(ntohs) X(recv) X(recvfrom)   \
  X(select) X(send) X(sendto) X(setsockopt) X(shutdown) X(socket) X(gethostbyaddr)              \
  X(gethostbyname) X(getprotobyname) X(getprotobynumber) X(getservbyname) X(getservbyport)      \
  X(gethostname)
#define ZUD_ADDRINFO_CALLS(X) X(getaddrinfo) X(freeaddrinfo) X(getnameinfo)

struct SocketCalls {
#define ZUD_DECLARE_CALL(name) decltype(&::name) name = nullptr;
  ZUD_SOCKET_CALLS(ZUD_DECLARE_CALL)
  ZUD_ADDRINFO_CALLS(ZUD_DECLARE_CALL)
#undef ZUD_DECLARE_CALL
};

template <typename Fn>
void LookUp(HMODULE library, const char* name, Fn& target) {
  target = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(library, name)));
}

void LookUpMainCalls(HMODULE library, SocketCalls& calls) {
#define ZUD_LOOK_UP(name) LookUp(library, #name, calls.name);
  ZUD_SOCKET_CALLS(ZUD_LOOK_UP)
  ZUD_ADDRINFO_CALLS(ZUD_LOOK_UP)
#undef ZUD_LOOK_UP
}

// True when all three address-info calls were found; the ones found are kept.
bool LookUpAddrInfoCalls(HMODULE library, SocketCalls& calls) {
  SocketCalls found;
#define ZUD_LOOK_UP(name) LookUp(library, #name, found.name);
  ZUD_ADDRINFO_CALLS(ZUD_LOOK_UP)
#undef ZUD_LOOK_UP
#define ZUD_TAKE(name) \
  if (found.name != nullptr) calls.name = found.name;
  ZUD_ADDRINFO_CALLS(ZUD_TAKE)
#undef ZUD_TAKE
  return found.getaddrinfo != nullptr && found.freeaddrinfo != nullptr &&
         found.getnameinfo != nullptr;
}

struct InterfaceState {
  int users = 0;
  HMODULE main_library = nullptr;
  HMODULE extension_library = nullptr;
  std::atomic<bool> addr_info_available{false};
  std::atomic<bool> extension_available{false};
  // Tests may send lookups down the legacy path; that choice outlives loads.
  std::atomic<bool> legacy_forced{false};
};

InterfaceState& State() {
  static InterfaceState state;
  return state;
}

SocketCalls g_calls;
std::atomic<bool> g_calls_ready{false};
WSADATA g_wsa_data;

// Binds the default library for the life of the process the first time any
// call is needed, so that every entry point works whether or not the
// counted load ran first. The counted load replaces the same entries with
// the same addresses (Windows hands out one module per name).
const SocketCalls& Calls() {
  if (g_calls_ready.load(std::memory_order_acquire)) return g_calls;
  static std::once_flag once;
  std::call_once(once, [] {
    HMODULE library = LoadLibraryA(kDefaultLibrary);
    if (library == nullptr) return;
    LookUpMainCalls(library, g_calls);
    bool addr_info = LookUpAddrInfoCalls(library, g_calls);
    bool extension = false;
    if (!addr_info) {
      HMODULE ext = LoadLibraryA(kExtensionLibrary);
      if (ext != nullptr) extension = LookUpAddrInfoCalls(ext, g_calls);
    }
    if (State().users == 0) {
      State().addr_info_available = addr_info;
      State().extension_available = extension;
    }
    if (g_calls.WSAStartup != nullptr) g_calls.WSAStartup(MAKEWORD(2, 2), &g_wsa_data);
    g_calls_ready.store(true, std::memory_order_release);
  });
  return g_calls;
}

thread_local int g_last_error = 0;

void RecordSocketError() {
  const int code = Calls().WSAGetLastError != nullptr ? Calls().WSAGetLastError() : 0;
  g_last_error = code != 0 ? code : 10022;
}

SOCKET AsSocket(TSocketHandle handle) { return static_cast<SOCKET>(handle); }


// gethostbyname leaves its failure in WSAGetLastError.
int HostLookupError(const hostent* entry) {
  int code = Calls().WSAGetLastError();
  if (entry == nullptr && code == 0) code = 11001;
  return code;
}

}  // namespace

// ---- Loading ------------------------------------------------------------------

bool LoadSocketInterface(std::string_view library_name) {
  const std::string name(library_name.empty() ? std::string_view(kDefaultLibrary) : library_name);
  Calls();
  std::lock_guard<std::mutex> lock(ResolverLock());
  InterfaceState& state = State();
  if (state.users > 0) {
    ++state.users;
    return true;
  }
  state.addr_info_available = false;
  state.extension_available = false;
  HMODULE library = LoadLibraryA(name.c_str());
  if (library == nullptr) return false;
  state.main_library = library;
  SocketCalls calls;
  LookUpMainCalls(library, calls);
  const bool addr_info = calls.getaddrinfo != nullptr && calls.freeaddrinfo != nullptr &&
                         calls.getnameinfo != nullptr;
  bool extension = false;
  if (!addr_info) {
    state.extension_library = LoadLibraryA(kExtensionLibrary);
    if (state.extension_library != nullptr) {
      extension = LookUpAddrInfoCalls(state.extension_library, calls);
    }
  }
  state.addr_info_available = addr_info && !state.legacy_forced;
  state.extension_available = extension && !state.legacy_forced;
  ++state.users;
  return true;
}

bool UnloadSocketInterface() {
  std::lock_guard<std::mutex> lock(ResolverLock());
  InterfaceState& state = State();
  state.users = std::max(0, state.users - 1);
  if (state.users > 0) return true;
  if (state.main_library != nullptr) FreeLibrary(state.main_library);
  if (state.extension_library != nullptr) FreeLibrary(state.extension_library);
  state.main_library = nullptr;
  state.extension_library = nullptr;
  return true;
}

void StartSocketInterface() {
  static WSADATA data;
  if (Calls().WSAStartup != nullptr) Calls().WSAStartup(MAKEWORD(2, 2), &data);
}

void StopSocketInterface() {
  if (Calls().WSACleanup != nullptr) Calls().WSACleanup();
}

int SocketInterfaceUsers() {
  std::lock_guard<std::mutex> lock(ResolverLock());
  return State().users;
}

bool AddrInfoApiAvailable() {
  Calls();
  return State().addr_info_available;
}
bool IPv6ExtensionApiAvailable() {
  Calls();
  return State().extension_available;
}
void SetAddrInfoApiAvailableForTesting(bool available) {
  Calls();
  State().legacy_forced = !available;
  State().addr_info_available = available && g_calls.getaddrinfo != nullptr;
  if (!available) State().extension_available = false;
}

// The bound calls; getaddrinfo and its two partners are the default
// library's or, failing that, the extension library's. Old ws2_32 has no
// inet_ntop, so an IPv6 text on the legacy path is written by hand.
const TResolverCalls& ResolverCalls() {
  static const TResolverCalls calls = [] {
    const SocketCalls& api = Calls();
    TResolverCalls c;
    c.getaddrinfo = api.getaddrinfo;
    c.freeaddrinfo = api.freeaddrinfo;
    c.getnameinfo = api.getnameinfo;
    c.gethostbyname = api.gethostbyname;
    c.getservbyname = api.getservbyname;
    c.getprotobynumber = api.getprotobynumber;
    c.inet_addr = api.inet_addr;
    c.inet_ntoa = api.inet_ntoa;
    c.host_lookup_error = &HostLookupError;
    return c;
  }();
  return calls;
}

// ---- Error translation ----------------------------------------------------------

int LastSocketError() { return g_last_error; }

// The codes are the system's own here; messages show them with their number.
std::string SystemErrorWords(int) { return std::string(); }

// The socket calls report Windows Sockets numbers already; only C library
// errno values (from file calls) need a translation.
int TranslateErrno(int errno_value) {
  if (errno_value >= 10000 && errno_value < 12000) return errno_value;
  switch (errno_value) {
    case 0: return 0;
    case EINTR: return 10004;
    case EBADF: return 10009;
    case EACCES: case EPERM: return 10013;
    case EFAULT: return 10014;
    case EINVAL: return 10022;
    case EMFILE: case ENFILE: return 10024;
    case EAGAIN: return 10035;
    case ENAMETOOLONG: return 10063;
    case ENOTEMPTY: return 10066;
    case ENOMEM: return 10055;
    case EPIPE: return 10054;
    default: return kOtherErrnoBase + errno_value;
  }
}

// getaddrinfo reports Windows Sockets numbers too (EAI_NONAME is 11001);
// only its out-of-memory code is a plain Windows error.
int TranslateAddrInfoError(int eai_code) {
  if (eai_code == WSA_NOT_ENOUGH_MEMORY) return 10055;
  return eai_code;
}

// ---- Thin wrappers --------------------------------------------------------------

TSocketHandle CreateSocket(int family, int socket_type, int protocol) {
  g_last_error = 0;
  const SOCKET handle = Calls().socket(family, socket_type, protocol);
  if (handle == INVALID_SOCKET) {
    RecordSocketError();
    return kInvalidSocket;
  }
  // Child processes must not inherit the connection.
  SetHandleInformation(reinterpret_cast<HANDLE>(handle), HANDLE_FLAG_INHERIT, 0);
  return static_cast<TSocketHandle>(handle);
}

int CloseSocket(TSocketHandle handle) {
  g_last_error = 0;
  if (Calls().closesocket(AsSocket(handle)) != 0) {
    RecordSocketError();
    return -1;
  }
  return 0;
}

int BindToAddress(TSocketHandle handle, const TSocketAddress& address) {
  g_last_error = 0;
  const int rc = Calls().bind(AsSocket(handle), AsSockaddr(address), SocketAddressLength(address));
  if (rc != 0) RecordSocketError();
  return rc;
}

int ConnectToAddress(TSocketHandle handle, const TSocketAddress& address) {
  g_last_error = 0;
  const int rc =
      Calls().connect(AsSocket(handle), AsSockaddr(address), SocketAddressLength(address));
  if (rc != 0) RecordSocketError();
  return rc;
}

int ConnectOutcome(TSocketHandle handle) {
  g_last_error = 0;
  int error = 0;
  int length = sizeof(error);
  if (Calls().getsockopt(AsSocket(handle), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error),
                         &length) != 0) {
    RecordSocketError();
    return -1;
  }
  // SO_ERROR holds a Windows Sockets code already.
  if (error == 0) return 0;
  g_last_error = error;
  return -1;
}

int ListenOnSocket(TSocketHandle handle, int backlog) {
  g_last_error = 0;
  const int rc = Calls().listen(AsSocket(handle), backlog);
  if (rc != 0) RecordSocketError();
  return rc;
}

TSocketHandle AcceptIntoAddress(TSocketHandle handle, TSocketAddress& address) {
  g_last_error = 0;
  int length = static_cast<int>(address.bytes.size());
  const SOCKET accepted = Calls().accept(AsSocket(handle), AsSockaddr(address), &length);
  if (accepted == INVALID_SOCKET) {
    RecordSocketError();
    return kInvalidSocket;
  }
  SetHandleInformation(reinterpret_cast<HANDLE>(accepted), HANDLE_FLAG_INHERIT, 0);
  return static_cast<TSocketHandle>(accepted);
}

int QueryLocalAddress(TSocketHandle handle, TSocketAddress& address) {
  g_last_error = 0;
  address.Clear();
  int length = static_cast<int>(address.bytes.size());
  const int rc = Calls().getsockname(AsSocket(handle), AsSockaddr(address), &length);
  if (rc != 0) RecordSocketError();
  return rc;
}

int QueryPeerAddress(TSocketHandle handle, TSocketAddress& address) {
  g_last_error = 0;
  address.Clear();
  int length = static_cast<int>(address.bytes.size());
  const int rc = Calls().getpeername(AsSocket(handle), AsSockaddr(address), &length);
  if (rc != 0) RecordSocketError();
  return rc;
}

int SendToSocket(TSocketHandle handle, const void* buffer, int length, int flags) {
  g_last_error = 0;
  const int rc = Calls().send(AsSocket(handle), static_cast<const char*>(buffer),
                              std::max(length, 0), flags);
  if (rc == SOCKET_ERROR) {
    RecordSocketError();
    return -1;
  }
  return rc;
}

// Windows has TransmitFile, but it belongs to mswsock.dll, outside the
// binding; a buffered send of one piece costs one copy and keeps the
// socket's timeouts and error model exactly those of send.
int SendFileToSocket(TSocketHandle handle, int file_descriptor, int64_t offset, int count) {
  g_last_error = 0;
  const intptr_t os_handle = _get_osfhandle(file_descriptor);
  if (os_handle == -1 || offset < 0) {
    g_last_error = 10022;
    return -1;
  }
  HANDLE file = reinterpret_cast<HANDLE>(os_handle);
  constexpr int kPiece = 65536;
  static thread_local char buffer[kPiece];
  const DWORD wanted = static_cast<DWORD>(std::clamp(count, 0, kPiece));
  // The read moves the file pointer; put it back, as the platform's own
  // positioned sends do.
  LARGE_INTEGER zero{};
  LARGE_INTEGER saved{};
  SetFilePointerEx(file, zero, &saved, FILE_CURRENT);
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(static_cast<uint64_t>(offset) & 0xFFFFFFFFu);
  at.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(offset) >> 32);
  DWORD got = 0;
  const BOOL read_ok = wanted == 0 || ReadFile(file, buffer, wanted, &got, &at);
  const DWORD read_error = read_ok ? 0 : GetLastError();
  SetFilePointerEx(file, saved, nullptr, FILE_BEGIN);
  if (!read_ok) {
    if (read_error == ERROR_HANDLE_EOF) return 0;
    g_last_error = read_error == ERROR_ACCESS_DENIED ? 10013 : 10022;
    return -1;
  }
  if (got == 0) return 0;
  return SendToSocket(handle, buffer, static_cast<int>(got), 0);
}

int ReceiveFromSocket(TSocketHandle handle, void* buffer, int length, int flags) {
  g_last_error = 0;
  const int rc =
      Calls().recv(AsSocket(handle), static_cast<char*>(buffer), std::max(length, 0), flags);
  if (rc == SOCKET_ERROR) {
    RecordSocketError();
    return -1;
  }
  return rc;
}

int SendToAddress(TSocketHandle handle, const void* buffer, int length, int flags,
                  const TSocketAddress& address) {
  g_last_error = 0;
  const TSocketAddress target = address;
  const int address_length = SocketAddressLength(target);
  const int rc = Calls().sendto(AsSocket(handle), static_cast<const char*>(buffer),
                                std::max(length, 0), flags,
                                address_length > 0 ? AsSockaddr(target) : nullptr, address_length);
  if (rc == SOCKET_ERROR) {
    RecordSocketError();
    return -1;
  }
  return rc;
}

int ReceiveFromAddress(TSocketHandle handle, void* buffer, int length, int flags,
                       TSocketAddress& address) {
  g_last_error = 0;
  int address_length = static_cast<int>(address.bytes.size());
  const int rc = Calls().recvfrom(AsSocket(handle), static_cast<char*>(buffer),
                                  std::max(length, 0), flags, AsSockaddr(address), &address_length);
  if (rc == SOCKET_ERROR) {
    RecordSocketError();
    return -1;
  }
  return rc;
}

int ShutdownSocket(TSocketHandle handle, int how) {
  g_last_error = 0;
  const int rc = Calls().shutdown(AsSocket(handle), how);
  if (rc != 0) RecordSocketError();
  return rc;
}

int SetSocketOptionInt(TSocketHandle handle, int level, int name, int32_t value) {
  g_last_error = 0;
  const int rc = Calls().setsockopt(AsSocket(handle), level, name,
                                    reinterpret_cast<const char*>(&value), sizeof(value));
  if (rc != 0) RecordSocketError();
  return rc;
}

int GetSocketOptionInt(TSocketHandle handle, int level, int name, int32_t& value) {
  g_last_error = 0;
  int length = sizeof(value);
  value = 0;
  const int rc =
      Calls().getsockopt(AsSocket(handle), level, name, reinterpret_cast<char*>(&value), &length);
  if (rc != 0) RecordSocketError();
  return rc;
}

int SetSocketLinger(TSocketHandle handle, bool enabled, int seconds) {
  g_last_error = 0;
  linger value{static_cast<u_short>(enabled ? 1 : 0), static_cast<u_short>(seconds)};
  const int rc = Calls().setsockopt(AsSocket(handle), SOL_SOCKET, SO_LINGER,
                                    reinterpret_cast<const char*>(&value), sizeof(value));
  if (rc != 0) RecordSocketError();
  return rc;
}

int GetSocketLinger(TSocketHandle handle, bool& enabled, int& seconds) {
  g_last_error = 0;
  linger value{};
  int length = sizeof(value);
  const int rc = Calls().getsockopt(AsSocket(handle), SOL_SOCKET, SO_LINGER,
                                    reinterpret_cast<char*>(&value), &length);
  if (rc != 0) {
    RecordSocketError();
    return rc;
  }
  enabled = value.l_onoff != 0;
  seconds = value.l_linger;
  return 0;
}

// Windows takes the receive and send timeouts as a DWORD of milliseconds.
int SetSocketTimeoutOption(TSocketHandle handle, int name, int milliseconds) {
  g_last_error = 0;
  const DWORD value = static_cast<DWORD>(std::max(milliseconds, 0));
  const int rc = Calls().setsockopt(AsSocket(handle), SOL_SOCKET, name,
                                    reinterpret_cast<const char*>(&value), sizeof(value));
  if (rc != 0) RecordSocketError();
  return rc;
}

int ExchangeUnsentLimit(TSocketHandle, int, int&) {
  g_last_error = WSAENOPROTOOPT;
  return -1;
}

// One ioctl sets switch and timing together (in milliseconds); the number of
// probes is the system's own (10 since Vista).
int SetKeepAlive(TSocketHandle handle, int idle_seconds, int interval_seconds) {
  g_last_error = 0;
  tcp_keepalive values{};
  values.onoff = idle_seconds > 0 ? 1 : 0;
  if (values.onoff != 0) {
    values.keepalivetime = static_cast<u_long>(std::min(idle_seconds, 2000000)) * 1000;
    values.keepaliveinterval =
        static_cast<u_long>(std::clamp(interval_seconds, 1, 2000000)) * 1000;
  }
  DWORD returned = 0;
  if (Calls().WSAIoctl(AsSocket(handle), SIO_KEEPALIVE_VALS, &values, sizeof(values), nullptr, 0,
                       &returned, nullptr, nullptr) != 0) {
    RecordSocketError();
  }
  return g_last_error;
}

int SetNonBlockingMode(TSocketHandle handle, bool enabled) {
  g_last_error = 0;
  u_long value = enabled ? 1 : 0;
  const int rc = Calls().ioctlsocket(AsSocket(handle), static_cast<long>(FIONBIO), &value);
  if (rc != 0) RecordSocketError();
  return rc;
}

int QueryPendingBytes(TSocketHandle handle, int& count) {
  g_last_error = 0;
  u_long value = 0;
  const int rc = Calls().ioctlsocket(AsSocket(handle), static_cast<long>(FIONREAD), &value);
  if (rc != 0) {
    RecordSocketError();
    count = 0;
    return rc;
  }
  count = static_cast<int>(std::min<u_long>(value, 0x7FFFFFFF));
  return 0;
}

std::string LocalHostName() {
  char buffer[255] = {};
  if (Calls().gethostname(buffer, 254) != 0) return std::string();
  buffer[254] = '\0';
  return std::string(buffer);
}

// ---- Waits --------------------------------------------------------------------------

// The Windows set is a counted list of up to 64 handles, just like ours. A
// connect that failed shows in the exception set rather than the write set,
// so a wait for writing watches both: either way the next call reports.
int PollSelectSet(const TSelectSet& set, bool for_writing, int timeout_ms) {
  static_assert(FD_SETSIZE >= 64);
  g_last_error = 0;
  const int count = std::clamp(set.count, 0, 64);
  if (count == 0) {
    g_last_error = kNotSocket;
    return -1;
  }
  fd_set ready{};
  fd_set failed{};
  ready.fd_count = 0;
  failed.fd_count = 0;
  for (int i = 0; i < count; ++i) {
    const SOCKET s = AsSocket(set.handles[static_cast<size_t>(i)]);
    ready.fd_array[ready.fd_count++] = s;
    if (for_writing) failed.fd_array[failed.fd_count++] = s;
  }
  timeval wait{};
  timeval* wait_ptr = nullptr;
  if (timeout_ms >= 0) {
    wait.tv_sec = timeout_ms / 1000;
    wait.tv_usec = (timeout_ms % 1000) * 1000;
    wait_ptr = &wait;
  }
  const SocketCalls& api = Calls();
  const int rc = api.select(0, for_writing ? nullptr : &ready, for_writing ? &ready : nullptr,
                            for_writing ? &failed : nullptr, wait_ptr);
  if (rc == SOCKET_ERROR) {
    RecordSocketError();
    return -1;
  }
  int found = 0;
  for (int i = 0; i < count; ++i) {
    const SOCKET s = AsSocket(set.handles[static_cast<size_t>(i)]);
    if (api.__WSAFDIsSet(s, &ready) || (for_writing && api.__WSAFDIsSet(s, &failed))) ++found;
  }
  return found;
}

}  // namespace zud
