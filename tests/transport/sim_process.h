// Runs pelkin-sim as a child process for a test and learns its address from
// the line it prints. Every wait is bounded; the destructor kills a leftover child.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace transport_test {

class SimProcess {
 public:
  SimProcess() = default;
  ~SimProcess();
  SimProcess(const SimProcess&) = delete;
  SimProcess& operator=(const SimProcess&) = delete;

  // Starts `program` with `args`; true once it has announced its address.
  bool Start(const std::string& program, const std::vector<std::string>& args,
             int timeoutMs = 5000);
  // "tcp:127.0.0.1:PORT" or "serial:/dev/pts/N", as printed.
  const std::string& address() const { return address_; }
  pid_t pid() const { return pid_; }
  // Sends `signal` and waits for the exit; the exit code, 128+signal when
  // killed by a signal, or -1 when it did not end in time.
  int Stop(int signal, int timeoutMs = 5000);
  // Waits for the child to end by itself (see Stop for the result).
  int Wait(int timeoutMs);

 private:
  pid_t pid_ = -1;
  int stdout_ = -1;
  std::string address_;
};

}  // namespace transport_test
