// Deploys a folder to an FTP server with sync: only what changed since the
// last deploy is sent (a state file on the server remembers), what is gone
// locally is deleted there, folders are made as needed. Prints each file as
// it goes, and the progress on standard error.
//
//   deploy_site HOST PORT USER PASSWORD LOCAL_FOLDER REMOTE_FOLDER
#include <cstdio>
#include <cstdlib>
#include <string>

#include "deploy/deploy.h"
#include "deploy/figures.h"

namespace {

void PrintFile(const zud::TFileEvent& event) {
  const char* path = event.path.c_str();
  switch (event.outcome) {
    case zud::TFileOutcome::kStored:
      std::printf("sent    %s (%s)\n", path, zud::FormatByteSize(event.bytes).c_str());
      break;
    case zud::TFileOutcome::kDeleted:
      std::printf("deleted %s\n", path);
      break;
    case zud::TFileOutcome::kSkipped:
    case zud::TFileOutcome::kFailed:
      std::printf("%s %s\n", event.outcome == zud::TFileOutcome::kFailed ? "failed " : "skipped",
                  event.message.c_str());
      break;
    default:
      break;
  }
  std::fflush(stdout);
}

// One line, redrawn: files done, bytes sent.
void PrintProgress(const zud::TDeployProgress& progress) {
  std::fprintf(stderr, "\r%zu/%zu files  %s of %s ", progress.files_done, progress.files_total,
               zud::FormatByteSize(progress.bytes_done).c_str(),
               zud::FormatByteSize(progress.bytes_total).c_str());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 7) {
    std::fprintf(stderr,
                 "usage: deploy_site HOST PORT USER PASSWORD LOCAL_FOLDER REMOTE_FOLDER\n");
    return 2;
  }
  zud::TDeployOptions options;
  options.Host = argv[1];
  options.Port = std::atoi(argv[2]);
  options.User = argv[3];
  options.Password = argv[4];
  options.Sources = {std::string(argv[5]) + "/"};  // what the folder holds, not the folder
  options.RemoteDir = argv[6];
  options.Passive = true;
  options.TimeoutMs = 15000;
  options.Recursive = options.Sync = options.Delete = options.MakeDirs = true;
  options.OnFile = PrintFile;
  options.OnProgress = PrintProgress;
  options.OnNotice = [](const zud::TDeployNotice& notice) {
    if (!notice.text.empty()) std::fprintf(stderr, "\n%s\n", notice.text.c_str());
  };

  const zud::TDeployResult result = zud::RunDeploy(options);
  const zud::TDeployCounts& counts = result.counts;
  std::fprintf(stderr, "\n");
  std::printf("%zu sent, %zu unchanged, %zu deleted, %zu failed, %s in %llu ms\n", counts.stored,
              counts.unchanged, counts.deleted, counts.failed,
              zud::FormatByteSize(counts.bytes).c_str(),
              static_cast<unsigned long long>(result.elapsed_ms));
  return result.failure == zud::TDeployFailure::kNone ? 0 : 1;
}
