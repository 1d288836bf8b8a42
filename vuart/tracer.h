#pragma once
// Runs a program under ptrace against the virtual port space and records what it does.

#include <sys/types.h>
#include <sys/user.h>

#include <csignal>

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "io_permissions.h"
#include "json.h"
#include "line_input.h"
#include "options.h"
#include "output.h"
#include "port_instruction.h"
#include "port_space.h"
#include "tracee_memory.h"
#include "unique_fd.h"

namespace vuart {

struct RunSummary {
  int exit_status = 0;  // vuart's own: the program's status, 128+N for signal N, or 125-127
  std::string ending;   // "exited with status 0", "was killed by SIGABRT", or empty when it never ran
  std::uint64_t port_instructions = 0;
};

class Tracer {
 public:
  // com1_input, when given, supplies the bytes that arrive on COM1's line.
  Tracer(const Options &options, ByteSink &com1, TraceLog &trace, LineInput *com1_input = nullptr);
  RunSummary run();

 private:
  struct PendingWrite {
    long syscall;
    int fd;
    std::uint64_t buffer;  // the data, or the iovec array of the vectored calls
    std::uint64_t count;   // bytes, or iovecs
  };
  struct Thread {
    IoPermissions permissions;
    std::optional<PendingWrite> write;
    bool awaiting_start_stop = false;  // a new thread's first SIGSTOP is still to come
  };

  void handle_stop(pid_t tid, int status);
  void handle_seccomp(pid_t tid);
  void handle_write_exit(pid_t tid);
  void handle_new_tracee(pid_t parent, pid_t child);
  void handle_segv(pid_t tid, siginfo_t info);
  bool emulate(pid_t tid, const PortInstruction &instruction, std::uint16_t port, user_regs_struct &regs,
               siginfo_t &fault);
  bool emulate_string(pid_t tid, const PortInstruction &instruction, std::uint16_t port, user_regs_struct &regs,
                      siginfo_t &fault, JsonObject &event);
  // Moves one chunk of a string instruction; returns the bytes memory let through from the starting end.
  std::size_t transfer_chunk(pid_t tid, PortOp op, std::uint16_t port, unsigned width, Direction direction,
                             std::uint64_t low, std::uint64_t elements, std::vector<std::uint8_t> &transferred);
  void drain_pty();
  void finish(int status);

  const Options &options_;
  ByteSink &com1_;
  TraceLog &trace_;
  LineInput *com1_input_;
  std::vector<std::uint8_t> received_;  // bytes taken from COM1's line during this instruction, for the trace
  PortSpace ports_;
  UniqueFd pty_master_;
  pid_t main_pid_ = -1;
  bool exec_seen_ = false;
  bool options_set_ = false;
  std::map<pid_t, Thread> threads_;
  std::set<pid_t> early_starts_;  // new tracees that stopped before their parent's clone event
  std::optional<int> main_status_;
  std::uint64_t port_instructions_ = 0;
};

}  // namespace vuart
