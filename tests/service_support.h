// What the tests of the HTTP service share: token lines, a service running in the test process on
// a free port, and `kx serve` as a process of its own.
#pragma once

#include <fcntl.h>
#include <httplib.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "service/server.h"
#include "service/tokens.h"
#include "test_support.h"

namespace kx::test {

using service::Service;
using service::ServiceOptions;

inline std::string Hex(const unsigned char (&digest)[32]) {
  char out[65];
  for (int i = 0; i < 32; ++i) std::snprintf(out + 2 * i, 3, "%02x", digest[i]);
  return std::string(out, 64);
}

// A token file line for client `name` holding `token`, allowed `patterns`.
inline std::string TokenLine(const std::string& name, const std::string& token, const std::string& patterns) {
  unsigned char digest[32];
  service::Sha256(token, digest);
  return name + " " + Hex(digest) + " " + patterns + "\n";
}

inline std::string ProfileXml(const std::string& code, const std::string& name = "n") {
  return "<Root><JBTypeProfiles><JBTypeProfile Code=\"" + code + "\" JBTypeName=\"" + name +
         "\" JBTypeCategory=\"c\"/></JBTypeProfiles></Root>";
}

// A service running in this process on a free port, stopped when the object goes.
class RunningService {
 public:
  explicit RunningService(ServiceOptions options = {}) {
    options.host = "127.0.0.1";
    options.port = 0;
    service_ = std::make_unique<Service>(std::move(options));
    service_->SetLogSink([this](const std::string& line) {
      std::lock_guard lock(mutex_);
      log_.push_back(line);
    });
    port_ = service_->Bind();
    thread_ = std::thread([this] { service_->Run(); });
  }
  ~RunningService() {
    service_->Stop();
    thread_.join();
  }
  httplib::Client Client() const {
    httplib::Client c("127.0.0.1", port_);
    c.set_read_timeout(60, 0);
    // One connection: a request's log line and metrics are written after its answer, on the thread
    // that answered, so the next request on the same connection sees them.
    c.set_keep_alive(true);
    return c;
  }
  int port() const { return port_; }
  std::vector<std::string> Log() const {
    std::lock_guard lock(mutex_);
    return log_;
  }

 private:
  std::unique_ptr<Service> service_;
  std::thread thread_;
  int port_ = 0;
  mutable std::mutex mutex_;
  std::vector<std::string> log_;
};

// `kx serve` started in the background; the first line it prints tells its URL.
class ServeProcess {
 public:
  // `environment` ("NAME=value") is set for the process alone.
  ServeProcess(const TestHome& home, const std::vector<std::string>& args,
               const std::vector<std::string>& environment = {}) {
    int out[2];
    if (pipe(out) != 0) throw std::runtime_error("pipe");
    errPath_ = home.folder() + "/serve-stderr.txt";
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], STDOUT_FILENO);
      const int err = open(errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      dup2(err, STDERR_FILENO);
      close(out[0]);
      for (const auto& e : environment) putenv(strdup(e.c_str()));
      std::vector<std::string> all = {KX_BINARY, "--quiet", "--home", home.folder(), "serve"};
      all.insert(all.end(), args.begin(), args.end());
      std::vector<char*> argv;
      for (auto& a : all) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(out[1]);
    stdout_ = fdopen(out[0], "r");
    char line[256] = {};
    if (fgets(line, sizeof line, stdout_)) firstLine_ = line;
  }
  ~ServeProcess() {
    if (pid_ > 0 && !exited_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (stdout_) fclose(stdout_);
  }
  const std::string& firstLine() const { return firstLine_; }
  int port() const { return std::atoi(firstLine_.substr(firstLine_.rfind(':') + 1).c_str()); }
  void Signal(int sig) const { kill(pid_, sig); }
  pid_t pid() const { return pid_; }
  // The exit status, or -1 when the process did not end within `seconds`.
  int Wait(int seconds) {
    for (int i = 0; i < seconds * 20; ++i) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        exited_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return -1;
  }
  std::string Stderr() const {
    std::ifstream in(errPath_);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

 private:
  pid_t pid_ = -1;
  FILE* stdout_ = nullptr;
  std::string firstLine_, errPath_;
  bool exited_ = false;
};

}  // namespace kx::test
