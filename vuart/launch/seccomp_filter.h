#pragma once
// The program's seccomp filter: what it stops for vuart, in every ABI, and
// what it refuses so that nothing the program starts escapes tracing. It is the
// boundary the rest of vuart's guarantees rest on.

#include <linux/filter.h>

#include <cstdint>
#include <vector>

namespace vuart {

// The filter's data value on vuart's own seccomp stops; a stop with any other
// value comes from a filter the program installed itself.
constexpr std::uint16_t seccomp_marker = 0x7A17;
// Numbers in the i386 ABI (int 0x80): the port requests, and the calls that set SIGSEGV's action.
constexpr long i386_ioperm = 101, i386_iopl = 110;
constexpr long i386_signal = 48, i386_sigaction = 67, i386_rt_sigaction = 174;
constexpr long i386_prctl = 172, i386_seccomp = 354;
// The calls that can reach a file past the output calls: mmap and ioctl (reflinks).
constexpr long i386_mmap2 = 192, i386_old_mmap = 90, i386_ioctl = 54, x32_ioctl = 514;
// prctl's options that set a policy on the thread's system calls.
constexpr std::uint32_t pr_set_seccomp = 22, pr_set_syscall_user_dispatch = 59;
constexpr long x32_call = 0x40000000;  // __X32_SYSCALL_BIT, set in the numbers of x32 calls

// The filter, with output calls stopped when `trap_writes` (the trace records
// them); empty when it cannot be built.
std::vector<sock_filter> build_filter(bool trap_writes);

}  // namespace vuart
