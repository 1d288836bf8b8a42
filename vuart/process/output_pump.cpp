#include "process/output_pump.h"

#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <limits>

#include "devices/pc_ports.h"
#include "files/messages.h"
#include "process/ptrace_calls.h"

namespace vuart {

namespace {

constexpr std::size_t terminal_chunk = 65536;              // the program's terminal is read this much at a time
constexpr int recheck_ms = 100;                            // how often COM ports' terminals are looked at at the end
constexpr auto reader_patience = std::chrono::seconds(2);  // their clients may read nothing this long at the end
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

// What a COM port's terminal client has not read: read here, since the run ends, to count it. Past the 4 KiB the
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

std::vector<ByteSink *> ProgramOutput::device_sinks() const
{
  std::vector<ByteSink *> sinks{&outputs_.com1};
  for (ByteSink *sink : outputs_.other_com) {
    sinks.push_back(sink);
  }
  sinks.push_back(outputs_.debug_console);
  std::erase(sinks, nullptr);
  return sinks;
}

std::vector<Output *> ProgramOutput::all() const
{
  std::vector<Output *> all{&outputs_.standard_output};
  for (const ByteSink *sink : device_sinks()) {
    if (&sink->output() != &outputs_.standard_output) {
      all.push_back(&sink->output());
    }
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

void ProgramOutput::flush_devices()
{
  for (ByteSink *sink : device_sinks()) {
    sink->flush();
  }
}

void ProgramOutput::flush()
{
  flush_devices();
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
    for (const ByteSink *sink : device_sinks()) {
      limit = std::min<std::uint64_t>(limit, sink->output().room());  // an element sends one byte at most
    }
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
  const std::vector<ByteSink *> sinks = device_sinks();
  const bool device_lost = std::ranges::any_of(sinks, [this](const ByteSink *sink) {
    return &sink->output() != &outputs_.standard_output && sink->error() != 0;
  });
  if (device_lost || outputs_.trace.error() != 0 || (standard_output != 0 && standard_output != EPIPE)) {
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
  std::vector<unsigned> terminals;  // the COM ports with one
  for (unsigned index = 0; index < outputs_.com_pty.size(); ++index) {
    if (outputs_.com_pty[index] != nullptr && outputs_.com_sink(index) != nullptr) {
      terminals.push_back(index);
    }
  }
  std::uint64_t fewest_left = std::numeric_limits<std::uint64_t>::max();
  auto last_progress = std::chrono::steady_clock::now();
  bool settled = false;  // the clients' sides were seen empty a moment ago too
  for (;;) {
    pump_terminal();
    flush();
    std::uint64_t left = this->left();
    std::uint64_t for_clients = 0;
    std::uint64_t unread = 0;
    for (const unsigned index : terminals) {
      for_clients += outputs_.com_sink(index)->output().waiting();
      unread += static_cast<std::uint64_t>(unread_by_client(*outputs_.com_pty[index]));
    }
    const bool only_terminals = !terminals.empty() && left == for_clients;
    left += unread;
    if (left == 0 && (terminals.empty() || settled)) {
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
    if (only_terminals && (stop_asked || now - last_progress >= reader_patience)) {
      for (const unsigned index : terminals) {
        const Pty &pty = *outputs_.com_pty[index];
        if (const std::uint64_t not_read = outputs_.com_sink(index)->output().waiting() + take_unread(pty);
            not_read > 0) {
          report("the last " + std::to_string(not_read) + " bytes sent to " + PcPorts::com_name(index) +
                 " were not read from " + pty.path);
        }
      }
      return;
    }
    std::vector<pollfd> watched{{signals.fd(), POLLIN, 0}};
    watch(watched);
    if (poll(watched.data(), watched.size(), only_terminals ? recheck_ms : -1) < 0 && errno != EINTR) {
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
