#include "deploy/paths.h"

namespace zud {

std::string WithDirectoryEnd(std::string dir) {
  if (dir.empty() || (dir.back() != '/' && dir.back() != '\\')) dir += '/';
  return dir;
}

std::string LocalFileNamePart(std::string_view path) {
  // Backslash and colon are the Windows delimiters of the paths the tool was
  // first written for; "/" is this platform's own separator.
  const size_t cut = path.find_last_of("\\:/");
  return std::string(cut == std::string_view::npos ? path : path.substr(cut + 1));
}

std::string RemoteFileName(const std::string& remote_dir, std::string_view local_path) {
  return WithDirectoryEnd(remote_dir) + LocalFileNamePart(local_path);
}

std::string RemoteParent(const std::string& remote) {
  const size_t cut = remote.find_last_of('/');
  if (cut == std::string::npos) return std::string();
  if (cut == 0) return "/";
  return remote.substr(0, cut);
}

std::string WithoutTrailingSlash(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

std::string JoinRemote(const std::string& root, const std::string& relative) {
  return relative.empty() ? WithoutTrailingSlash(root) : root + relative;
}

std::string RemoteTreeRoot(const std::string& base, const std::string& local_folder) {
  if (local_folder.empty()) return base;
  const char last = local_folder.back();
  if (last == '/' || last == '\\') return base;
  const std::string name = LocalFileNamePart(local_folder);
  if (name.empty() || name == "." || name == "..") return base;
  return base + name + "/";
}

std::string AtomicTemporaryName(const std::string& remote) {
  const size_t cut = remote.find_last_of('/');
  const std::string folder = cut == std::string::npos ? std::string() : remote.substr(0, cut + 1);
  const std::string name = cut == std::string::npos ? remote : remote.substr(cut + 1);
  return folder + "." + name + ".ftpupload-part";
}

bool IsServerOwnedName(std::string_view path) {
  static constexpr std::string_view kServerOwned[] = {".ftpquota"};
  const size_t cut = path.find_last_of('/');
  const std::string_view name = cut == std::string_view::npos ? path : path.substr(cut + 1);
  for (const std::string_view owned : kServerOwned) {
    if (name == owned) return true;
  }
  return false;
}

}  // namespace zud
