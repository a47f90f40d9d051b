// Helpers for tests that talk to FTP servers on 127.0.0.1: a child process with a pipe on each
// side (the servers stop when their standard input closes), temporary directories and files.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace ftptest {

constexpr int kLineWaitMs = 20000;
constexpr int kExitWaitMs = 10000;

inline std::string ServersDir() {
  return std::filesystem::path(__FILE__).parent_path().parent_path().string() + "/servers";
}

inline std::string PythonPath() { return "/usr/bin/python3"; }

class ChildProcess {
 public:
  explicit ChildProcess(const std::vector<std::string>& argv) {
    int toChild[2];
    int fromChild[2];
    if (pipe2(toChild, O_CLOEXEC) != 0 || pipe2(fromChild, O_CLOEXEC) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(toChild[0], 0);
      dup2(fromChild[1], 1);
      std::vector<char*> args;
      for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
      args.push_back(nullptr);
      execv(args[0], args.data());
      _exit(127);
    }
    close(toChild[0]);
    close(fromChild[1]);
    stdin_ = toChild[1];
    stdout_ = fromChild[0];
  }

  ~ChildProcess() {
    if (stdin_ >= 0) close(stdin_);
    if (pid_ > 0) {
      const auto deadline =
          std::chrono::steady_clock::now() + std::chrono::milliseconds(kExitWaitMs);
      int status = 0;
      while (waitpid(pid_, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
          kill(pid_, SIGKILL);
          waitpid(pid_, &status, 0);
          break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    }
    if (stdout_ >= 0) close(stdout_);
  }

  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // One line of the child's output, without its end; false at its end or after timeoutMs.
  bool ReadLine(std::string* line, int timeoutMs = kLineWaitMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      const std::size_t end = pending_.find('\n');
      if (end != std::string::npos) {
        *line = pending_.substr(0, end);
        pending_.erase(0, end + 1);
        return true;
      }
      const long long left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                 deadline - std::chrono::steady_clock::now())
                                 .count();
      pollfd entry{stdout_, POLLIN, 0};
      if (left <= 0 || poll(&entry, 1, static_cast<int>(left)) <= 0) return false;
      char chunk[4096];
      const ssize_t got = read(stdout_, chunk, sizeof chunk);
      if (got <= 0) return false;
      pending_.append(chunk, static_cast<std::size_t>(got));
    }
  }

 private:
  pid_t pid_ = -1;
  int stdin_ = -1;
  int stdout_ = -1;
  std::string pending_;
};

// A directory under the system's temporary directory, removed with everything in it.
class TempDir {
 public:
  TempDir() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "quillory-test-XXXXXX").string();
    path_ = mkdtemp(&pattern[0]);
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::string& Path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline std::string RandomBytes(std::size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  for (char& byte : bytes) byte = static_cast<char>(generator() & 0xff);
  return bytes;
}

inline void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline bool ReadFile(const std::string& path, std::string* bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  *bytes = std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

inline std::vector<std::string> ReadLines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The scripted server of fault_ftpd.py, listening on 127.0.0.1; uploads land in Root().
class FaultServer {
 public:
  explicit FaultServer(const std::vector<std::string>& options)
      : process_(Arguments(options, dir_)) {
    std::string line;
    if (process_.ReadLine(&line) && line.rfind("PORT ", 0) == 0)
      port_ = std::atoi(line.c_str() + 5);
  }
  int Port() const { return port_; }
  std::string Address() const { return "127.0.0.1:" + std::to_string(port_); }
  std::string Root() const { return dir_ / "root"; }
  // The command lines the server received so far.
  std::vector<std::string> Commands() const { return ReadLines(dir_ / "commands.log"); }

 private:
  static std::vector<std::string> Arguments(const std::vector<std::string>& options,
                                            const TempDir& dir) {
    std::filesystem::create_directory(dir / "root");
    std::vector<std::string> argv = {PythonPath(), ServersDir() + "/fault_ftpd.py",
                                     "--root",     dir / "root",
                                     "--log",      dir / "commands.log"};
    argv.insert(argv.end(), options.begin(), options.end());
    return argv;
  }

  TempDir dir_;
  ChildProcess process_;
  int port_ = 0;
};

}  // namespace ftptest
