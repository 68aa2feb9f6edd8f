// Local sources that are not plain files (a FIFO, a pseudo file under /proc),
// ports that no port number can be, and IPv6 texts of a single zero group at
// either end: the inputs the upload path used to take on trust.
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <thread>

#include "gtest/gtest.h"
#include "support/temp_dir.h"
#include "util/iptext.h"
#include "util/sockapi.h"
#include "util/stream.h"

namespace zud {
namespace {

std::string ReadToEnd(TStream& stream) {
  std::string all;
  char piece[4096];
  for (int64_t n; (n = stream.Read(piece, sizeof piece)) > 0;) all.append(piece, static_cast<size_t>(n));
  return all;
}

TEST(FileStreamSources, SizeAndOffsetsOnlyWhereTheyMeanSomething) {
  test::TempDir dir;
  ASSERT_TRUE(dir.ok());
  ASSERT_TRUE(dir.Write("plain", "plain bytes"));
  ASSERT_TRUE(dir.Write("empty", ""));
  const std::string fifo = (dir / "fifo").string();
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::ifstream proc("/proc/version");
  const std::string proc_text((std::istreambuf_iterator<char>(proc)), {});

  struct Case {
    std::string path;
    bool size_known;
    bool seekable;
    std::string content;
  };
  const Case cases[] = {
      {(dir / "plain").string(), true, true, "plain bytes"},
      {(dir / "empty").string(), true, true, ""},
      {"/proc/version", false, true, proc_text},
      {fifo, false, false, std::string(200000, 'p')},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    std::thread writer;
    if (c.path == fifo) writer = std::thread([&] { std::ofstream(fifo) << c.content; });
    TFileStream stream(c.path, TFileStream::Mode::kRead);
    EXPECT_EQ(stream.SizeKnown(), c.size_known);
    EXPECT_EQ(stream.Seekable(), c.seekable);
    EXPECT_EQ(ReadToEnd(stream), c.content);
    EXPECT_FALSE(stream.Failed());
    if (writer.joinable()) writer.join();
  }
}

TEST(PortRange, ANumberBeyond16BitsNamesNoPort) {
  for (const bool legacy : {false, true}) {
    SCOPED_TRACE(legacy ? "legacy" : "address info");
    SetAddrInfoApiAvailableForTesting(!legacy);
    for (const char* port : {"65536", "70000", "-1", "4294967317", "99999999999999999999"}) {
      SCOPED_TRACE(port);
      TSocketAddress address;
      EXPECT_EQ(BuildSocketAddress(address, "127.0.0.1", port, kAfInet, kIpProtoTcp, kSockStream,
                                   true),
                10109);
      EXPECT_EQ(ResolveServicePort(port, kAfInet, kIpProtoTcp, kSockStream), 0);
    }
    TSocketAddress address;
    ASSERT_EQ(BuildSocketAddress(address, "127.0.0.1", "65535", kAfInet, kIpProtoTcp, kSockStream,
                                 true),
              0);
    EXPECT_EQ(SocketAddressPort(address), 65535);
  }
  SetAddrInfoApiAvailableForTesting(true);
}

TEST(IPv6TextRoundTrip, ASingleZeroGroupAtEitherEnd) {
  for (const std::string& bytes : {std::string("\x12\x34", 2) + std::string(12, '\x01') + '\0' + '\0',
                                  std::string(2, '\0') + std::string(14, '\x7F')}) {
    const std::string text = IPv6BytesToText(bytes);
    EXPECT_EQ(IPv6TextToBytes(text), bytes) << text;
  }
  EXPECT_EQ(ExpandIPv6Text("1:2:3:4:5:6:7::"), "1:2:3:4:5:6:7:0");
  EXPECT_EQ(ExpandIPv6Text("::2:3:4:5:6:7:8"), "0:2:3:4:5:6:7:8");
  EXPECT_EQ(ExpandIPv6Text("1:2:3:4:5:6:7:8:9"), "");
}

}  // namespace
}  // namespace zud
