#include "support/temp_dir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

namespace ztv::test {

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/ztv-test-XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (!::mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
  path_ = buf.data();
}

TempDir::~TempDir() {
  std::error_code ec;
  // Restore permissions that tests took away so that removal succeeds.
  for (auto it = std::filesystem::recursive_directory_iterator(path_, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
  }
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ec);
  std::filesystem::remove_all(path_, ec);
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) ADD_FAILURE() << "cannot write " << path;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    ADD_FAILURE() << "cannot read " << path;
    return {};
  }
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::optional<std::string> ReadProcFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string data;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ::close(fd);
      return std::nullopt;
    }
    if (n == 0) break;
    data.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  return data;
}

std::map<std::string, std::string> Snapshot(const std::string& root) {
  std::map<std::string, std::string> out;
  for (auto it = std::filesystem::recursive_directory_iterator(root); it != std::filesystem::recursive_directory_iterator();
       ++it) {
    std::string rel = std::filesystem::relative(it->path(), root).string();
    out[rel] = it->is_directory() ? "<dir>" : ReadFile(it->path().string());
  }
  return out;
}

std::map<std::string, std::string> StatSnapshot(const std::string& root) {
  std::map<std::string, std::string> out;
  for (auto it = std::filesystem::recursive_directory_iterator(root); it != std::filesystem::recursive_directory_iterator();
       ++it) {
    const std::string path = it->path().string();
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) {
      ADD_FAILURE() << "cannot lstat " << path;
      continue;
    }
    char attrs[64];
    std::snprintf(attrs, sizeof attrs, "%04o %u:%u", static_cast<unsigned>(st.st_mode & 07777),
                  static_cast<unsigned>(st.st_uid), static_cast<unsigned>(st.st_gid));
    const std::string mtime = std::to_string(static_cast<long long>(st.st_mtim.tv_sec));
    // lexically: relative() would resolve a link to what it points at
    std::string& entry = out[it->path().lexically_relative(root).string()];
    if (S_ISDIR(st.st_mode)) {
      entry = std::string("d ") + attrs;
    } else if (S_ISREG(st.st_mode)) {
      entry = std::string("f ") + attrs + " " + mtime + " " + ReadFile(path);
    } else if (S_ISLNK(st.st_mode)) {
      std::vector<char> target(4096);
      const ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
      entry = "l " + std::to_string(st.st_uid) + ":" + std::to_string(st.st_gid) + " " + mtime + " -> " +
              std::string(target.data(), n > 0 ? static_cast<size_t>(n) : 0);
    } else if (S_ISFIFO(st.st_mode)) {
      entry = std::string("p ") + attrs;
    } else {
      entry = "?";
    }
  }
  return out;
}

int RunShell(const std::string& command, std::string& output) {
  output.clear();
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (!pipe) return -1;
  char buffer[4096];
  size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, got);
  const int status = ::pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

ProgramResult RunProgram(const std::string& commandLine, const std::string& input) {
  TempDir dir;
  const std::string in = dir / "in", out = dir / "out", err = dir / "err";
  WriteFile(in, input);
  const int status = std::system((commandLine + " <'" + in + "' >'" + out + "' 2>'" + err + "'").c_str());
  ProgramResult r;
  r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.out = ReadFile(out);
  r.err = ReadFile(err);
  return r;
}

}  // namespace ztv::test
