#pragma once
// The trace's events, one function each, in the order vuart(1) TRACE lists
// them: the schema in one place. An event with a byte string of any size is
// its fields before the bytes and those after, for a TraceLine to stream.

#include <sys/types.h>
#include <sys/user.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "devices/device.h"
#include "trace/json.h"
#include "x86/port_instruction.h"

namespace vuart::trace_events {

constexpr std::string_view bytes_field = "bytes";

// A result below 0 is the negated errno, as the kernel returns it.
JsonObject ioperm(pid_t tid, std::uint64_t from, std::uint64_t num, int turn_on, long result);
JsonObject iopl(pid_t tid, unsigned level, long result);
// A port instruction as it starts, with the registers it started with; then what it did.
JsonObject port(pid_t tid, const user_regs_struct &regs, const PortInstruction &instruction);
JsonObject port_done(std::uint64_t count, std::optional<std::uint64_t> fault);
// A port instruction the thread's permissions do not cover, before the program's SIGSEGV.
JsonObject refused(pid_t tid, const user_regs_struct &regs, const PortInstruction &instruction);
// What a device did after the instruction's event: bytes received, POST codes, debug-console text.
JsonObject device(const DeviceEvent &event);
// Before the bytes the program wrote to standard output (fd 1) or error (2).
// `snapshot`: the bytes are what the kernel wrote, taken at the call's entry;
// false, they were read from the program's memory as the call returned.
JsonObject write(pid_t tid, int fd, bool snapshot);
JsonObject copy(pid_t tid, int fd, std::string_view call, std::string_view from, std::uint64_t count);
// A message call (sendmsg, sendmmsg) to standard output or error, with what it returned.
JsonObject send(pid_t tid, int fd, std::string_view call, std::uint64_t count);
// The program's end, from its wait status.
JsonObject exit(int status);

}  // namespace vuart::trace_events
