// The small rules of tree uploads that need no server: where a folder goes,
// the temporary name of an atomic store, the reconnect back-off.
#include "deploy/paths.h"

#include <gtest/gtest.h>

#include "deploy/session.h"

namespace zud {
namespace {

TEST(FolderRulesTest, TreeRootTemporaryNameAndBackOff) {
  struct Root {
    const char* local;
    const char* remote;
  } roots[] = {
      {"site", "/www/site/"}, {"site/", "/www/"},      {"a/b/site", "/www/site/"},
      {".", "/www/"},         {"a/..", "/www/"},       {"C:\\web\\", "/www/"},
      {"C:\\web", "/www/web/"},
  };
  for (const Root& r : roots) EXPECT_EQ(RemoteTreeRoot("/www/", r.local), r.remote) << r.local;

  EXPECT_EQ(AtomicTemporaryName("/www/css/a.css"), "/www/css/.a.css.ftpupload-part");
  EXPECT_EQ(AtomicTemporaryName("rel.txt"), ".rel.txt.ftpupload-part");

  const int32_t delays[] = {1000, 2000, 4000, 8000, 16000, 30000, 30000, 30000};
  for (int n = 1; n <= 8; ++n) EXPECT_EQ(ReconnectDelayMs(n), delays[n - 1]) << n;
}

}  // namespace
}  // namespace zud
