// The report for machines that /report:FILE asks for: one JSON object with
// LF line ends, written at the end of a folder or sync run (after a failure
// or Ctrl-C too), into FILE or, for "-", onto standard output in place of
// the dialogue and the plan. docs/ci.md documents the format; a change that
// takes or renames a field raises kReportVersion, one that adds a field
// does not.
//
//   {
//     "format": "ftpupload-report", "version": 1,
//     "tool": "ftpupload 1.4.0", "mode": "sync", "dry_run": false,
//     "server": {"host": "ftp.example.com", "port": 21, "remote_dir": "/htdocs"},
//     "started": "2026-12-08T07:10:11Z", "elapsed_ms": 1234,
//     "exit_status": 0, "failure": "none",
//     "counts": {"sent": 2, "unchanged": 1831, "deleted": 1, "failed": 0,
//                "not_sent": 0, "folders_made": 0, "bytes": 5210,
//                "deletes_held_back": 0},
//     "deletes_held_back": null,
//     "files": [
//       {"path": "/htdocs/app.js", "outcome": "sent", "bytes": 5120, "reason": "content"},
//       {"path": "/htdocs/old.html", "outcome": "deleted"},
//       {"path": "/htdocs/big.mp4", "outcome": "failed", "failure": "refused",
//        "reply": "452 Insufficient storage space", "message": "..."}
//     ],
//     "plan": null,
//     "notices": [{"kind": "warning", "text": "..."}]
//   }
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "deploy/deploy.h"
#include "frontend/settings.h"
#include "util/api.h"

namespace ZUD_API zud {

inline constexpr int kReportVersion = 1;

// What the report says beyond the result.
struct TReportFacts {
  std::string tool;           // "ftpupload 1.4.0"
  int64_t started = 0;        // seconds since 1970 UTC
  int exit_status = 0;
  std::vector<TDeployNotice> notices;  // as they came
};

// The report of a run of settings that ended with result.
std::string FormatReport(const TUploadSettings& settings, const TDeployResult& result,
                         const TReportFacts& facts);

// text as a JSON string, quotes included. Bytes outside well-formed UTF-8
// become the character of the same number (\u0080..\u00ff), as Latin-1
// reads them.
std::string JsonString(std::string_view text);

}  // namespace zud
