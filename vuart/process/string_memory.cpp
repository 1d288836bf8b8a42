#include "process/string_memory.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/ptrace.h>
#include <sys/random.h>
#include <sys/syscall.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "files/messages.h"
#include "process/remote_mapping.h"

namespace vuart {

namespace {

constexpr std::uint64_t stub_slot = 16;
constexpr std::uint64_t page_bytes = 4096;

// The stubs, one slot each. Each ends in HLT, which raises #GP at CPL 3, so
// that the thread stops with SIGSEGV when it is done.
constexpr std::uint8_t hlt = 0xF4;

// The process's system calls, once the window is there: syscall at 0, int 0x80 at 8.
constexpr std::uint64_t syscall_offset = 0;
constexpr std::uint64_t int80_offset = 8;
constexpr std::array<std::uint8_t, 3> syscall_stub = {0x0F, 0x05, hlt};
constexpr std::array<std::uint8_t, 3> int80_stub = {0xCD, 0x80, hlt};

// Whether pages can be written, without writing: a locked OR of 0 into one byte
// of each, RCX pages from RDI on, RDX apart. A locked read-modify-write faults
// as a write does and leaves a page it cannot write as it was.
constexpr std::array<std::uint8_t, 13> page_probe = {
    0xF0, 0x80, 0x0F, 0x00,  // lock or byte [rdi], 0
    0x48, 0x01, 0xD7,        // add rdi, rdx
    0x48, 0xFF, 0xC9,        // dec rcx
    0x75, 0xF4,              // jnz back to the lock or
    hlt,
};
constexpr std::uint64_t page_probe_offset = stub_slot;

// NOP, run with the trap flag set: the processor's single-step trap, with its signal context.
constexpr std::array<std::uint8_t, 2> single_step = {0x90, hlt};
constexpr std::uint64_t single_step_offset = page_probe_offset + stub_slot;

// [FS|GS] REP MOVS{B,W,D}; HLT.
constexpr std::array<SegmentOverride, 3> segments = {SegmentOverride::none, SegmentOverride::fs, SegmentOverride::gs};
constexpr std::array<unsigned, 3> widths = {1, 2, 4};

std::vector<std::uint8_t> string_move(SegmentOverride segment, unsigned width)
{
  std::vector<std::uint8_t> code;
  if (segment != SegmentOverride::none) {
    code.push_back(segment == SegmentOverride::fs ? 0x64 : 0x65);
  }
  code.push_back(0xF3);
  if (width == 2) {
    code.push_back(0x66);
  }
  code.push_back(width == 1 ? 0xA4 : 0xA5);
  code.push_back(hlt);
  return code;
}

std::uint64_t string_move_offset(SegmentOverride segment, unsigned width)
{
  const auto segment_index =
      static_cast<std::uint64_t>(std::find(segments.begin(), segments.end(), segment) - segments.begin());
  const auto width_index = static_cast<std::uint64_t>(std::find(widths.begin(), widths.end(), width) - widths.begin());
  return single_step_offset + stub_slot * (1 + segment_index * widths.size() + width_index);
}

// The code page's used start, its stubs, in whole words.
std::vector<std::uint8_t> code_page()
{
  std::vector<std::uint8_t> page(string_move_offset(segments.back(), widths.back()) + stub_slot, hlt);
  std::copy(syscall_stub.begin(), syscall_stub.end(), page.begin() + syscall_offset);
  std::copy(int80_stub.begin(), int80_stub.end(), page.begin() + int80_offset);
  std::copy(page_probe.begin(), page_probe.end(), page.begin() + page_probe_offset);
  std::copy(single_step.begin(), single_step.end(), page.begin() + single_step_offset);
  for (const SegmentOverride segment : segments) {
    for (const unsigned width : widths) {
      const std::vector<std::uint8_t> code = string_move(segment, width);
      std::copy(code.begin(), code.end(),
                page.begin() + static_cast<std::ptrdiff_t>(string_move_offset(segment, width)));
    }
  }
  return page;
}

// The elements of `from` into `to`, last first, each kept whole: a run going
// down lies in memory in the reverse of its transfer order.
void reverse_elements(std::span<const std::uint8_t> from, std::span<std::uint8_t> to, unsigned width)
{
  const std::uint64_t count = std::min(from.size(), to.size()) / width;
  for (std::uint64_t n = 0; n < count; ++n) {
    std::copy_n(from.end() - static_cast<std::ptrdiff_t>((n + 1) * width), width,
                to.begin() + static_cast<std::ptrdiff_t>(n * width));
  }
}

}  // namespace

TransferWindows::TransferWindows()
{
  constexpr unsigned exec = 0x10;  // MFD_EXEC, which a kernel that denies executable memfds by default asks for
  for (const unsigned flags : {MFD_CLOEXEC | MFD_ALLOW_SEALING | exec, MFD_CLOEXEC | MFD_ALLOW_SEALING}) {
    if (code_ = UniqueFd(memfd_create("vuart-transfer-code", flags)); code_.valid()) {
      break;
    }
  }
  std::vector<std::uint8_t> page = code_page();
  page.resize(code_bytes, hlt);
  if (!code_.valid() || pwrite(code_.get(), page.data(), page.size(), 0) != static_cast<ssize_t>(page.size()) ||
      fcntl(code_.get(), F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) != 0) {
    report_errno("memfd for vuart's transfer code");
    code_.reset();  // no window then: port string instructions reach memory as a debugger does
  }
}

bool TransferWindows::still_ours(pid_t tid, const Window &window)
{
  if (kernel_seals_memory()) {
    return true;  // nothing but exec removes sealed memory, and nothing changes a write-sealed memfd
  }
  // Without seals the program may have put memory of its own there, before a
  // stub runs or while it runs: both are checked. A program that copies what it
  // finds there into memory of its own fools no one but itself.
  static const std::vector<std::uint8_t> stubs = code_page();
  std::vector<std::uint8_t> seen(stubs.size());
  Window::Canary canary{};
  return read_code(tid, window.code, seen) == seen.size() && seen == stubs &&
         read_tracee(tid, window.data + data_bytes, canary, Direction::up) == canary.size() && canary == window.canary;
}

std::optional<Window> TransferWindows::window(pid_t tid, Thread &thread, const user_regs_struct &regs,
                                              RemoteCalls &remote)
{
  ProcessWindows &windows = windows_[thread.process];
  if (windows.refused) {
    return std::nullopt;
  }
  const std::optional<bool> i386 = remote.makes_i386_calls(tid, thread.process);
  const bool low = regs.cs != code64_selector && !(i386 && *i386);
  std::optional<Window> &known = low ? windows.low : windows.anywhere;
  if (known && !still_ours(tid, *known)) {
    known.reset();
  }
  if (!known) {
    known = map_window(tid, thread, regs, remote, low);
  }
  return known;
}

void TransferWindows::inherit(pid_t creator, pid_t child)
{
  if (const auto known = windows_.find(creator); known != windows_.end()) {
    windows_[child] = known->second;
  }
}

std::optional<Window> TransferWindows::map_window(pid_t tid, Thread &thread, const user_regs_struct &regs,
                                                  RemoteCalls &remote, bool low)
{
  const std::string where = "process " + std::to_string(thread.process);
  const auto refuse = [&](const std::string &why) -> std::optional<Window> {
    windows_[thread.process].refused = true;
    report(where + ": no room for vuart's transfer window (" + why +
           "); its port string instructions reach memory as a debugger does");
    return std::nullopt;
  };
  const std::optional<bool> i386 = remote.makes_i386_calls(tid, thread.process);
  if (!code_.valid()) {
    return refuse("vuart has no code for it");
  }
  const std::array pieces = {RemotePiece{code_bytes, PROT_READ | PROT_EXEC, code_.get()},
                             RemotePiece{data_bytes + page_bytes, PROT_READ | PROT_WRITE, std::nullopt}};
  std::string why;
  const auto addresses = map_into_program(tid, thread, regs, remote, pieces, low, why);
  if (!addresses) {
    return remote.run_ending() ? std::nullopt : refuse(why);
  }
  Window window{addresses->at(0), addresses->at(1), {}};
  if (getrandom(window.canary.data(), window.canary.size(), 0) != static_cast<ssize_t>(window.canary.size()) ||
      write_tracee(tid, window.data + data_bytes, window.canary, Direction::up) != window.canary.size()) {
    return refuse("its canary could not be written");
  }
  remote.use_own_code(thread.process, window.code + (i386.value_or(false) ? int80_offset : syscall_offset));
  return window;
}

std::uint64_t TraceeMemory::window_start(const Elements &elements) const
{
  const std::uint64_t data = window_.data;
  return elements.direction == Direction::up ? data : data + TransferWindows::data_bytes - elements.width;
}

TraceeMemory::Outcome TraceeMemory::run(std::uint64_t stub_offset, std::uint64_t stub_length, user_regs_struct start)
{
  start.rip = window_.code + stub_offset;
  // The program's flags, AC among them; single steps and the resume flag are the port instruction's, not the stub's.
  start.eflags &= ~(trap_flag | resume_flag);
  const std::optional<StubStop> stop = remote_.run_stub(tid_, thread_, start);
  if (!stop) {
    return {0, std::nullopt, false};  // the thread ended
  }
  // A stub stops inside itself, with no more left than it was given, and its
  // page is still vuart's; anything else means the program's code ran in its place.
  if (stop->regs.rip - start.rip >= stub_length || stop->regs.rcx > start.rcx ||
      !TransferWindows::still_ours(tid_, window_)) {
    remote_.foreign_code(thread_.process);
    return {0, std::nullopt, false};
  }
  Outcome outcome{stop->regs.rcx, std::nullopt, true};
  if (stop->regs.rip != start.rip + stub_length - 1 || stop->signal.si_code != SI_KERNEL || stop->regs.rcx != 0) {
    outcome.fault = stop->signal;
    last_fault_ = stop->regs;
  }
  return outcome;
}

Moved TraceeMemory::move(const Elements &elements, std::uint64_t source, std::uint64_t destination,
                         SegmentOverride segment)
{
  user_regs_struct start = regs_;
  start.rsi = source;
  start.rdi = destination;
  start.rcx = elements.count;
  start.eflags = (regs_.eflags & ~direction_flag) | (elements.direction == Direction::down ? direction_flag : 0);
  const Outcome outcome =
      run(string_move_offset(segment, elements.width), string_move(segment, elements.width).size(), start);
  return {outcome.ran ? elements.count - outcome.left : 0, outcome.fault};
}

Moved TraceeMemory::read(const Elements &elements, std::span<std::uint8_t> out)
{
  const Moved moved = move(elements, elements.index, window_start(elements), elements.segment);
  const std::size_t bytes = std::min<std::size_t>(moved.elements * elements.width, out.size());
  const std::uint64_t data = window_.data;
  if (elements.direction == Direction::up) {
    read_tracee(tid_, data, out.first(bytes), Direction::up);
    return moved;
  }
  // Going down, the window holds the first element highest.
  std::vector<std::uint8_t> image(bytes);
  read_tracee(tid_, data + TransferWindows::data_bytes - bytes, image, Direction::up);
  reverse_elements(image, out, elements.width);
  return moved;
}

std::uint64_t TraceeMemory::writable(const Elements &elements)
{
  // Page by page in the order of the transfer, from the page of its first byte
  // to that of its last: permissions, protection keys and file ends hold for whole pages.
  const std::uint64_t width = elements.width;
  const bool up = elements.direction == Direction::up;
  const std::uint64_t first = up ? elements.index : elements.index + width - 1;
  const std::uint64_t last = up ? elements.index + elements.bytes() - 1 : elements.index - (elements.count - 1) * width;
  const std::uint64_t first_page = first & ~(page_bytes - 1);
  const std::uint64_t pages =
      std::min((up ? last - first_page : first_page - (last & ~(page_bytes - 1))) / page_bytes + 1,
               elements.bytes() / page_bytes + 2);  // a run that wraps the address space faults before its end
  user_regs_struct start = regs_;
  start.rdi = first;
  start.rcx = pages;
  start.rdx = up ? page_bytes : 0 - page_bytes;
  const Outcome outcome = run(page_probe_offset, page_probe.size(), start);
  if (!outcome.ran) {
    return 0;
  }
  if (!outcome.fault) {
    return elements.count;
  }
  // The elements that lie wholly in the pages before the first that failed.
  const std::uint64_t good_pages = pages - outcome.left;
  if (up) {
    const std::uint64_t failed_page = first_page + good_pages * page_bytes;
    return failed_page > elements.index ? std::min(elements.count, (failed_page - elements.index) / width) : 0;
  }
  if (good_pages == 0) {
    return 0;
  }
  const std::uint64_t lowest_good = first_page - (good_pages - 1) * page_bytes;
  return elements.index < lowest_good ? 0 : std::min(elements.count, (elements.index - lowest_good) / width + 1);
}

Moved TraceeMemory::write(const Elements &elements, std::span<const std::uint8_t> in)
{
  const std::uint64_t data = window_.data;
  if (elements.direction == Direction::up) {
    write_tracee(tid_, data, in, Direction::up);
  } else {
    std::vector<std::uint8_t> image(in.size());
    reverse_elements(in, image, elements.width);
    write_tracee(tid_, data + TransferWindows::data_bytes - image.size(), image, Direction::up);
  }
  return move(elements, window_start(elements), elements.index, SegmentOverride::none);
}

std::optional<siginfo_t> TraceeMemory::trap_after()
{
  user_regs_struct start = regs_;
  start.rip = window_.code + single_step_offset;
  start.eflags |= trap_flag;
  const std::optional<StubStop> stop = remote_.run_stub(tid_, thread_, start);
  return stop && stop->signal.si_signo == SIGTRAP ? std::optional(stop->signal) : std::nullopt;
}

void TraceeMemory::prepare_fault(const siginfo_t & /*fault*/, bool other_code_ran)
{
  // The fault is raised once more, for its signal context, after vuart ran other code in the thread.
  if (other_code_ran && last_fault_) {
    remote_.run_stub(tid_, thread_, *last_fault_);
  }
}

std::uint64_t DirectMemory::linear(std::uint64_t index, SegmentOverride segment) const
{
  std::uint64_t base = 0;
  if (segment == SegmentOverride::fs) {
    base = regs_.fs_base;
  } else if (segment == SegmentOverride::gs) {
    base = regs_.gs_base;
  }
  const std::uint64_t address = base + index;
  return regs_.cs == code64_selector ? address : address & 0xFFFFFFFFU;
}

DirectMemory::Reach DirectMemory::reach(std::uint64_t address, bool write) const
{
  static const bool execute_only_keys = [] {  // the kernel's, for PROT_EXEC alone, where the processor has keys
    std::ifstream cpuinfo("/proc/cpuinfo");
    for (std::string line; std::getline(cpuinfo, line);) {
      if (line.starts_with("flags")) {
        return (line + " ").find(" ospke ") != std::string::npos;
      }
    }
    return false;
  }();
  const PageAccess access = page_access(tid_, address);
  if (!(write ? access.writable : access.readable || access.writable || (access.executable && !execute_only_keys))) {
    return Reach::no;
  }
  std::array<std::uint8_t, 1> byte{};
  return !access.file || read_forced(tid_, address, byte) == 1 ? Reach::yes : Reach::past_file_end;
}

std::size_t DirectMemory::read_run(std::uint64_t low, std::span<std::uint8_t> image, Direction direction) const
{
  const bool up = direction == Direction::up;
  const auto rest = [&](std::size_t done) { return up ? image.subspan(done) : image.first(image.size() - done); };
  std::size_t done = read_tracee(tid_, low, image, direction);
  while (done < image.size()) {
    // A debugger's read stopped at a page that the processor may read all the same: that page through /proc.
    const std::uint64_t rest_low = up ? low + done : low;
    const std::uint64_t at = up ? rest_low : rest_low + (image.size() - done) - 1;
    if (!reaches(at, false)) {
      break;
    }
    const std::uint64_t page = at & ~(page_bytes - 1);
    const std::uint64_t piece_low = up ? at : std::max(page, rest_low);
    const std::uint64_t piece_end = up ? std::min(page + page_bytes, rest_low + (image.size() - done)) : at + 1;
    const std::span<std::uint8_t> piece = rest(done).subspan(piece_low - rest_low, piece_end - piece_low);
    if (read_forced(tid_, piece_low, piece) != piece.size()) {
      break;
    }
    done += piece.size();
    done += read_tracee(tid_, up ? low + done : low, rest(done), direction);
  }
  return done;
}

siginfo_t DirectMemory::fault_at(std::uint64_t at, unsigned width, bool write) const
{
  siginfo_t fault{};
  fault.si_signo = SIGSEGV;
  const std::uint64_t last = at + width - 1;
  const auto canonical = [](std::uint64_t address) {
    return static_cast<std::int64_t>(address << 16U) >> 16U == static_cast<std::int64_t>(address);
  };
  if (regs_.cs == code64_selector ? !canonical(at) || !canonical(last) : last > 0xFFFFFFFFU) {
    fault.si_code = SI_KERNEL;  // #GP, which names no address
    return fault;
  }
  // The lowest byte of the element that the processor cannot reach: SIGBUS past a file's end.
  const std::uint64_t next_page = (at | (page_bytes - 1)) + 1;
  std::uint64_t address = at;
  Reach there = reach(at, write);
  if (there == Reach::yes && next_page <= last) {
    address = next_page;
    there = reach(next_page, write);
  }
  if (there == Reach::past_file_end) {
    fault.si_signo = SIGBUS;
    fault.si_code = BUS_ADRERR;
  } else {
    fault.si_code = page_access(tid_, address).mapped ? SEGV_ACCERR : SEGV_MAPERR;
  }
  fault.si_addr = reinterpret_cast<void *>(address);  // NOLINT(performance-no-int-to-ptr): a tracee address
  return fault;
}

Moved DirectMemory::moved(const Elements &elements, std::uint64_t first, std::uint64_t count, bool write) const
{
  if (count >= elements.count) {
    return {elements.count, std::nullopt};
  }
  const std::uint64_t offset = count * elements.width;
  const std::uint64_t next = elements.direction == Direction::up ? first + offset : first - offset;
  return {count, fault_at(next, elements.width, write)};
}

Moved DirectMemory::read(const Elements &elements, std::span<std::uint8_t> out)
{
  const std::size_t bytes = std::min<std::size_t>(elements.bytes(), out.size());
  const std::uint64_t first = linear(elements.index, elements.segment);
  if (elements.direction == Direction::up) {
    return moved(elements, first, read_run(first, out.first(bytes), Direction::up) / elements.width, false);
  }
  // Going down, element n lies n widths below the first; the image holds them lowest first.
  std::vector<std::uint8_t> image(bytes);
  const std::size_t got = read_run(first + elements.width - bytes, image, Direction::down);
  reverse_elements(image, out.first(bytes), elements.width);
  return moved(elements, first, got / elements.width, false);
}

std::uint64_t DirectMemory::writable(const Elements &elements)
{
  // Page by page in the order of the transfer, as the processor meets them.
  const std::uint64_t first = linear(elements.index, SegmentOverride::none);
  const bool up = elements.direction == Direction::up;
  for (std::uint64_t n = 0; n < elements.count;) {
    const std::uint64_t low = up ? first + n * elements.width : first - n * elements.width;
    if (!reaches(low, true) || !reaches(low + elements.width - 1, true)) {
      return n;
    }
    // The elements that share these pages need no second look.
    const std::uint64_t page_end = (low | (page_bytes - 1)) + 1;
    const std::uint64_t same_page = up ? (page_end - low) / elements.width : (low % page_bytes) / elements.width + 1;
    n += std::max<std::uint64_t>(same_page, 1);
  }
  return elements.count;
}

Moved DirectMemory::write(const Elements &elements, std::span<const std::uint8_t> in)
{
  // Whole elements only: the processor stores none of one that faults.
  const std::size_t bytes = std::min<std::size_t>(writable(elements) * elements.width, in.size());
  const std::uint64_t first = linear(elements.index, SegmentOverride::none);
  if (elements.direction == Direction::up) {
    return moved(elements, first, write_tracee(tid_, first, in.first(bytes), Direction::up) / elements.width, true);
  }
  std::vector<std::uint8_t> image(bytes);
  reverse_elements(in.first(bytes), image, elements.width);
  const std::size_t put = write_tracee(tid_, first + elements.width - bytes, image, Direction::down);
  return moved(elements, first, put / elements.width, true);
}

std::optional<siginfo_t> DirectMemory::trap_after()
{
  siginfo_t trap{};
  trap.si_signo = SIGTRAP;
  trap.si_code = TRAP_TRACE;
  return trap;
}

void DirectMemory::prepare_fault(const siginfo_t &fault, bool /*other_code_ran*/)
{
  siginfo_t delivered = fault;
  traced(ptrace(PTRACE_SETSIGINFO, tid_, nullptr, &delivered), "PTRACE_SETSIGINFO", tid_);
}

}  // namespace vuart
