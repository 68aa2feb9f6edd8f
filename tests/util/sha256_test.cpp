#include "util/sha256.h"

#include <gtest/gtest.h>

#include <string>

#include "support/temp_dir.h"
#include "util/stream.h"

namespace zud {
namespace {

constexpr char kMillionAs[] = "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0";

TEST(Sha256Test, NistVectors) {
  const struct {
    std::string message;
    const char* digest;
  } cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmn"
       "hijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu",
       "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
      {std::string(1000000, 'a'), kMillionAs},
  };
  // The processor's SHA instructions where it has them, then the portable code.
  for (const bool extensions : {true, false}) {
    SCOPED_TRACE(UseSha256Extensions(extensions) ? "SHA instructions" : "portable");
    for (const auto& c : cases) {
      EXPECT_EQ(Sha256Hex(c.message), c.digest) << c.message.size() << " bytes";
    }
  }
  UseSha256Extensions(true);
}

TEST(Sha256Test, SplitUpdatesMatchOneShotAndFinalResets) {
  std::string input(130, '\0');
  for (size_t i = 0; i < input.size(); ++i) input[i] = static_cast<char>(i * 7 + 3);
  const std::string whole = Sha256Hex(input);
  TSha256 hasher;
  for (size_t split = 0; split <= input.size(); ++split) {
    hasher.Update(input.substr(0, split));
    hasher.Update(input.data() + split, input.size() - split);
    EXPECT_EQ(HexOfDigest(hasher.Final()), whole) << "split at " << split;
  }
  // After Final the same object hashes a fresh message.
  EXPECT_EQ(HexOfDigest(hasher.Final()), Sha256Hex(""));
}

TEST(Sha256Test, FileOfSeveralChunks) {
  test::TempDir dir;
  ASSERT_TRUE(dir.ok()) << dir.error();
  ASSERT_TRUE(dir.Write("a.txt", std::string(1000000, 'a')));
  ASSERT_TRUE(dir.Write("empty", ""));
  EXPECT_EQ(Sha256HexOfFile((dir / "a.txt").string()), kMillionAs);
  EXPECT_EQ(Sha256HexOfFile((dir / "empty").string()), Sha256Hex(""));
  EXPECT_THROW(Sha256HexOfFile((dir / "missing").string()), EFileOpenError);
}

}  // namespace
}  // namespace zud
