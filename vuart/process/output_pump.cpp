#include "process/output_pump.h"

#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <limits>

#include "files/messages.h"
#include "process/ptrace_calls.h"

namespace vuart {

namespace {

constexpr std::size_t terminal_chunk = 65536;              // the program's terminal is read this much at a time
constexpr int recheck_ms = 100;                            // how often COM1's terminal is looked at at the end
constexpr auto reader_patience = std::chrono::seconds(2);  // COM1's terminal may read nothing this long at the end
constexpr int settle_ms = 50;

// The bytes on the client's side of the pty. The pty passes bytes on through a
// buffer of its own, which the kernel moves over to the client's side before
// poll answers there, however busy the machine (FIONREAD alone may miss them).
int unread_by_client(const Pty &pty)
{
  pollfd slave{pty.slave.get(), POLLIN, 0};
  int unread = 0;
  return poll(&slave, 1, 0) >= 0 && ioctl(pty.slave.get(), FIONREAD, &unread) == 0 ? unread : 0;
}

// What COM1's terminal client has not read: read here, since the run ends, to count it. Past the 4 KiB the
// client's side holds, the pty keeps more in its own buffer, which the kernel moves over as that side empties.
std::uint64_t take_unread(const Pty &pty)
{
  std::uint64_t taken = 0;
  std::array<char, 4096> bytes{};
  pollfd slave{pty.slave.get(), POLLIN, 0};
  while (poll(&slave, 1, 0) > 0 && (slave.revents & POLLIN) != 0) {
    const ssize_t got = read(pty.slave.get(), bytes.data(), bytes.size());
    if (got <= 0) {
      break;
    }
    taken += static_cast<std::uint64_t>(got);
  }
  return taken;
}

}  // namespace

std::vector<Output *> ProgramOutput::all() const
{
  std::vector<Output *> all{&outputs_.standard_output};
  if (&outputs_.com1.output() != &outputs_.standard_output) {
    all.push_back(&outputs_.com1.output());
  }
  if (outputs_.trace.enabled()) {
    all.push_back(&outputs_.trace.output());
  }
  std::erase_if(all, [](const Output *output) { return !output->enabled(); });
  return all;
}

void ProgramOutput::pump_terminal()
{
  terminal_drained_ = true;
  if (!terminal_.valid()) {
    return;
  }
  std::array<char, terminal_chunk> buffer;
  for (;;) {
    if (outputs_.standard_output.room() < buffer.size()) {
      terminal_drained_ = false;  // read on once standard output has room
      return;
    }
    const ssize_t got = read(terminal_.get(), buffer.data(), buffer.size());
    if (got > 0) {
      outputs_.standard_output.write({buffer.data(), static_cast<std::size_t>(got)});
    } else if (got == 0 || (got < 0 && errno == EIO)) {
      terminal_.reset();  // the program's side is closed for good
      return;
    } else if (errno != EINTR) {
      return;  // nothing more now
    }
  }
}

void ProgramOutput::flush()
{
  outputs_.com1.flush();
  for (Output *output : all()) {
    output->flush();
  }
}

void ProgramOutput::watch(std::vector<pollfd> &watched) const
{
  if (terminal_.valid() && outputs_.standard_output.room() >= terminal_chunk) {
    watched.push_back({terminal_.get(), POLLIN, 0});
  }
  for (const Output *output : all()) {
    if (output->waiting() > 0) {
      watched.push_back({output->fd(), POLLOUT, 0});
    }
  }
}

std::uint64_t ProgramOutput::element_limit(bool sends, unsigned width) const
{
  std::uint64_t limit = std::numeric_limits<std::uint64_t>::max();
  if (sends) {
    limit = std::min<std::uint64_t>(limit, outputs_.com1.output().room());  // an element sends one byte at most
  }
  const std::size_t trace_room = outputs_.trace.room_for_bytes();
  if (trace_room != Output::unlimited) {
    limit = std::min<std::uint64_t>(limit, trace_room / width);
  }
  return limit;
}

bool ProgramOutput::com1_ahead_of_program() const
{
  return outputs_.com1_shares_program_output && outputs_.com1.output().waiting() > 0;
}

ProgramOutput::Trouble ProgramOutput::trouble()
{
  if (lost_) {
    return Trouble::none;
  }
  const int standard_output = outputs_.standard_output.error();
  const bool com1_apart = &outputs_.com1.output() != &outputs_.standard_output;
  if ((com1_apart && outputs_.com1.error() != 0) || outputs_.trace.error() != 0 ||
      (standard_output != 0 && standard_output != EPIPE)) {
    lost_ = true;
    return Trouble::lost;
  }
  if (standard_output == EPIPE && !reader_gone_) {
    reader_gone_ = true;
    return Trouble::reader_gone;
  }
  return Trouble::none;
}

bool ProgramOutput::failed() const
{
  const std::vector<Output *> outputs = all();
  return std::any_of(outputs.begin(), outputs.end(), [](const Output *output) { return output->error() != 0; });
}

std::uint64_t ProgramOutput::left() const
{
  std::uint64_t left = terminal_.valid() ? 1 : 0;
  for (const Output *output : all()) {
    left += output->waiting();
  }
  return left;
}

void ProgramOutput::copy_window_size() const
{
  winsize size{};
  for (const int own : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
    if (terminal_.valid() && ioctl(own, TIOCGWINSZ, &size) == 0) {
      ioctl(terminal_.get(), TIOCSWINSZ, &size);
      return;
    }
  }
}

void ProgramOutput::deliver_rest(SignalReader &signals, bool stop_asked)
{
  const Pty *com1_pty = outputs_.com1_pty;
  std::uint64_t fewest_left = std::numeric_limits<std::uint64_t>::max();
  auto last_progress = std::chrono::steady_clock::now();
  bool settled = false;  // the client's side was seen empty a moment ago too
  for (;;) {
    pump_terminal();
    flush();
    std::uint64_t left = this->left();
    const bool only_com1_pty = com1_pty != nullptr && left == outputs_.com1.output().waiting();
    left += com1_pty != nullptr ? static_cast<std::uint64_t>(unread_by_client(*com1_pty)) : 0;
    if (left == 0 && (com1_pty == nullptr || settled)) {
      return;
    }
    // A client's read that has just emptied its side restarts the move of the
    // pty's own buffer as it returns: a second look, a moment later, sees it.
    settled = left == 0;
    if (settled) {
      poll(nullptr, 0, settle_ms);
      continue;
    }
    const auto now = std::chrono::steady_clock::now();
    if (left < fewest_left) {
      fewest_left = left;
      last_progress = now;
    }
    if (only_com1_pty && (stop_asked || now - last_progress >= reader_patience)) {
      const std::uint64_t not_read = outputs_.com1.output().waiting() + take_unread(*com1_pty);
      report("the last " + std::to_string(not_read) + " bytes sent to COM1 were not read from " + com1_pty->path);
      return;
    }
    std::vector<pollfd> watched{{signals.fd(), POLLIN, 0}};
    watch(watched);
    if (poll(watched.data(), watched.size(), only_com1_pty ? recheck_ms : -1) < 0 && errno != EINTR) {
      report_errno("poll");
      return;
    }
    signals.drain();
    while (waitpid(-1, nullptr, __WALL | WNOHANG) > 0) {
    }
    for (const Arrival &arrival : SignalReader::take()) {
      report(std::to_string(left) + " bytes the program sent were not delivered when " + signal_name(arrival.signal) +
             " came");
      die_of(arrival.signal);
    }
  }
}

}  // namespace vuart
