#include "run_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "files/messages.h"
#include "files/socket_peer.h"

namespace vuart {

namespace {

// Opened without truncating, so that two names for one file are found before
// either is emptied, and without waiting: a FIFO must have its reader already.
UniqueFd open_output(const std::string &path, const std::string &what)
{
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0644));
  if (!fd.valid() && errno == ENXIO) {
    report("open " + what + " file " + path + ": a FIFO needs its reader first");
  } else if (!fd.valid()) {
    report_errno("open " + what + " file " + path);
  }
  return fd;
}

// Whether two descriptors write the same file, so that their bytes would mix.
// Terminals and other devices are exempt: /dev/null or a tty may well serve both.
bool same_file(int first, int second)
{
  struct stat a {};
  struct stat b {};
  return fstat(first, &a) == 0 && fstat(second, &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino &&
         !S_ISCHR(a.st_mode);
}

// The standard stream (1 or 2) whose file `path` names, if any, but for a
// terminal or other device: opening it again would write from offset 0 over
// what the stream writes.
std::optional<int> standard_stream_named(const std::string &path, bool devices_too = false)
{
  struct stat named {};
  if (stat(path.c_str(), &named) != 0 || (S_ISCHR(named.st_mode) && !devices_too)) {
    return std::nullopt;
  }
  for (const int fd : {STDOUT_FILENO, STDERR_FILENO}) {
    struct stat stream {};
    if (fstat(fd, &stream) == 0 && stream.st_dev == named.st_dev && stream.st_ino == named.st_ino) {
      return fd;
    }
  }
  return std::nullopt;
}

std::string stream_name(int fd)
{
  return fd == STDOUT_FILENO ? "standard output" : "standard error";
}

bool empty_if_regular(int fd, const std::string &path)
{
  struct stat file {};
  if (fstat(fd, &file) == 0 && S_ISREG(file.st_mode) && ftruncate(fd, 0) != 0) {
    report_errno("truncate " + path);
    return false;
  }
  return true;
}

// A COM port's line input from a file, a FIFO or a terminal, read without waiting.
UniqueFd open_line_input(const std::string &path, const std::string &com)
{
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  struct stat file {};
  if (!fd.valid() || fstat(fd.get(), &file) != 0) {
    report_errno("open " + com + " input file " + path);
    return {};
  }
  if (S_ISDIR(file.st_mode)) {
    report(com + " input file " + path + " is a directory");
    return {};
  }
  return fd;
}

}  // namespace

bool RunFiles::open_files(const Options &options)
{
  // Not the file of a standard stream, whose lines would mix with the program's.
  if (!options.trace_path.empty()) {
    if (const std::optional<int> stream = standard_stream_named(options.trace_path)) {
      report("the trace and the program's output (" + stream_name(*stream) + ") are the same file; see 'vuart --help'");
      return false;
    }
    if (!(trace_fd_ = open_output(options.trace_path, "trace")).valid()) {
      return false;
    }
  }
  for (unsigned index = 0; index < PcPorts::com_ports; ++index) {
    const std::string &path = options.com_path[index];
    if (path.empty() || path == "pty" || names_socket_peer(path)) {
      continue;
    }
    // COM1 naming a standard stream's file shares that stream's open file, and so its offset.
    if (const std::optional<int> stream = standard_stream_named(path, true); stream && index == 0) {
      com1_stream_ = stream;
      continue;
    }
    if (const std::optional<int> stream = standard_stream_named(path)) {
      report(PcPorts::com_name(index) + "'s output and the program's output (" + stream_name(*stream) +
             ") are the same file; see 'vuart --help'");
      return false;
    }
    if (!(com_fd_[index] = open_output(path, PcPorts::com_name(index))).valid()) {
      return false;
    }
  }
  if (!options.debug_console_path.empty()) {
    if (const std::optional<int> stream = standard_stream_named(options.debug_console_path)) {
      report("the debug console's output and the program's output (" + stream_name(*stream) +
             ") are the same file; see 'vuart --help'");
      return false;
    }
    if (!(debug_console_fd_ = open_output(options.debug_console_path, "debug console")).valid()) {
      return false;
    }
  }
  struct Named {
    int fd;
    std::string what;
    std::string path;
  };
  std::vector<Named> files;
  if (trace_fd_.valid()) {
    files.push_back({trace_fd_.get(), "the trace", options.trace_path});
  }
  const int com1_fd = com_fd_[0].valid() ? com_fd_[0].get() : com1_stream_.value_or(STDOUT_FILENO);
  files.push_back({com1_fd,
                   std::string("COM1's output (") + (options.com_path[0].empty() ? "standard output" : "--com1") + ")",
                   com_fd_[0].valid() ? options.com_path[0] : ""});
  for (unsigned index = 1; index < PcPorts::com_ports; ++index) {
    if (com_fd_[index].valid()) {
      files.push_back({com_fd_[index].get(),
                       PcPorts::com_name(index) + "'s output (--com" + std::to_string(index + 1) + ")",
                       options.com_path[index]});
    }
  }
  if (debug_console_fd_.valid()) {
    files.push_back({debug_console_fd_.get(), "the debug console's output (--debugcon)", options.debug_console_path});
  }
  for (std::size_t first = 0; first < files.size(); ++first) {
    for (std::size_t second = first + 1; second < files.size(); ++second) {
      if (same_file(files[first].fd, files[second].fd)) {
        report(files[first].what + " and " + files[second].what + " are the same file; see 'vuart --help'");
        return false;
      }
    }
  }
  return std::ranges::all_of(
      files, [](const Named &file) { return file.path.empty() || empty_if_regular(file.fd, file.path); });
}

bool RunFiles::connect(const Options &options)
{
  standard_output_ = Output::standard_stream(STDOUT_FILENO, "standard output");
  for (unsigned index = 0; index < PcPorts::com_ports; ++index) {
    const std::string com = PcPorts::com_name(index);
    if (const std::string &path = options.com_path[index]; names_socket_peer(path)) {
      std::optional<SocketPeer> peer = accept_socket_peer(path, com);
      if (!peer) {
        return false;
      }
      com_peer_[index] = std::move(peer->connection);
      com_file_[index] =
          Output(UniqueFd(fcntl(com_peer_[index].get(), F_DUPFD_CLOEXEC, 3)), com + " to " + peer->address);
      input_[index].emplace(com_peer_[index].get(), com + " from " + peer->address);
    } else if (options.com_path[index] == "pty") {
      com_pty_[index] = open_pty(PtyMode::raw);
      if (!com_pty_[index].master.valid()) {
        return false;
      }
      report(com + " is " + com_pty_[index].path);
      com_file_[index] = Output(UniqueFd(fcntl(com_pty_[index].master.get(), F_DUPFD_CLOEXEC, 3)),
                                com + " to " + com_pty_[index].path);
      input_[index].emplace(com_pty_[index].master.get(), com + " from " + com_pty_[index].path);
    } else if (index == 0 && com1_stream_ == STDERR_FILENO) {
      com_file_[index] = Output::standard_stream(STDERR_FILENO, "COM1 to standard error");
    } else if (com_fd_[index].valid()) {
      com_file_[index] = Output(std::move(com_fd_[index]), com + " file " + options.com_path[index]);
    }
    if (com_file_[index].enabled() || index == 0) {
      com_sink_[index].emplace(com_file_[index].enabled() ? com_file_[index] : standard_output_);
    }
    if (const std::string &path = options.com_input_path[index]; !path.empty()) {
      if (!(input_file_[index] = open_line_input(path, com)).valid()) {
        return false;
      }
      input_[index].emplace(input_file_[index].get(), com + " input file " += path);
    }
  }
  if (debug_console_fd_.valid()) {
    debug_console_file_ = Output(std::move(debug_console_fd_), "debug console file " + options.debug_console_path);
    debug_console_.emplace(debug_console_file_);
  }
  if (trace_fd_.valid()) {
    trace_ = TraceLog(std::move(trace_fd_));
  }
  com1_shares_program_output_ =
      (&com_sink_[0]->output() == &standard_output_ && !options.pty) || com1_stream_ == STDERR_FILENO;
  return true;
}

bool RunFiles::open(const Options &options)
{
  return open_files(options) && connect(options);
}

Outputs RunFiles::outputs()
{
  Outputs outputs{standard_output_, *com_sink_[0], trace_, com1_shares_program_output_};
  for (unsigned index = 1; index < PcPorts::com_ports; ++index) {
    outputs.other_com.at(index - 1) = com_sink_[index] ? &*com_sink_[index] : nullptr;
  }
  outputs.debug_console = debug_console_ ? &*debug_console_ : nullptr;
  for (unsigned index = 0; index < PcPorts::com_ports; ++index) {
    outputs.com_pty.at(index) = com_pty_[index].master.valid() ? &com_pty_[index] : nullptr;
  }
  return outputs;
}

std::array<LineInput *, PcPorts::com_ports> RunFiles::inputs()
{
  std::array<LineInput *, PcPorts::com_ports> inputs{};
  for (unsigned index = 0; index < PcPorts::com_ports; ++index) {
    inputs.at(index) = input_[index] ? &*input_[index] : nullptr;
  }
  return inputs;
}

}  // namespace vuart
