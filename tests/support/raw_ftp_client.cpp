#include "support/raw_ftp_client.h"

#include <cctype>
#include <cstdio>

namespace zud::test {
namespace {

// The code of a reply line "ddd text" / "ddd-text", or 0.
int LineCode(const std::string& line) {
  if (line.size() < 3) return 0;
  for (int i = 0; i < 3; ++i) {
    if (!std::isdigit(static_cast<unsigned char>(line[i]))) return 0;
  }
  if (line.size() > 3 && line[3] != ' ' && line[3] != '-') return 0;
  return std::stoi(line.substr(0, 3));
}

// Port from a 227 reply: the first "h1,h2,h3,h4,p1,p2" in it, with or
// without parentheses; 0 if there is none.
int PasvPort(const std::string& reply) {
  for (size_t i = 4; i < reply.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(reply[i])) ||
        std::isdigit(static_cast<unsigned char>(reply[i - 1]))) {
      continue;
    }
    int h[4], p1, p2;
    if (std::sscanf(reply.c_str() + i, "%d,%d,%d,%d,%d,%d", &h[0], &h[1], &h[2], &h[3], &p1,
                    &p2) == 6 &&
        p1 >= 0 && p1 <= 255 && p2 >= 0 && p2 <= 255) {
      return p1 * 256 + p2;
    }
  }
  return 0;
}

// Port from "229 ... (|||port|)"; 0 if malformed.
int EpsvPort(const std::string& reply) {
  size_t open = reply.find("(|||");
  int port = 0;
  if (open == std::string::npos || std::sscanf(reply.c_str() + open, "(|||%d|)", &port) != 1 ||
      port <= 0 || port > 65535) {
    return 0;
  }
  return port;
}

}  // namespace

int PassiveReplyPort(const std::string& reply) {
  if (reply.compare(0, 3, "229") == 0) return EpsvPort(reply);
  if (reply.compare(0, 3, "227") == 0) return PasvPort(reply);
  return 0;
}

bool RawFtpClient::Connect(const std::string& host, int port) {
  host_ = host;
  family_ = host.find(':') != std::string::npos ? Family::kIPv6 : Family::kIPv4;
  control_ = ConnectTcp(host, port, timeout_ms_, &error_);
  return control_.valid() && ReadReply() != 0;
}

int RawFtpClient::ReadReply() {
  reply_.clear();
  reply_code_ = 0;
  std::string line;
  if (!RecvLine(control_.get(), &line, timeout_ms_, &error_)) return 0;
  reply_ = line;
  int code = LineCode(line);
  if (code == 0) {
    error_ = "not a reply line: " + line;
    return 0;
  }
  if (line.size() > 3 && line[3] == '-') {
    // Multi-line: ends with a line of the same code followed by a space.
    const std::string end = line.substr(0, 3) + " ";
    do {
      if (!RecvLine(control_.get(), &line, timeout_ms_, &error_)) return 0;
      reply_ += "\n" + line;
    } while (line.compare(0, 4, end) != 0);
  }
  reply_code_ = code;
  return code;
}

int RawFtpClient::Command(std::string_view line) {
  if (!SendAll(control_.get(), std::string(line) + "\r\n", timeout_ms_, &error_)) {
    reply_code_ = 0;
    return 0;
  }
  return ReadReply();
}

bool RawFtpClient::Login(const std::string& user, const std::string& password) {
  int code = Command("USER " + user);
  if (code == 331) code = Command("PASS " + password);
  return code == 230;
}

int RawFtpClient::Transfer(std::string_view command, DataMode mode,
                           const std::string* upload, std::string* download) {
  UniqueFd data;
  UniqueFd listener;
  bool ipv6 = family_ == Family::kIPv6;
  if (mode == DataMode::kPassive) {
    int port = 0;
    if (Command(ipv6 ? "EPSV" : "PASV") != 0) port = PassiveReplyPort(reply_);
    if (port == 0) {
      if (error_.empty()) error_ = "no usable passive reply: " + reply_;
      return reply_code_;
    }
    // The data connection goes to the control peer, whatever the reply named.
    data = ConnectTcp(host_, port, timeout_ms_, &error_);
    if (!data.valid()) return 0;
  } else {
    listener = ListenTcp(LoopbackHost(family_), 0, &error_);
    if (!listener.valid()) return 0;
    int port = LocalEndpoint(listener.get()).port;
    std::string order;
    if (ipv6) {
      order = "EPRT |2|::1|" + std::to_string(port) + "|";
    } else {
      order = "PORT 127,0,0,1," + std::to_string(port / 256) + "," + std::to_string(port % 256);
    }
    if (Command(order) != 200) return reply_code_;
  }
  int code = Command(command);
  if (code < 100 || code >= 200) return code;
  if (mode == DataMode::kActive) {
    data = AcceptTcp(listener.get(), timeout_ms_, nullptr, &error_);
    if (!data.valid()) return 0;
  }
  std::string ignored;
  bool moved = upload ? SendAll(data.get(), *upload, timeout_ms_, &error_)
                      : RecvAll(data.get(), download ? download : &ignored, timeout_ms_, &error_);
  data.reset();
  if (!moved) return 0;
  return ReadReply();
}

}  // namespace zud::test
