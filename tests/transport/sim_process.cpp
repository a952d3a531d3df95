#include "sim_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

extern char** environ;

namespace transport_test {

SimProcess::~SimProcess() {
  if (pid_ > 0) Stop(SIGKILL, 2000);
  if (stdout_ >= 0) ::close(stdout_);
}

bool SimProcess::Start(const std::string& program, const std::vector<std::string>& args,
                       int timeoutMs) {
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return false;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  std::vector<std::string> all{program};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  int rc = ::posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  stdout_ = out[0];
  if (rc != 0) {
    pid_ = -1;
    return false;
  }
  // The first line is the address.
  std::string line;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (line.find('\n') == std::string::npos) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{stdout_, POLLIN, 0};
    int ready = ::poll(&p, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    char chunk[256];
    ssize_t n = ::read(stdout_, chunk, sizeof chunk);
    if (n <= 0) return false;
    line.append(chunk, static_cast<std::size_t>(n));
  }
  line.resize(line.find('\n'));
  // "listening ADDRESS" for a server, "connected vpcd:HOST:PORT" for the card in vpcd.
  for (const std::string prefix : {"listening ", "connected "}) {
    if (line.rfind(prefix, 0) == 0) {
      address_ = line.substr(prefix.size());
      return true;
    }
  }
  return false;
}

int SimProcess::Wait(int timeoutMs) {
  if (pid_ <= 0) return -1;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    int status = 0;
    pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      pid_ = -1;
      if (WIFEXITED(status)) return WEXITSTATUS(status);
      if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
      return -1;
    }
    if (done < 0 && errno != EINTR) return -1;
    if (std::chrono::steady_clock::now() >= deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

int SimProcess::Stop(int signal, int timeoutMs) {
  if (pid_ <= 0) return -1;
  ::kill(pid_, signal);
  int result = Wait(timeoutMs);
  if (pid_ > 0) {  // did not end in time: do not leave it behind
    ::kill(pid_, SIGKILL);
    Wait(2000);
  }
  return result;
}

}  // namespace transport_test
