#pragma once
// The memory side of a port string instruction, which is the processor's: a stub of vuart's runs in the thread, a `rep
// movs` between the program's memory and a window of vuart's in the same process, so that page faults, stack growth,
// SIGBUS, alignment checks and protection keys, with their signal context, are the kernel's own. Where the program's
// limits or policy leave no room for the window, vuart reads and writes the memory as a debugger does.

#include <sys/types.h>
#include <sys/user.h>

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>

#include "files/unique_fd.h"
#include "process/peek_poke.h"
#include "process/remote_call.h"
#include "process/threads.h"
#include "x86/memory.h"

namespace vuart {

// A process's transfer window: a page of stubs, and room for the largest run of elements.
struct Window {
  using Canary = std::array<std::uint8_t, 16>;
  std::uint64_t code;
  std::uint64_t data;
  Canary canary;  // just past the data, where no transfer reaches: memory mapped over the data lacks it
};

// The transfer windows of each process, mapped into it the first time one of
// its threads needs one (see remote_mapping.h). The code is a memfd sealed
// against writes, shared by every process and never writable there, so that a
// process that denies memory both writable and executable takes it, and that
// not even /proc/PID/mem changes it. 32-bit code gets a window below 4 GiB. A
// fork child inherits its parent's.
class TransferWindows {
 public:
  static constexpr std::uint64_t code_bytes = 4096;
  static constexpr std::uint64_t data_bytes = 1U << 20;

  TransferWindows();
  // The window that the thread's code reaches, mapping it if need be; nothing
  // when the process's limits or policy refuse it, after one line that says so
  // the first time. A window that is no longer vuart's is mapped anew.
  std::optional<Window> window(pid_t tid, Thread &thread, const user_regs_struct &regs, RemoteCalls &remote);
  void forget(pid_t process) { windows_.erase(process); }
  void inherit(pid_t creator, pid_t child);
  // Whether the window's code is still vuart's.
  static bool still_ours(pid_t tid, const Window &window);

 private:
  struct ProcessWindows {
    std::optional<Window> anywhere;  // for 64-bit code, and every window of an i386 process
    std::optional<Window> low;       // for 32-bit code in a 64-bit process
    bool refused = false;
  };
  std::optional<Window> map_window(pid_t tid, Thread &thread, const user_regs_struct &regs, RemoteCalls &remote,
                                   bool low);

  UniqueFd code_;                            // the stubs
  std::map<pid_t, ProcessWindows> windows_;  // by process
};

// The memory of a thread stopped at a port instruction, as its processor reaches it.
class ProgramMemory : public Memory {
 public:
  // The single-step trap that follows an instruction run with the trap flag
  // set, as the processor raises it; nothing when the thread ended.
  virtual std::optional<siginfo_t> trap_after() = 0;
  // Readies the thread's stop to deliver the fault that ended a run, with its
  // context; `other_code_ran` says vuart ran other code in the thread since.
  virtual void prepare_fault(const siginfo_t &fault, bool other_code_ran) = 0;
};

// Through its process's window: the processor's own faults.
class TraceeMemory final : public ProgramMemory {
 public:
  TraceeMemory(pid_t tid, Thread &thread, const user_regs_struct &regs, Window window, RemoteCalls &remote)
      : tid_(tid), thread_(thread), regs_(regs), window_(window), remote_(remote)
  {
  }
  Moved read(const Elements &elements, std::span<std::uint8_t> out) override;
  std::uint64_t writable(const Elements &elements) override;
  Moved write(const Elements &elements, std::span<const std::uint8_t> in) override;
  std::optional<siginfo_t> trap_after() override;
  void prepare_fault(const siginfo_t &fault, bool other_code_ran) override;

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

// Read and written as a debugger does, by the processor's rules: whole elements,
// write-only and execute-only pages readable, a fault at the lowest byte of the
// element that the processor cannot reach, #GP outside canonical addresses and
// SIGBUS past a file's end; but its signal context is the port instruction's #GP,
// a stack does not grow into its guard gap, and protection keys the program set
// itself are not seen.
class DirectMemory final : public ProgramMemory {
 public:
  DirectMemory(pid_t tid, const user_regs_struct &regs) : tid_(tid), regs_(regs) {}
  Moved read(const Elements &elements, std::span<std::uint8_t> out) override;
  std::uint64_t writable(const Elements &elements) override;
  Moved write(const Elements &elements, std::span<const std::uint8_t> in) override;
  std::optional<siginfo_t> trap_after() override;
  void prepare_fault(const siginfo_t &fault, bool other_code_ran) override;

 private:
  // The address the processor reaches for an index, with the segment's base and the code's address size.
  [[nodiscard]] std::uint64_t linear(std::uint64_t index, SegmentOverride segment) const;
  // Whether the processor reaches the byte for a read or a write: on x86 a page it may write or execute it
  // may read, unless the kernel guards execute-only pages with a protection key; a file's page past its end
  // it does not.
  enum class Reach { yes, no, past_file_end };
  [[nodiscard]] Reach reach(std::uint64_t address, bool write) const;
  [[nodiscard]] bool reaches(std::uint64_t address, bool write) const { return reach(address, write) == Reach::yes; }
  // Reads [low, low + image.size()) from the end the transfer starts at, as far as the processor could.
  [[nodiscard]] std::size_t read_run(std::uint64_t low, std::span<std::uint8_t> image, Direction direction) const;
  // The fault the element at `at` raises.
  [[nodiscard]] siginfo_t fault_at(std::uint64_t at, unsigned width, bool write) const;
  // `count` whole elements moved from `first` on, and the fault at the next when they are not all.
  [[nodiscard]] Moved moved(const Elements &elements, std::uint64_t first, std::uint64_t count, bool write) const;

  pid_t tid_;
  const user_regs_struct &regs_;
};

}  // namespace vuart
