// Runs an end-to-end test program against pelkin-sim over a real byte stream.
//
//   stream_e2e_runner PELKIN_SIM tcp E2E_PROGRAM [ARGS...]
//     one server on a free loopback port, a fresh card for every connection
//     (as every open of the in-process simulator makes a fresh card);
//   stream_e2e_runner PELKIN_SIM pty E2E_PROGRAM [ARGS...]
//     a serial line has no connections, so every test of the program runs
//     alone against its own server on a new pseudo-terminal.
//
// The reader address reaches the program in OSTREL_E2E_READER. The exit code
// is the program's (1 if any run failed), 2 when the server could not start.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "sim_process.h"

extern char** environ;

namespace {

constexpr int kProgramTimeoutMs = 240000;

// Runs `argv` to its end (bounded); its exit code, or 1 when it failed otherwise.
int Run(const std::vector<std::string>& args, std::string* output = nullptr) {
  int out[2] = {-1, -1};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (output != nullptr) {
    if (::pipe(out) != 0) return 1;
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
  }
  std::vector<std::string> copy = args;
  std::vector<char*> argv;
  for (std::string& a : copy) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  int rc = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (output != nullptr) {
    ::close(out[1]);
    if (rc == 0) {
      char chunk[4096];
      ssize_t n;
      while ((n = ::read(out[0], chunk, sizeof chunk)) > 0)
        output->append(chunk, static_cast<std::size_t>(n));
    }
    ::close(out[0]);
  }
  if (rc != 0) {
    std::fprintf(stderr, "stream_e2e_runner: cannot start %s\n", args[0].c_str());
    return 1;
  }
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kProgramTimeoutMs);
  for (;;) {
    int status = 0;
    pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
    if (std::chrono::steady_clock::now() >= deadline) {
      std::fprintf(stderr, "stream_e2e_runner: %s did not finish in time\n", args[0].c_str());
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      return 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

// The full names of the tests the program would run with `args`.
std::vector<std::string> ListTests(const std::vector<std::string>& program) {
  std::vector<std::string> args = program;
  args.push_back("--gtest_list_tests");
  std::string listing;
  std::vector<std::string> names;
  if (Run(args, &listing) != 0) return names;
  std::string suite;
  std::size_t start = 0;
  while (start < listing.size()) {
    std::size_t end = listing.find('\n', start);
    if (end == std::string::npos) end = listing.size();
    std::string line = listing.substr(start, end - start);
    start = end + 1;
    if (line.empty()) continue;
    std::size_t comment = line.find("  #");
    if (comment != std::string::npos) line.resize(comment);
    if (line[0] != ' ') {
      suite = line;
    } else {
      names.push_back(suite + line.substr(line.find_first_not_of(' ')));
    }
  }
  return names;
}

bool StartServer(transport_test::SimProcess* sim, const std::string& program,
                 const std::vector<std::string>& args) {
  if (!sim->Start(program, args)) {
    std::fprintf(stderr, "stream_e2e_runner: %s did not start\n", program.c_str());
    return false;
  }
  setenv("OSTREL_E2E_READER", sim->address().c_str(), 1);
  std::printf("stream_e2e_runner: reader %s\n", sim->address().c_str());
  std::fflush(stdout);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s PELKIN_SIM tcp|pty E2E_PROGRAM [ARGS...]\n", argv[0]);
    return 2;
  }
  const std::string server = argv[1];
  const std::string mode = argv[2];
  const std::vector<std::string> program(argv + 3, argv + argc);

  if (mode == "tcp") {
    transport_test::SimProcess sim;
    if (!StartServer(&sim, server,
                     {"--listen", "127.0.0.1:0", "--new-card-per-client", "--seed", "1"})) {
      return 2;
    }
    int result = Run(program);
    if (sim.Stop(SIGTERM) != 0) {
      std::fprintf(stderr, "stream_e2e_runner: pelkin-sim did not stop cleanly\n");
      result = result != 0 ? result : 1;
    }
    return result;
  }
  if (mode != "pty") {
    std::fprintf(stderr, "stream_e2e_runner: unknown mode %s\n", mode.c_str());
    return 2;
  }

  // Keep the caller's other arguments but run one test at a time.
  std::vector<std::string> tests = ListTests(program);
  if (tests.empty()) {
    std::fprintf(stderr, "stream_e2e_runner: no tests selected\n");
    return 1;
  }
  int failures = 0;
  for (const std::string& test : tests) {
    transport_test::SimProcess sim;
    if (!StartServer(&sim, server, {"--pty", "--seed", "1"})) return 2;
    std::vector<std::string> one = program;
    one.push_back("--gtest_filter=" + test);
    if (Run(one) != 0) {
      std::fprintf(stderr, "stream_e2e_runner: %s failed over %s\n", test.c_str(),
                   sim.address().c_str());
      ++failures;
    }
    if (sim.Stop(SIGTERM) != 0) ++failures;
  }
  std::printf("stream_e2e_runner: %zu tests over serial, %d failed\n", tests.size(), failures);
  return failures == 0 ? 0 : 1;
}
