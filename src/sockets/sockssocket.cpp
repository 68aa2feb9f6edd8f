// TSocksBlockSocket: the SOCKS 5 login, the SOCKS 4/4a/5 request and the
// reply reader and decoder.
#include "sockets/sockssocket.h"

#include <cstdio>

#include "util/deadline.h"
#include "util/iptext.h"
#include "util/textutil.h"

namespace zud {

namespace {

constexpr size_t kMaxFieldLength = 255;  // one length byte

constexpr char kSocks5Version = 0x05;
constexpr char kSocks4Version = 0x04;
constexpr char kLoginVersion = 0x01;
constexpr uint8_t kMethodNone = 0x00;
constexpr uint8_t kMethodUserPassword = 0x02;
constexpr uint8_t kAddressIPv4 = 0x01;
constexpr uint8_t kAddressName = 0x03;
constexpr uint8_t kAddressIPv6 = 0x04;
constexpr int32_t kSocks5Granted = 0;
constexpr int32_t kSocks4Granted = 90;

uint8_t ByteAt(std::string_view s, size_t index) { return static_cast<uint8_t>(s[index]); }

std::string DottedQuad(std::string_view bytes4) {
  char text[16];
  std::snprintf(text, sizeof text, "%d.%d.%d.%d", ByteAt(bytes4, 0), ByteAt(bytes4, 1),
                ByteAt(bytes4, 2), ByteAt(bytes4, 3));
  return text;
}

// The receives of a step are bounded as a whole by SocksTimeout: a proxy
// that trickles one byte at a time must not keep a step going for longer.
class WholeCallTimeouts {
 public:
  explicit WholeCallTimeouts(TBlockSocket& socket)
      : socket_(socket), saved_(socket.InterPacketTimeout) {
    socket_.InterPacketTimeout = false;
  }
  ~WholeCallTimeouts() { socket_.InterPacketTimeout = saved_; }
  WholeCallTimeouts(const WholeCallTimeouts&) = delete;
  WholeCallTimeouts& operator=(const WholeCallTimeouts&) = delete;

 private:
  TBlockSocket& socket_;
  bool saved_;
};

}  // namespace

bool TSocksBlockSocket::Refuse(TFailureKind kind) {
  socks_refusal_ = LastErrorCode() == 0 ? kind : TFailureKind::None;
  return false;
}

bool TSocksBlockSocket::NegotiateSocksLogin() {
  socks_in_use_ = false;
  socks_refusal_ = TFailureKind::None;
  if (SocksType == ST_Socks4) {
    socks_in_use_ = true;
    return true;
  }
  // Fields that do not fit their length byte are refused before anything
  // goes out, rather than cut into a different user name or password.
  if (SocksUsername.size() > kMaxFieldLength || SocksPassword.size() > kMaxFieldLength) {
    return Refuse(TFailureKind::ProxyLoginRefused);
  }
  WholeCallTimeouts bounded(*this);
  if (SocksUsername.empty()) {
    SendText(std::string{kSocks5Version, 0x01, static_cast<char>(kMethodNone)});
  } else {
    SendText(std::string{kSocks5Version, 0x02, static_cast<char>(kMethodUserPassword),
                         static_cast<char>(kMethodNone)});
  }
  if (LastErrorCode() != 0) return false;
  const std::string choice = ReceiveExactText(2, SocksTimeout);
  if (choice.size() < 2 || choice[0] != kSocks5Version) {
    return Refuse(TFailureKind::ProxyProtocol);
  }
  switch (ByteAt(choice, 1)) {
    case kMethodNone:
      socks_in_use_ = true;
      return true;
    case kMethodUserPassword: {
      std::string login;
      login.reserve(3 + SocksUsername.size() + SocksPassword.size());
      login += kLoginVersion;
      login += static_cast<char>(SocksUsername.size());
      login += SocksUsername;
      login += static_cast<char>(SocksPassword.size());
      login += SocksPassword;
      SendText(login);
      if (LastErrorCode() != 0) return false;
      // Only the status byte counts; proxies differ in the version they echo.
      const std::string answer = ReceiveExactText(2, SocksTimeout);
      if (answer.size() < 2) return Refuse(TFailureKind::ProxyProtocol);
      if (answer[1] != 0) return Refuse(TFailureKind::ProxyLoginRefused);
      socks_in_use_ = true;
      return true;
    }
    case 0xFF:  // none of the methods offered is acceptable
      return Refuse(TFailureKind::ProxyLoginRefused);
    default:  // a method never offered
      return Refuse(TFailureKind::ProxyProtocol);
  }
}

std::string TSocksBlockSocket::EncodeSocksDestination(const std::string& host,
                                                      const std::string& port) const {
  const std::string port_bytes = EncodeUInt16BE(ResolvePortNumber(port));
  const std::string target = SocksResolver ? host : ResolveNameFirst(host);
  std::string result;
  if (SocksType == ST_Socks5) {
    if (IsIPv4Text(target)) {
      result += static_cast<char>(kAddressIPv4);
      result += IPv4ToBytes(target);
    } else if (IsIPv6Text(target)) {
      result += static_cast<char>(kAddressIPv6);
      result += IPv6TextToBytes(target);
    } else {
      if (target.size() > kMaxFieldLength) return std::string();
      result += static_cast<char>(kAddressName);
      result += static_cast<char>(target.size());
      result += target;
    }
    result += port_bytes;
    return result;
  }
  // SOCKS 4: the user id and the 4a host name end at the first 0 byte.
  if (SocksUsername.find('\0') != std::string::npos) return std::string();
  result = port_bytes;
  if (IsIPv4Text(target)) {
    result += IPv4ToBytes(target);
    result += SocksUsername;
    result += '\0';
  } else {
    if (target.find('\0') != std::string::npos) return std::string();
    result += std::string{0x00, 0x00, 0x00, 0x01};  // 0.0.0.1: "resolve the name"
    result += SocksUsername;
    result += '\0';
    result += target;
    result += '\0';
  }
  return result;
}

bool TSocksBlockSocket::SendSocksRequest(uint8_t command, const std::string& host,
                                         const std::string& port) {
  socks_refusal_ = TFailureKind::None;
  const std::string destination = EncodeSocksDestination(host, port);
  if (destination.empty()) return Refuse(TFailureKind::ProxyConnectRefused);
  std::string request;
  if (SocksType == ST_Socks5) {
    request = {kSocks5Version, static_cast<char>(command), 0x00};
  } else {
    request = {kSocks4Version, static_cast<char>(command)};
  }
  request += destination;
  SendText(request);
  return LastErrorCode() == 0;
}

bool TSocksBlockSocket::ReadSocksReply() {
  socks_reply_ip_.clear();
  socks_reply_port_.clear();
  socks_reply_code_ = -1;
  socks_refusal_ = TFailureKind::None;
  WholeCallTimeouts bounded(*this);
  // One answer read in up to five parts: SocksTimeout bounds them together.
  const TDeadline deadline(SocksTimeout);
  std::string reply;
  if (SocksType == ST_Socks4) {
    reply = ReceiveExactText(8, deadline.Left());
    if (LastErrorCode() != 0 || reply.size() < 8 || reply[0] != 0) {
      return Refuse(TFailureKind::ProxyProtocol);
    }
    socks_reply_code_ = ByteAt(reply, 1);
  } else {
    reply = ReceiveExactText(4, deadline.Left());
    if (LastErrorCode() != 0 || reply.size() < 4 || reply[0] != kSocks5Version) {
      return Refuse(TFailureKind::ProxyProtocol);
    }
    switch (ByteAt(reply, 3)) {
      case kAddressIPv4:
        reply += ReceiveExactText(4, deadline.Left());
        break;
      case kAddressName: {
        const uint8_t length = ReceiveOneByte(deadline.Left());
        if (LastErrorCode() != 0) return false;
        reply += static_cast<char>(length);
        reply += ReceiveExactText(length, deadline.Left());
        break;
      }
      case kAddressIPv6:
        reply += ReceiveExactText(16, deadline.Left());
        break;
      default:
        return Refuse(TFailureKind::ProxyProtocol);
    }
    if (LastErrorCode() != 0) return false;
    reply += ReceiveExactText(2, deadline.Left());
    if (LastErrorCode() != 0) return false;
    socks_reply_code_ = ByteAt(reply, 1);
  }
  // Either success code is accepted from either version.
  if (socks_reply_code_ != kSocks5Granted && socks_reply_code_ != kSocks4Granted) {
    return Refuse(TFailureKind::ProxyConnectRefused);
  }
  DecodeSocksAddress(reply);
  return true;
}

void TSocksBlockSocket::DecodeSocksAddress(std::string_view reply) {
  socks_reply_port_ = "0";
  const size_t size = reply.size();
  int port_index = 0;  // 1-based position of the port's high byte
  if (SocksType == ST_Socks4) {
    if (size < 8) return;
    socks_reply_ip_ = DottedQuad(reply.substr(4, 4));
    port_index = 3;
  } else {
    if (size < 4) return;
    switch (ByteAt(reply, 3)) {
      case kAddressIPv4:
        if (size < 10) return;
        socks_reply_ip_ = DottedQuad(reply.substr(4, 4));
        port_index = 9;
        break;
      case kAddressName: {
        if (size < 5) return;
        const size_t n = ByteAt(reply, 4);
        if (size < n + 7) return;
        socks_reply_ip_.assign(reply.substr(5, n));
        port_index = static_cast<int>(n) + 6;
        break;
      }
      case kAddressIPv6:
        if (size < 22) return;
        socks_reply_ip_ = IPv6BytesToText(reply.substr(4, 16));
        port_index = 21;
        break;
      default:
        return;
    }
  }
  socks_reply_port_ = std::to_string(DecodeUInt16BE(reply, port_index));
}

}  // namespace zud
