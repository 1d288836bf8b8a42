#include "launch/seccomp_filter.h"

#include <linux/audit.h>
#include <linux/fs.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/syscall.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <map>
#include <span>
#include <utility>

#include "launch/output_syscall_table.h"

namespace vuart {

namespace {

// A classic BPF program written with named jump targets; offsets are resolved
// once the layout is known. Jumps go forward only, as BPF requires.
class FilterBuilder {
 public:
  enum class Label {
    x86_64,
    i386,
    check_signal,
    check_queued_signal,
    check_thread_queued_signal,
    check_clone,
    check_prctl,
    check_mapping,
    check_clone_ioctl,
    check_socketcall,
    allow,
    trace,
    refuse_eperm,
    refuse_enosys
  };

  void load(std::uint32_t offset) { code_.push_back({BPF_LD | BPF_W | BPF_ABS, 0, 0, offset}); }
  void jump_if_equal(std::uint32_t value, Label target) { jump(BPF_JEQ, value, target); }
  void jump_if_any_set(std::uint32_t bits, Label target) { jump(BPF_JSET, bits, target); }
  void give(std::uint32_t action) { code_.push_back({BPF_RET | BPF_K, 0, 0, action}); }
  void place(Label label) { placed_[label] = code_.size(); }

  [[nodiscard]] std::vector<sock_filter> finish() const
  {
    std::vector<sock_filter> code = code_;
    for (const auto &[at, target] : jumps_) {
      const std::size_t offset = placed_.at(target) - (at + 1);
      code[at].jt = static_cast<std::uint8_t>(offset);
      if (offset > 0xFF) {
        return {};  // too far for a BPF jump: the filter cannot be installed
      }
    }
    return code;
  }

 private:
  void jump(std::uint16_t condition, std::uint32_t value, Label target)
  {
    jumps_.emplace_back(code_.size(), target);
    code_.push_back({static_cast<std::uint16_t>(BPF_JMP | condition | BPF_K), 0, 0, value});
  }

  std::vector<sock_filter> code_;
  std::vector<std::pair<std::size_t, Label>> jumps_;
  std::map<Label, std::size_t> placed_;
};

constexpr std::uint32_t i386_clone = 120, i386_clone3 = 435;

constexpr std::array<long, 4> io_uring_and_aio = {425, 426, 427, SYS_io_setup};  // io_uring's three, io_setup
constexpr long i386_io_setup = 245, x32_io_setup = 543;

// Stops an ABI's output calls, whatever the descriptor: which file it writes
// decides. The routes to a file that bypass those calls are stopped too, or
// refused: io_uring and Linux AIO (ENOSYS, as where the kernel has neither),
// i386's old mmap, whose arguments are in memory (ENOSYS), and the x32 ABI's
// output calls (ENOSYS); shared mappings of files, reflink ioctls and i386's
// socketcall sends stop for vuart to look at.
void add_output_calls(FilterBuilder &filter, bool i386, bool trap_writes)
{
  using Label = FilterBuilder::Label;
  if (!trap_writes) {
    return;
  }
  for (const OutputCall &call : output_calls) {
    if (call.i386 == i386) {
      filter.jump_if_equal(static_cast<std::uint32_t>(call.number), Label::trace);
    }
  }
  const auto number = [](long call) { return static_cast<std::uint32_t>(call); };
  if (i386) {
    for (const long call : {425L, 426L, 427L, i386_io_setup, i386_old_mmap}) {
      filter.jump_if_equal(number(call), Label::refuse_enosys);
    }
    filter.jump_if_equal(number(i386_mmap2), Label::check_mapping);
    filter.jump_if_equal(number(i386_ioctl), Label::check_clone_ioctl);
    filter.jump_if_equal(number(i386_socketcall), Label::check_socketcall);
    return;
  }
  for (const long call : io_uring_and_aio) {
    filter.jump_if_equal(number(call), Label::refuse_enosys);
    filter.jump_if_equal(number(x32_call | (call == SYS_io_setup ? x32_io_setup : call)), Label::refuse_enosys);
  }
  for (const long call : x32_output_calls) {
    filter.jump_if_equal(number(x32_call | call), Label::refuse_enosys);
  }
  filter.jump_if_equal(SYS_mmap, Label::check_mapping);
  filter.jump_if_equal(number(x32_call | SYS_mmap), Label::check_mapping);
  filter.jump_if_equal(SYS_ioctl, Label::check_clone_ioctl);
  filter.jump_if_equal(number(x32_call | x32_ioctl), Label::check_clone_ioctl);
}

// Stops for vuart the port-access requests (of the x86-64, x32 and i386 ABIs), every output call (when the trace
// records them), changes of SIGSEGV's disposition in either ABI (a port fault may change it and vuart
// must put it back), a SIGSEGV the program queues (which may look like a port fault), and the calls that give
// the program a system-call policy of its own (which may refuse the calls vuart makes in it). Refuses, in every ABI,
// clone with CLONE_UNTRACED, which would escape tracing, and answers clone3, whose flags a filter cannot see, with
// ENOSYS, so that libc falls back to clone. Everything else runs untouched.
}  // namespace

std::vector<sock_filter> build_filter(bool trap_writes)
{
  using Label = FilterBuilder::Label;
  FilterBuilder filter;
  filter.load(offsetof(seccomp_data, arch));
  filter.jump_if_equal(AUDIT_ARCH_X86_64, Label::x86_64);
  filter.jump_if_equal(AUDIT_ARCH_I386, Label::i386);
  filter.give(SECCOMP_RET_ALLOW);

  filter.place(Label::i386);
  filter.load(offsetof(seccomp_data, nr));
  filter.jump_if_equal(i386_ioperm, Label::trace);
  filter.jump_if_equal(i386_iopl, Label::trace);
  for (const long sets_action : {i386_signal, i386_sigaction, i386_rt_sigaction}) {
    filter.jump_if_equal(static_cast<std::uint32_t>(sets_action), Label::check_signal);
  }
  filter.jump_if_equal(i386_clone, Label::check_clone);
  filter.jump_if_equal(i386_clone3, Label::refuse_enosys);
  filter.jump_if_equal(i386_seccomp, Label::trace);
  filter.jump_if_equal(i386_prctl, Label::check_prctl);
  add_output_calls(filter, true, trap_writes);
  filter.give(SECCOMP_RET_ALLOW);

  filter.place(Label::x86_64);
  filter.load(offsetof(seccomp_data, nr));
  for (const long port_request : {long{SYS_ioperm}, long{SYS_iopl}, x32_call | SYS_ioperm, x32_call | SYS_iopl}) {
    filter.jump_if_equal(static_cast<std::uint32_t>(port_request), Label::trace);
  }
  add_output_calls(filter, false, trap_writes);
  filter.jump_if_equal(SYS_rt_sigaction, Label::check_signal);
  filter.jump_if_equal(SYS_rt_sigqueueinfo, Label::check_queued_signal);
  filter.jump_if_equal(SYS_rt_tgsigqueueinfo, Label::check_thread_queued_signal);
  filter.jump_if_equal(SYS_clone, Label::check_clone);
  filter.jump_if_equal(static_cast<std::uint32_t>(x32_call | SYS_clone), Label::check_clone);
  filter.jump_if_equal(SYS_clone3, Label::refuse_enosys);
  filter.jump_if_equal(static_cast<std::uint32_t>(x32_call | SYS_clone3), Label::refuse_enosys);
  for (const long call : {long{SYS_seccomp}, x32_call | SYS_seccomp}) {
    filter.jump_if_equal(static_cast<std::uint32_t>(call), Label::trace);
  }
  for (const long call : {long{SYS_prctl}, x32_call | SYS_prctl}) {
    filter.jump_if_equal(static_cast<std::uint32_t>(call), Label::check_prctl);
  }
  filter.give(SECCOMP_RET_ALLOW);

  // Stops the call when one argument has one of the values.
  const auto trace_if_one_of = [&filter](Label label, std::size_t argument, std::span<const std::uint32_t> values) {
    filter.place(label);
    filter.load(static_cast<std::uint32_t>(offsetof(seccomp_data, args) + argument * sizeof(std::uint64_t)));
    for (const std::uint32_t value : values) {
      filter.jump_if_equal(value, Label::trace);
    }
    filter.give(SECCOMP_RET_ALLOW);
  };
  // The signal is rt_sigaction's first argument, rt_sigqueueinfo's second, rt_tgsigqueueinfo's third.
  for (const auto &[label, argument] : {std::pair{Label::check_signal, std::size_t{0}},
                                        {Label::check_queued_signal, std::size_t{1}},
                                        {Label::check_thread_queued_signal, std::size_t{2}}}) {
    trace_if_one_of(label, argument, std::array<std::uint32_t, 1>{SIGSEGV});
  }

  filter.place(Label::check_clone);
  filter.load(offsetof(seccomp_data, args[0]));  // the flags
  filter.jump_if_any_set(CLONE_UNTRACED, Label::refuse_eperm);
  filter.give(SECCOMP_RET_ALLOW);

  trace_if_one_of(Label::check_prctl, 0, std::array{pr_set_seccomp, pr_set_syscall_user_dispatch});   // the option
  trace_if_one_of(Label::check_clone_ioctl, 1, std::array<std::uint32_t, 2>{FICLONE, FICLONERANGE});  // the request
  std::array<std::uint32_t, socketcall_sends.size()> sends{};
  std::ranges::transform(socketcall_sends, sends.begin(), &SocketcallSend::call);
  trace_if_one_of(Label::check_socketcall, 0, sends);  // which call

  // A shared mapping of a file may write it; anonymous and private ones cannot.
  filter.place(Label::check_mapping);
  filter.load(offsetof(seccomp_data, args[3]));  // the flags
  filter.jump_if_any_set(MAP_ANONYMOUS, Label::allow);
  filter.jump_if_any_set(MAP_SHARED, Label::trace);
  filter.give(SECCOMP_RET_ALLOW);

  filter.place(Label::allow);
  filter.give(SECCOMP_RET_ALLOW);

  filter.place(Label::trace);
  filter.give(SECCOMP_RET_TRACE | seccomp_marker);
  filter.place(Label::refuse_eperm);
  filter.give(SECCOMP_RET_ERRNO | EPERM);
  filter.place(Label::refuse_enosys);
  filter.give(SECCOMP_RET_ERRNO | ENOSYS);
  return filter.finish();
}

}  // namespace vuart
