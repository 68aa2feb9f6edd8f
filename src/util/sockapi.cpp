#include "util/sockapi.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>

#include "util/compat.h"
#include "util/sockapi_calls.h"

namespace zud {

static_assert(kMsgPeek == MSG_PEEK && kShutdownSend == SHUT_WR && kListenBacklogMax == SOMAXCONN);

namespace {

constexpr int kNotSocket = 10038;

struct InterfaceState {
  int users = 0;
  // Both calls are part of the C library here, so the flags hold their
  // loaded values from the start.
  std::atomic<bool> addr_info_available{true};
  std::atomic<bool> extension_available{false};
};

InterfaceState& State() {
  static InterfaceState state;
  return state;
}

thread_local int g_last_error = 0;

void RecordErrno() { g_last_error = TranslateErrno(errno); }


int TranslateHostError(int h_error) {
  switch (h_error) {
    case HOST_NOT_FOUND: return 11001;
    case TRY_AGAIN: return 11002;
    case NO_RECOVERY: return 11003;
    case NO_DATA: return 11004;
    case NETDB_INTERNAL: return TranslateErrno(errno);
    default: return 11001;
  }
}

int HostLookupError(const hostent* entry) {
  return entry == nullptr ? TranslateHostError(h_errno) : 0;
}

void NoteAddrInfoFailure(int code) {
  if (code == EAI_SYSTEM) RecordErrno();
}

// Resumes a connect that a signal interrupted: the kernel goes on with it,
// so wait for the outcome instead of calling connect again.
int FinishInterruptedConnect(TSocketHandle handle) {
  pollfd pfd{handle, POLLOUT, 0};
  while (poll(&pfd, 1, -1) < 0) {
    if (errno != EINTR) {
      RecordErrno();
      return -1;
    }
  }
  return ConnectOutcome(handle);
}

}  // namespace

// ---- Loading ------------------------------------------------------------------

bool LoadSocketInterface(std::string_view /*library_name*/) {
  std::lock_guard<std::mutex> lock(ResolverLock());
  InterfaceState& state = State();
  if (state.users <= 0) {
    state.addr_info_available = true;
    state.extension_available = false;
  }
  ++state.users;
  return true;
}

bool UnloadSocketInterface() {
  std::lock_guard<std::mutex> lock(ResolverLock());
  InterfaceState& state = State();
  state.users = std::max(0, state.users - 1);
  return true;
}

// The socket calls need no start-up here.
void StartSocketInterface() {}
void StopSocketInterface() {}

int SocketInterfaceUsers() {
  std::lock_guard<std::mutex> lock(ResolverLock());
  return State().users;
}

bool AddrInfoApiAvailable() { return State().addr_info_available; }
bool IPv6ExtensionApiAvailable() { return State().extension_available; }
void SetAddrInfoApiAvailableForTesting(bool available) {
  State().addr_info_available = available;
}

const TResolverCalls& ResolverCalls() {
  static const TResolverCalls calls = [] {
    TResolverCalls c;
    c.getaddrinfo = &::getaddrinfo;
    c.freeaddrinfo = &::freeaddrinfo;
    c.getnameinfo = &::getnameinfo;
    c.gethostbyname = &::gethostbyname;
    c.getservbyname = &::getservbyname;
    c.getprotobynumber = &::getprotobynumber;
    c.inet_addr = &::inet_addr;
    c.inet_ntoa = &::inet_ntoa;
    c.inet_ntop = &::inet_ntop;
    c.host_lookup_error = &HostLookupError;
    c.note_addr_info_failure = &NoteAddrInfoFailure;
    return c;
  }();
  return calls;
}

// ---- Error translation ----------------------------------------------------------

int LastSocketError() { return g_last_error; }

int TranslateErrno(int errno_value) {
  switch (errno_value) {
    case 0: return 0;
    case EINTR: return 10004;
    case EBADF: return 10009;
    case EACCES: case EPERM: return 10013;
    case EFAULT: return 10014;
    case EINVAL: return 10022;
    case EMFILE: case ENFILE: return 10024;
    case EAGAIN: return 10035;  // EWOULDBLOCK is the same number here
    case EINPROGRESS: return 10036;
    case EALREADY: return 10037;
    case ENOTSOCK: return 10038;
    case EDESTADDRREQ: return 10039;
    case EMSGSIZE: return 10040;
    case EPROTOTYPE: return 10041;
    case ENOPROTOOPT: return 10042;
    case EPROTONOSUPPORT: return 10043;
    case ESOCKTNOSUPPORT: return 10044;
    case EOPNOTSUPP: return 10045;
    case EPFNOSUPPORT: return 10046;
    case EAFNOSUPPORT: return 10047;
    case EADDRINUSE: return 10048;
    case EADDRNOTAVAIL: return 10049;
    case ENETDOWN: return 10050;
    case ENETUNREACH: return 10051;
    case ENETRESET: return 10052;
    case ECONNABORTED: return 10053;
    case ECONNRESET: case EPIPE: return 10054;
    case ENOBUFS: case ENOMEM: return 10055;
    case EISCONN: return 10056;
    case ENOTCONN: return 10057;
    case ESHUTDOWN: return 10058;
    case ETOOMANYREFS: return 10059;
    case ETIMEDOUT: return 10060;
    case ECONNREFUSED: return 10061;
    case ELOOP: return 10062;
    case ENAMETOOLONG: return 10063;
    case EHOSTDOWN: return 10064;
    case EHOSTUNREACH: return 10065;
    case ENOTEMPTY: return 10066;
    case EUSERS: return 10068;
    case EDQUOT: return 10069;
    case ESTALE: return 10070;
    case EREMOTE: return 10071;
    default: return kOtherErrnoBase + errno_value;
  }
}

int TranslateAddrInfoError(int eai_code) {
  switch (eai_code) {
    case 0: return 0;
    case EAI_NONAME: return 11001;
    case EAI_AGAIN: return 11002;
    case EAI_FAIL: return 11003;
    case EAI_NODATA: case EAI_ADDRFAMILY: return 11004;
    case EAI_FAMILY: return 10047;
    case EAI_SOCKTYPE: return 10044;
    case EAI_SERVICE: return 10109;
    case EAI_MEMORY: return 10055;
    case EAI_BADFLAGS: case EAI_OVERFLOW: return 10022;
    case EAI_SYSTEM: return TranslateErrno(errno);
    default: return 21000 - eai_code;
  }
}

std::string SystemErrorWords(int code) {
  if (code == 0) return std::string();
  for (const int eai : {EAI_NONAME, EAI_AGAIN, EAI_FAIL, EAI_NODATA}) {
    if (TranslateAddrInfoError(eai) == code) return gai_strerror(eai);
  }
  // Several errno values share a code (EPIPE and ECONNRESET, ENOMEM and
  // ENOBUFS): the last one, the socket's own meaning, names it.
  int found = 0;
  if (code > kOtherErrnoBase && code < kOtherErrnoBase + 4096) {
    found = code - kOtherErrnoBase;
  } else {
    for (int errno_value = 1; errno_value < 256; ++errno_value) {
      if (TranslateErrno(errno_value) == code) found = errno_value;
    }
  }
  if (found == 0) return std::string();
  char buffer[256];
  return strerror_r(found, buffer, sizeof(buffer));  // the GNU form: returns the text
}

// ---- Thin wrappers --------------------------------------------------------------

TSocketHandle CreateSocket(int family, int socket_type, int protocol) {
  g_last_error = 0;
  const int handle = socket(family, socket_type | SOCK_CLOEXEC, protocol);
  if (handle < 0) RecordErrno();
  return handle < 0 ? kInvalidSocket : handle;
}

int CloseSocket(TSocketHandle handle) {
  g_last_error = 0;
  // Linux releases the descriptor even when close reports EINTR: no retry.
  const int rc = close(handle);
  if (rc != 0 && errno != EINTR) {
    RecordErrno();
    return -1;
  }
  return 0;
}

int BindToAddress(TSocketHandle handle, const TSocketAddress& address) {
  g_last_error = 0;
  const int rc = bind(handle, AsSockaddr(address), static_cast<socklen_t>(SocketAddressLength(address)));
  if (rc != 0) RecordErrno();
  return rc;
}

int ConnectToAddress(TSocketHandle handle, const TSocketAddress& address) {
  g_last_error = 0;
  const int rc =
      connect(handle, AsSockaddr(address), static_cast<socklen_t>(SocketAddressLength(address)));
  if (rc == 0) return 0;
  if (errno == EINTR) return FinishInterruptedConnect(handle);
  RecordErrno();
  return -1;
}

int ConnectOutcome(TSocketHandle handle) {
  g_last_error = 0;
  int error = 0;
  socklen_t length = sizeof(error);
  if (getsockopt(handle, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
    RecordErrno();
    return -1;
  }
  if (error == 0) return 0;
  g_last_error = TranslateErrno(error);
  return -1;
}

int ListenOnSocket(TSocketHandle handle, int backlog) {
  g_last_error = 0;
  const int rc = listen(handle, backlog);
  if (rc != 0) RecordErrno();
  return rc;
}

TSocketHandle AcceptIntoAddress(TSocketHandle handle, TSocketAddress& address) {
  g_last_error = 0;
  for (;;) {
    socklen_t length = static_cast<socklen_t>(address.bytes.size());
    const int rc = accept4(handle, AsSockaddr(address), &length, SOCK_CLOEXEC);
    if (rc >= 0) return rc;
    if (errno != EINTR) break;
  }
  RecordErrno();
  return kInvalidSocket;
}

int QueryLocalAddress(TSocketHandle handle, TSocketAddress& address) {
  g_last_error = 0;
  address.Clear();
  socklen_t length = static_cast<socklen_t>(address.bytes.size());
  const int rc = getsockname(handle, AsSockaddr(address), &length);
  if (rc != 0) RecordErrno();
  return rc;
}

int QueryPeerAddress(TSocketHandle handle, TSocketAddress& address) {
  g_last_error = 0;
  address.Clear();
  socklen_t length = static_cast<socklen_t>(address.bytes.size());
  const int rc = getpeername(handle, AsSockaddr(address), &length);
  if (rc != 0) RecordErrno();
  return rc;
}

int SendToSocket(TSocketHandle handle, const void* buffer, int length, int flags) {
  g_last_error = 0;
  for (;;) {
    const ssize_t rc = send(handle, buffer, static_cast<size_t>(std::max(length, 0)),
                            flags | MSG_NOSIGNAL);
    if (rc >= 0) return static_cast<int>(rc);
    if (errno != EINTR) break;
  }
  RecordErrno();
  return -1;
}

int SendFileToSocket(TSocketHandle handle, int file_descriptor, int64_t offset, int count) {
  g_last_error = 0;
  // sendfile has no MSG_NOSIGNAL: SIGPIPE is blocked for this thread around
  // the call, and one that the call itself raised is taken back before the
  // mask is restored. Only a caller that blocks SIGPIPE itself can have one
  // pending already, which must then stay.
  sigset_t pipe_only;
  sigset_t previous;
  sigemptyset(&pipe_only);
  sigaddset(&pipe_only, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe_only, &previous);
  const bool blocked_before = sigismember(&previous, SIGPIPE) == 1;
  bool already_pending = false;
  if (blocked_before) {
    sigset_t pending;
    sigemptyset(&pending);
    sigpending(&pending);
    already_pending = sigismember(&pending, SIGPIPE) == 1;
  }
  off_t position = static_cast<off_t>(offset);
  ssize_t rc;
  do {
    rc = sendfile(handle, file_descriptor, &position, static_cast<size_t>(std::max(count, 0)));
  } while (rc < 0 && errno == EINTR);
  const int saved_errno = errno;
  if (rc < 0 && saved_errno == EPIPE && !already_pending) {
    const timespec no_wait{};
    while (sigtimedwait(&pipe_only, nullptr, &no_wait) < 0 && errno == EINTR) {
    }
  }
  if (!blocked_before) pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (rc >= 0) return static_cast<int>(rc);
  errno = saved_errno;
  RecordErrno();
  return -1;
}

int ReceiveFromSocket(TSocketHandle handle, void* buffer, int length, int flags) {
  g_last_error = 0;
  for (;;) {
    const ssize_t rc = recv(handle, buffer, static_cast<size_t>(std::max(length, 0)), flags);
    if (rc >= 0) return static_cast<int>(rc);
    if (errno != EINTR) break;
  }
  RecordErrno();
  return -1;
}

int SendToAddress(TSocketHandle handle, const void* buffer, int length, int flags,
                  const TSocketAddress& address) {
  g_last_error = 0;
  const TSocketAddress target = address;
  const int address_length = SocketAddressLength(target);
  for (;;) {
    const ssize_t rc =
        sendto(handle, buffer, static_cast<size_t>(std::max(length, 0)), flags | MSG_NOSIGNAL,
               address_length > 0 ? AsSockaddr(target) : nullptr,
               static_cast<socklen_t>(address_length));
    if (rc >= 0) return static_cast<int>(rc);
    if (errno != EINTR) break;
  }
  RecordErrno();
  return -1;
}

int ReceiveFromAddress(TSocketHandle handle, void* buffer, int length, int flags,
                       TSocketAddress& address) {
  g_last_error = 0;
  for (;;) {
    socklen_t address_length = static_cast<socklen_t>(address.bytes.size());
    const ssize_t rc = recvfrom(handle, buffer, static_cast<size_t>(std::max(length, 0)), flags,
                                AsSockaddr(address), &address_length);
    if (rc >= 0) return static_cast<int>(rc);
    if (errno != EINTR) break;
  }
  RecordErrno();
  return -1;
}

int ShutdownSocket(TSocketHandle handle, int how) {
  g_last_error = 0;
  const int rc = shutdown(handle, how);
  if (rc != 0) RecordErrno();
  return rc;
}

int SetSocketOptionInt(TSocketHandle handle, int level, int name, int32_t value) {
  g_last_error = 0;
  const int rc = setsockopt(handle, level, name, &value, sizeof(value));
  if (rc != 0) RecordErrno();
  return rc;
}

int GetSocketOptionInt(TSocketHandle handle, int level, int name, int32_t& value) {
  g_last_error = 0;
  socklen_t length = sizeof(value);
  const int rc = getsockopt(handle, level, name, &value, &length);
  if (rc != 0) RecordErrno();
  return rc;
}

int SetSocketLinger(TSocketHandle handle, bool enabled, int seconds) {
  g_last_error = 0;
  linger value{enabled ? 1 : 0, seconds};
  const int rc = setsockopt(handle, SOL_SOCKET, SO_LINGER, &value, sizeof(value));
  if (rc != 0) RecordErrno();
  return rc;
}

int GetSocketLinger(TSocketHandle handle, bool& enabled, int& seconds) {
  g_last_error = 0;
  linger value{};
  socklen_t length = sizeof(value);
  const int rc = getsockopt(handle, SOL_SOCKET, SO_LINGER, &value, &length);
  if (rc != 0) {
    RecordErrno();
    return rc;
  }
  enabled = value.l_onoff != 0;
  seconds = value.l_linger;
  return 0;
}

int SetSocketTimeoutOption(TSocketHandle handle, int name, int milliseconds) {
  g_last_error = 0;
  const int ms = std::max(milliseconds, 0);
  timeval value{ms / 1000, static_cast<suseconds_t>(ms % 1000) * 1000};
  const int rc = setsockopt(handle, SOL_SOCKET, name, &value, sizeof(value));
  if (rc != 0) RecordErrno();
  return rc;
}

int ExchangeUnsentLimit(TSocketHandle handle, int bytes, int& previous) {
  g_last_error = 0;
  int current = 0;
  socklen_t length = sizeof(current);
  const int value = std::max(bytes, 0);
  if (getsockopt(handle, IPPROTO_TCP, TCP_NOTSENT_LOWAT, &current, &length) != 0 ||
      setsockopt(handle, IPPROTO_TCP, TCP_NOTSENT_LOWAT, &value, sizeof(value)) != 0) {
    RecordErrno();
    return -1;
  }
  previous = current;
  return 0;
}

int SetKeepAlive(TSocketHandle handle, int idle_seconds, int interval_seconds) {
  g_last_error = 0;
  const int on = idle_seconds > 0 ? 1 : 0;
  const auto set = [handle](int level, int name, int value) {
    return setsockopt(handle, level, name, &value, sizeof(value)) == 0;
  };
  // Turning the probes off leaves the timing alone: it only matters while on.
  const bool ok = set(SOL_SOCKET, SO_KEEPALIVE, on) &&
                  (on == 0 || (set(IPPROTO_TCP, TCP_KEEPIDLE, idle_seconds) &&
                               set(IPPROTO_TCP, TCP_KEEPINTVL, std::max(interval_seconds, 1)) &&
                               set(IPPROTO_TCP, TCP_KEEPCNT, kKeepAliveProbes)));
  if (!ok) RecordErrno();
  return g_last_error;
}

int SetNonBlockingMode(TSocketHandle handle, bool enabled) {
  g_last_error = 0;
  int value = enabled ? 1 : 0;
  const int rc = ioctl(handle, FIONBIO, &value);
  if (rc != 0) RecordErrno();
  return rc;
}

int QueryPendingBytes(TSocketHandle handle, int& count) {
  g_last_error = 0;
  int value = 0;
  const int rc = ioctl(handle, FIONREAD, &value);
  if (rc != 0) {
    RecordErrno();
    count = 0;
    return rc;
  }
  count = value;
  return 0;
}

std::string LocalHostName() {
  char buffer[255] = {};
  if (gethostname(buffer, 254) != 0) return std::string();
  buffer[254] = '\0';
  return std::string(buffer);
}

// ---- Waits --------------------------------------------------------------------------

int PollSelectSet(const TSelectSet& set, bool for_writing, int timeout_ms) {
  g_last_error = 0;
  std::array<pollfd, 64> fds{};
  const int count = std::clamp(set.count, 0, static_cast<int>(fds.size()));
  for (int i = 0; i < count; ++i) {
    if (set.handles[static_cast<size_t>(i)] < 0) {
      g_last_error = kNotSocket;
      return -1;
    }
    fds[static_cast<size_t>(i)] = pollfd{set.handles[static_cast<size_t>(i)],
                                         static_cast<short>(for_writing ? POLLOUT : POLLIN), 0};
  }
  if (count == 0) {
    g_last_error = kNotSocket;
    return -1;
  }
  const bool forever = timeout_ms < 0;
  const uint64_t deadline = MonotonicMilliseconds() + static_cast<uint64_t>(forever ? 0 : timeout_ms);
  int wait = forever ? -1 : timeout_ms;
  for (;;) {
    const int rc = poll(fds.data(), static_cast<nfds_t>(count), wait);
    if (rc >= 0) break;
    if (errno != EINTR) {
      RecordErrno();
      return -1;
    }
    if (!forever) {
      const uint64_t now = MonotonicMilliseconds();
      wait = now >= deadline ? 0 : static_cast<int>(deadline - now);
    }
  }
  int ready = 0;
  for (int i = 0; i < count; ++i) {
    const short revents = fds[static_cast<size_t>(i)].revents;
    if (revents & POLLNVAL) {
      g_last_error = kNotSocket;
      return -1;
    }
    if (revents != 0) ++ready;
  }
  return ready;
}

}  // namespace zud
