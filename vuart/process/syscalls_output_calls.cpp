// What the program writes to standard output and error, as the trace records it:
// from the snapshots a call is made from (syscalls_snapshot_writes.cpp), or read as the call
// returns where there can be none.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <string>
#include <vector>

#include "launch/seccomp_filter.h"
#include "process/peek_poke.h"
#include "process/ptrace_calls.h"
#include "process/syscalls.h"
#include "trace/event_schema.h"

namespace vuart {

namespace {

constexpr std::size_t copy_piece = 1U << 20;  // a large write reaches the trace through a buffer this size
constexpr std::size_t most_unfinished = 8;    // writes of a thread between pieces: handlers that write, nested

std::string descriptor_name(pid_t tid, std::uint64_t fd)
{
  std::array<char, 4096> name{};
  const std::string link = "/proc/" + std::to_string(tid) + "/fd/" + std::to_string(static_cast<int>(fd));
  const ssize_t length = readlink(link.c_str(), name.data(), name.size());
  return length > 0 ? std::string(name.data(), static_cast<std::size_t>(length)) : "fd " + std::to_string(fd);
}

// Whether the thread's descriptor may write its file (O_WRONLY or O_RDWR), as /proc shows its flags.
bool opened_for_writing(pid_t tid, std::uint64_t fd)
{
  std::ifstream info("/proc/" + std::to_string(tid) + "/fdinfo/" + std::to_string(static_cast<int>(fd)));
  for (std::string line; std::getline(info, line);) {
    if (line.starts_with("flags:")) {
      return (std::stoul(line.substr(6), nullptr, 8) & O_ACCMODE) != O_RDONLY;
    }
  }
  return true;  // gone meanwhile: the call fails anyway
}

}  // namespace

Extents read_iovecs(pid_t tid, const PendingWrite &write)
{
  const std::size_t count = std::min<std::uint64_t>(write.count, max_output_iovecs);
  Extents iovecs;
  if (write.call.i386) {
    std::vector<std::array<std::uint32_t, 2>> narrow(count);
    const std::size_t bytes =
        read_tracee(tid, write.buffer,
                    {reinterpret_cast<std::uint8_t *>(narrow.data()), narrow.size() * sizeof narrow[0]}, Direction::up);
    for (std::size_t i = 0; i < bytes / sizeof narrow[0]; ++i) {
      iovecs.emplace_back(narrow[i][0], narrow[i][1]);
    }
  } else {
    std::vector<iovec> wide(count);
    const std::size_t bytes =
        read_tracee(tid, write.buffer, {reinterpret_cast<std::uint8_t *>(wide.data()), wide.size() * sizeof wide[0]},
                    Direction::up);
    for (std::size_t i = 0; i < bytes / sizeof wide[0]; ++i) {
      iovecs.emplace_back(reinterpret_cast<std::uint64_t>(wide[i].iov_base), wide[i].iov_len);
    }
  }
  return iovecs;
}

std::optional<FileIdentity> identity_of(int fd)
{
  struct stat file {};
  return fstat(fd, &file) == 0 ? std::optional(FileIdentity{file.st_dev, file.st_ino}) : std::nullopt;
}

std::optional<int> Syscalls::standard_stream(pid_t tid, int fd) const
{
  struct stat file {};
  const std::string path = "/proc/" + std::to_string(tid) + "/fd/" + std::to_string(fd);
  if (fd < 0 || stat(path.c_str(), &file) != 0) {
    return std::nullopt;
  }
  const FileIdentity written{file.st_dev, file.st_ino};
  const bool output = written == standard_output_;
  const bool error = written == standard_error_;
  if (output && error) {
    return fd == STDERR_FILENO ? STDERR_FILENO : STDOUT_FILENO;
  }
  return output ? std::optional(STDOUT_FILENO) : error ? std::optional(STDERR_FILENO) : std::nullopt;
}

void Syscalls::at_output_call(pid_t tid, Thread &thread, const OutputCall &output,
                              const std::array<std::uint64_t, 6> &arguments, user_regs_struct &regs)
{
  const bool i386 = output.i386;
  const auto same_call = [&](const PendingWrite &unfinished) {
    auto made = unfinished.snapshot->program_regs;
    auto now = regs;
    const auto made_arguments = argument_registers(made, i386);
    const auto arguments_now = argument_registers(now, i386);
    return made.rip == regs.rip && made.rsp == regs.rsp && made.orig_rax == regs.orig_rax &&
           std::equal(made_arguments.begin(), made_arguments.end(), arguments_now.begin(),
                      [](const auto *one, const auto *other) { return *one == *other; });
  };
  auto &unfinished = thread.unfinished_writes;
  if (const auto found = std::find_if(unfinished.begin(), unfinished.end(), same_call); found != unfinished.end()) {
    thread.write = std::move(*found);
    unfinished.erase(found);
    snapshot_piece(tid, thread, regs);
    return;
  }
  const auto stream = standard_stream(tid, static_cast<int>(arguments.at(output.fd_argument)));
  if (!stream) {
    thread.write.reset();
    resume(tid);
    return;
  }
  thread.write = PendingWrite{output, *stream, arguments[1], arguments[2], {}, 0, 0, {}, false, false, std::nullopt};
  if (output.data == OutputCall::Data::elsewhere) {
    thread.write->source = descriptor_name(tid, arguments.at(output.from_argument));
  } else if (output.data != OutputCall::Data::pages && output.data != OutputCall::Data::message) {
    start_snapshot_write(tid, thread, regs);
    return;
  }
  resume(tid, 0, true);  // the rest at its exit
}

bool Syscalls::at_output_route(pid_t tid, long called, bool i386, const std::array<std::uint64_t, 6> &arguments,
                               user_regs_struct &regs)
{
  const bool mapping = i386 ? called == i386_mmap2 : (called & ~x32_call) == SYS_mmap;
  const bool reflink = i386 ? called == i386_ioctl : called == SYS_ioctl || called == (x32_call | x32_ioctl);
  const auto standard = [&](std::uint64_t fd) { return standard_stream(tid, static_cast<int>(fd)).has_value(); };
  if (mapping || reflink) {
    // A shared mapping of a file opened for writing may write it, now or after mprotect.
    const std::uint64_t flags = arguments[3];
    if (mapping && (flags & MAP_SHARED) != 0 && (flags & MAP_ANONYMOUS) == 0 && standard(arguments[4]) &&
        opened_for_writing(tid, arguments[4])) {
      skip_call(tid, regs, EACCES);
    } else if (reflink && standard(arguments[0])) {
      skip_call(tid, regs, EOPNOTSUPP);  // as a filesystem without shared extents
    } else {
      resume(tid);
    }
    return true;
  }
  const auto *send = std::ranges::find(socketcall_sends, arguments[0], &SocketcallSend::call);
  if (!i386 || called != i386_socketcall || send == socketcall_sends.end()) {
    return false;
  }
  // The arguments as vuart reads them once go in the registers, so that what the
  // kernel sends is what vuart sees; send has no call of its own and becomes sendto.
  std::array<std::uint32_t, 6> taken{};
  const std::size_t count = send->call == 16 ? 3 : send->call == 11 ? 6 : 4;
  if (read_tracee(tid, arguments[1], {reinterpret_cast<std::uint8_t *>(taken.data()), count * sizeof taken[0]},
                  Direction::up) != count * sizeof taken[0]) {
    skip_call(tid, regs, EFAULT);
    return true;
  }
  regs.orig_rax = static_cast<unsigned long long>(send->direct);
  const auto registers = argument_registers(regs, true);
  for (std::size_t i = 0; i < registers.size(); ++i) {
    *registers.at(i) = taken.at(i);
  }
  set_registers(tid, regs);
  resume(tid);
  return true;
}

void Syscalls::thread_ended(Thread &thread)
{
  if (thread.write && thread.write->snapshot && thread.write->snapshot->slot) {
    snapshots_.give_back(thread.process, *thread.write->snapshot->slot);
  }
  thread.write.reset();
}

bool Syscalls::record_write(pid_t tid, Thread &thread)
{
  PendingWrite &write = *thread.write;
  const bool more_pieces = write.snapshot && write.snapshot->between_pieces;
  if (write.call.data == OutputCall::Data::elsewhere || write.call.data == OutputCall::Data::message) {
    if (trace_.room_for_bytes() == 0) {
      return false;
    }
    trace_.write(write.call.data == OutputCall::Data::message
                     ? trace_events::send(tid, write.fd, write.call.name, write.written)
                     : trace_events::copy(tid, write.fd, write.call.name, write.source, write.written));
    thread.write.reset();
    return true;
  }
  if (write.pieces.empty() && !write.snapshot) {
    if (write.call.data == OutputCall::Data::buffer) {
      write.pieces.emplace_back(write.buffer, write.written);
    } else {
      std::uint64_t left = write.written;
      for (const auto &[base, length] : read_iovecs(tid, write)) {
        if (left == 0) {
          break;
        }
        write.pieces.emplace_back(base, std::min(length, left));
        left -= std::min(length, left);
      }
      write.written -= left;  // what the iovecs still show
    }
  }
  // As much as the trace takes now, an event each time it has room: what the
  // trace's file took at once makes room for more.
  while (write.recorded < write.written) {
    const std::size_t room = trace_.room_for_bytes();
    if (room == 0) {
      return false;
    }
    const std::uint64_t end = write.written - write.recorded > room ? write.recorded + room : write.written;
    TraceLine event(trace_, trace_events::write(tid, write.fd, write.snapshot.has_value()), trace_events::bytes_field);
    bool readable = true;
    if (write.snapshot) {
      event.bytes(std::span(write.snapshot->taken).subspan(write.recorded, end - write.recorded));
    } else {
      std::vector<std::uint8_t> piece(std::min<std::uint64_t>(end - write.recorded, copy_piece));
      for (std::uint64_t at = write.recorded; readable && at < end;) {
        const std::size_t size = std::min<std::uint64_t>(piece.size(), end - at);
        const std::size_t got = read_extents(tid, write.pieces, at, std::span(piece).first(size));
        event.bytes(std::span(piece).first(got));
        readable = got == size;
        at += size;
      }
    }
    event.finish(JsonObject());
    write.recorded = readable ? end : write.written;
  }
  if (more_pieces) {
    // A signal's handler may run, and write too, before the call is made again.
    write.snapshot->taken.clear();
    thread.unfinished_writes.push_back(std::move(write));
    if (thread.unfinished_writes.size() > most_unfinished) {
      thread.unfinished_writes.erase(thread.unfinished_writes.begin());  // left by a handler that jumped away
    }
  }
  thread.write.reset();
  return true;
}

}  // namespace vuart
