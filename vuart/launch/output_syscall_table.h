#pragma once
// The system calls that put bytes on a file descriptor, in the 64-bit and i386
// ABIs: the seccomp filter stops those aimed at standard output or error, and
// the trace records what they wrote.

#include <sys/syscall.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace vuart {

struct OutputCall {
  enum class Data {
    buffer,     // args[1] holds the bytes
    iovecs,     // args[1] holds an array of args[2] iovecs
    pages,      // iovecs too, whose pages the pipe takes as they are, not a copy (vmsplice)
    elsewhere,  // from another descriptor: the bytes are not the program's to show
    message,    // args[1] holds message headers (sendmsg, sendmmsg): the trace names the call and its count
  };
  long number;
  bool i386;
  const char *name;
  std::size_t fd_argument;  // the descriptor written
  Data data;
  std::size_t from_argument;  // for Data::elsewhere, the descriptor read
  int offset_argument = -1;   // where the call writes in the file, if it says; in i386, the low half, then the high
};

constexpr std::array<OutputCall, 27> output_calls = {{
    {SYS_write, false, "write", 0, OutputCall::Data::buffer, 0},
    {SYS_pwrite64, false, "pwrite64", 0, OutputCall::Data::buffer, 0, 3},
    {SYS_writev, false, "writev", 0, OutputCall::Data::iovecs, 0},
    {SYS_pwritev, false, "pwritev", 0, OutputCall::Data::iovecs, 0, 3},
    {SYS_pwritev2, false, "pwritev2", 0, OutputCall::Data::iovecs, 0, 3},
    {SYS_vmsplice, false, "vmsplice", 0, OutputCall::Data::pages, 0},
    {SYS_sendfile, false, "sendfile", 0, OutputCall::Data::elsewhere, 1},
    {SYS_splice, false, "splice", 2, OutputCall::Data::elsewhere, 0},
    {SYS_tee, false, "tee", 1, OutputCall::Data::elsewhere, 0},
    {SYS_copy_file_range, false, "copy_file_range", 2, OutputCall::Data::elsewhere, 0},
    {SYS_sendto, false, "sendto", 0, OutputCall::Data::buffer, 0},
    {SYS_sendmsg, false, "sendmsg", 0, OutputCall::Data::message, 0},
    {SYS_sendmmsg, false, "sendmmsg", 0, OutputCall::Data::message, 0},
    // The i386 ABI's (int 0x80), with numbers of their own.
    {4, true, "write", 0, OutputCall::Data::buffer, 0},
    {181, true, "pwrite64", 0, OutputCall::Data::buffer, 0, 3},
    {146, true, "writev", 0, OutputCall::Data::iovecs, 0},
    {334, true, "pwritev", 0, OutputCall::Data::iovecs, 0, 3},
    {379, true, "pwritev2", 0, OutputCall::Data::iovecs, 0, 3},
    {316, true, "vmsplice", 0, OutputCall::Data::pages, 0},
    {187, true, "sendfile", 0, OutputCall::Data::elsewhere, 1},
    {239, true, "sendfile64", 0, OutputCall::Data::elsewhere, 1},
    {313, true, "splice", 2, OutputCall::Data::elsewhere, 0},
    {315, true, "tee", 1, OutputCall::Data::elsewhere, 0},
    {377, true, "copy_file_range", 2, OutputCall::Data::elsewhere, 0},
    {369, true, "sendto", 0, OutputCall::Data::buffer, 0},
    {370, true, "sendmsg", 0, OutputCall::Data::message, 0},
    {345, true, "sendmmsg", 0, OutputCall::Data::message, 0},
}};

// The x32 ABI's output calls (numbers with the x32 bit): refused with ENOSYS
// while the trace records output, as its iovecs are laid out as in i386.
constexpr std::array<long, 13> x32_output_calls = {1, 18, 516, 534, 547, 532, 40, 275, 276, 326, 44, 518, 538};

// The i386 ABI's socketcall, and the calls it makes that send: vuart makes
// them as the direct calls, whose arguments the filter and vuart can see.
constexpr long i386_socketcall = 102;
struct SocketcallSend {
  std::uint32_t call;  // socketcall's first argument
  long direct;         // the i386 call it becomes
};
constexpr std::array<SocketcallSend, 4> socketcall_sends = {{{9, 369}, {11, 369}, {16, 370}, {20, 345}}};

constexpr std::optional<OutputCall> output_call(bool i386, long number)
{
  const auto *found = std::find_if(output_calls.begin(), output_calls.end(),
                                   [&](const OutputCall &call) { return call.i386 == i386 && call.number == number; });
  return found != output_calls.end() ? std::optional(*found) : std::nullopt;
}

}  // namespace vuart
