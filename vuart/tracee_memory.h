#pragma once
// The memory side of a port string instruction, which is the processor's: a stub of vuart's runs in the thread, a `rep
// movs` between the program's memory and a window of vuart's in the same process, so that page faults, stack growth,
// SIGBUS, alignment checks and protection keys, with their signal context, are the kernel's own.

#include <sys/types.h>
#include <sys/user.h>

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <utility>

#include "memory.h"
#include "remote_call.h"
#include "threads.h"
#include "tracee_access.h"

namespace vuart {

// A process's transfer window: a page of stubs, and room for the largest run of elements.
struct Window {
  std::uint64_t code;
  std::uint64_t data;
};

// The transfer window of each process, mapped into it the first time one of its
// threads needs it: two private anonymous mappings, the code never writable,
// so that a process that denies memory both writable and executable takes it.
// A fork child inherits its parent's; exec loses it.
class TransferWindows {
 public:
  static constexpr std::uint64_t code_bytes = 4096;
  static constexpr std::uint64_t data_bytes = 1U << 20;
  using Token = std::array<std::uint8_t, 16>;  // opens the code page: tells vuart's window from anything else

  TransferWindows();
  // The window in the thread's process, mapping it there if need be; nothing,
  // after a message, when the process refuses it.
  std::optional<Window> window(pid_t tid, Thread &thread, const user_regs_struct &regs, RemoteCalls &remote);
  void forget(pid_t process) { windows_.erase(process); }
  // A new process has its creator's window, copied by fork or shared by vfork.
  void inherit(pid_t creator, pid_t child);

 private:
  std::optional<Window> map_window(pid_t tid, Thread &thread, const user_regs_struct &regs, RemoteCalls &remote);

  Token token_{};
  std::map<pid_t, Window> windows_;  // by process
};

// The memory of a thread stopped at a port instruction, with registers `regs`,
// as its processor reaches it through its process's window.
class TraceeMemory final : public Memory {
 public:
  TraceeMemory(pid_t tid, Thread &thread, const user_regs_struct &regs, Window window, RemoteCalls &remote)
      : tid_(tid), thread_(thread), regs_(regs), window_(window), remote_(remote)
  {
  }
  Moved read(const Elements &elements, std::span<std::uint8_t> out) override;
  std::uint64_t writable(const Elements &elements) override;
  Moved write(const Elements &elements, std::span<const std::uint8_t> in) override;

  // Raises the last fault once more, for its signal context, after vuart ran
  // other code in the thread.
  void refault();
  // Has the processor raise the single-step trap that follows an instruction
  // when the trap flag is set; the thread stops with it, its signal context
  // the kernel's. False when the thread ended.
  bool trap_after();

 private:
  struct Outcome {
    std::uint64_t left;              // RCX when it stopped
    std::optional<siginfo_t> fault;  // unless it finished
    bool ran;                        // false when the thread ended
  };
  // Runs the stub at stub_offset in the code page from the registers in `start`.
  Outcome run(std::uint64_t stub_offset, std::uint64_t stub_length, user_regs_struct start);
  // Runs the `rep movs` stub from `source` to `destination`; its outcome.
  Moved move(const Elements &elements, std::uint64_t source, std::uint64_t destination, SegmentOverride segment);
  // The window's end of a run: its first element's address there.
  [[nodiscard]] std::uint64_t window_start(const Elements &elements) const;

  pid_t tid_;
  Thread &thread_;
  const user_regs_struct &regs_;
  Window window_;
  RemoteCalls &remote_;
  std::optional<user_regs_struct> last_fault_;  // where the stub that faulted started
};

}  // namespace vuart
