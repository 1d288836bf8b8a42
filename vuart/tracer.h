#pragma once
// Runs a program under ptrace against the virtual port space and records what it does.

#include <sys/signalfd.h>
#include <sys/types.h>
#include <sys/user.h>
#include <sys/wait.h>

#include <csignal>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "containment.h"
#include "executor.h"
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

// A waitpid status, as ptrace reports stops.
struct WaitStatus {
  int raw;
  [[nodiscard]] bool ended() const { return WIFEXITED(raw) || WIFSIGNALED(raw); }
  [[nodiscard]] bool stopped() const { return WIFSTOPPED(raw); }
  [[nodiscard]] int stop_signal() const { return WSTOPSIG(raw); }
  [[nodiscard]] int event() const { return (raw >> 16) & 0xFF; }  // PTRACE_EVENT_*, or 0
  [[nodiscard]] bool syscall_stop() const { return stopped() && WSTOPSIG(raw) == (SIGTRAP | 0x80); }
  [[nodiscard]] bool group_stop() const;  // a stop signal took effect (seen through PTRACE_SEIZE)
};

// The kernel's struct sigaction, as rt_sigaction takes it on x86-64.
struct KernelSigaction {
  std::uint64_t handler = 0;  // SIG_DFL 0, SIG_IGN 1, or the handler's address
  std::uint64_t flags = 0;
  std::uint64_t restorer = 0;
  std::uint64_t mask = 0;
};

class Tracer {
 public:
  // com1_input, when given, supplies the bytes that arrive on COM1's line.
  // standard_output is vuart's, which COM1 may share.
  Tracer(const Options &options, const CallerSignals &caller_signals, Output &standard_output, ByteSink &com1,
         TraceLog &trace, LineInput *com1_input = nullptr);
  RunSummary run();

 private:
  struct PendingWrite {
    long syscall;
    int fd;
    std::uint64_t buffer;  // the data, or the iovec array of the vectored calls
    std::uint64_t count;   // bytes, or iovecs
  };
  struct Thread {
    pid_t process = 0;  // its thread group
    IoPermissions permissions;
    std::optional<PendingWrite> write;
    std::optional<KernelSigaction> segv_change;  // an rt_sigaction(SIGSEGV) on its way
    std::shared_ptr<KernelSigaction> segv;       // shared by the threads sharing signal handlers
    std::optional<siginfo_t> held_signal;        // arrived while vuart ran a call in this thread
  };

  void handle_stop(pid_t tid, WaitStatus status);
  void handle_seccomp(pid_t tid);
  void handle_syscall_exit(pid_t tid);
  void handle_new_tracee(pid_t parent, pid_t child, unsigned long clone_flags);
  void handle_exec(pid_t tid);
  void handle_segv(pid_t tid, siginfo_t info);
  void wait();
  void wait_and_drain();
  void handle(pid_t tid, WaitStatus status);
  static JsonObject port_event(pid_t tid, const user_regs_struct &regs, const PortInstruction &instruction);
  void restore_segv_state(pid_t tid, const user_regs_struct &regs);
  bool call_rt_sigaction(pid_t tid, const user_regs_struct &regs, const KernelSigaction &action);
  std::optional<std::uint64_t> syscall_instruction(pid_t tid);
  void resume_thread(pid_t tid);
  void drain_pty();
  void check_outputs(pid_t tid);
  void end_everything();
  void finish(int status);

  const Options &options_;
  const CallerSignals &caller_signals_;
  Output &standard_output_;
  ByteSink &com1_;
  TraceLog &trace_;
  LineInput *com1_input_;
  std::vector<std::uint8_t> received_;  // bytes taken from COM1's line during this instruction, for the trace
  PortSpace ports_;
  UniqueFd pty_master_;
  pid_t main_pid_ = -1;
  bool exec_seen_ = false;
  bool ended_for_output_ = false;  // an output failed for good, and the program was ended
  bool sigpipe_sent_ = false;      // standard output's reader went away, and the program was told
  std::map<pid_t, Thread> threads_;
  std::set<pid_t> early_starts_;                      // new tracees that stopped before their parent's clone event
  std::map<pid_t, std::uint64_t> syscall_addresses_;  // per process: a syscall instruction in its vDSO
  std::vector<std::pair<pid_t, WaitStatus>> ended_meanwhile_;  // threads that ended while vuart ran a call in them
  std::optional<int> main_status_;
  std::uint64_t port_instructions_ = 0;
};

}  // namespace vuart
