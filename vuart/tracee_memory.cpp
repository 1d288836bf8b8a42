#include "tracee_memory.h"

#include <sys/mman.h>
#include <sys/ptrace.h>
#include <sys/random.h>
#include <sys/syscall.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "output.h"

namespace vuart {

namespace {

constexpr std::uint64_t stub_slot = 16;
constexpr std::uint64_t page_bytes = 4096;

// The stubs, one slot each after the token. Each ends in HLT, which raises #GP
// at CPL 3, so that the thread stops with SIGSEGV when it is done.
constexpr std::uint8_t hlt = 0xF4;

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

// The code page's used start, token and stubs, in whole words.
std::vector<std::uint8_t> code_page(const TransferWindows::Token &token)
{
  std::vector<std::uint8_t> page(string_move_offset(segments.back(), widths.back()) + stub_slot, hlt);
  std::copy(token.begin(), token.end(), page.begin());
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

// A system call's result as the kernel returns it: -4095..-1 is an error number.
bool failed(long result)
{
  return result < 0 && result > -4096;
}

}  // namespace

TransferWindows::TransferWindows()
{
  if (getrandom(token_.data(), token_.size(), 0) != static_cast<ssize_t>(token_.size())) {
    token_.fill(0xA5);  // without randomness the token still tells the window from zero pages
  }
}

std::optional<Window> TransferWindows::window(pid_t tid, Thread &thread, const user_regs_struct &regs,
                                              RemoteCalls &remote)
{
  if (const auto known = windows_.find(thread.process); known != windows_.end()) {
    Token seen{};
    if (read_tracee(tid, known->second.code, seen, Direction::up) == seen.size() && seen == token_) {
      return known->second;
    }
    windows_.erase(known);  // exec replaced the process's memory, or the program unmapped the window
  }
  const std::optional<Window> mapped = map_window(tid, thread, regs, remote);
  if (mapped) {
    windows_[thread.process] = *mapped;
  }
  return mapped;
}

void TransferWindows::inherit(pid_t creator, pid_t child)
{
  if (const auto known = windows_.find(creator); known != windows_.end()) {
    windows_[child] = known->second;
  }
}

std::optional<Window> TransferWindows::map_window(pid_t tid, Thread &thread, const user_regs_struct &regs,
                                                  RemoteCalls &remote)
{
  const std::string where = "vuart's transfer window in process " + std::to_string(thread.process);
  // At a hint far from where programs and the kernel put their mappings (a
  // window next to a mapping of the program's would fill a hole it relies on to
  // fault), and below 4 GiB, where 32-bit code reaches it.
  constexpr std::uint64_t hint = 0xC0000000;
  const auto map = [&](std::uint64_t length, std::uint64_t protection) -> std::optional<std::uint64_t> {
    const std::uint64_t at = hint + (protection == (PROT_READ | PROT_EXEC) ? 0 : 2 * code_bytes);
    const std::array<std::uint64_t, 6> arguments = {at, length, protection, MAP_PRIVATE | MAP_ANONYMOUS, ~0ULL, 0};
    constexpr long i386_mmap2 = 192;  // its offset in pages, here 0
    const std::optional<long> address = remote.system_call(tid, thread, regs, {SYS_mmap, i386_mmap2}, arguments);
    if (!address || failed(*address)) {
      errno = address ? static_cast<int>(-*address) : ESRCH;
      report_errno("mmap " + where);
      return std::nullopt;
    }
    return static_cast<std::uint64_t>(*address);
  };
  const std::optional<std::uint64_t> code = map(code_bytes, PROT_READ | PROT_EXEC);
  const std::optional<std::uint64_t> data = code ? map(data_bytes, PROT_READ | PROT_WRITE) : std::nullopt;
  if (!data) {
    return std::nullopt;
  }
  // The tracer's writes reach a page the program cannot write.
  const std::vector<std::uint8_t> stubs = code_page(token_);
  for (std::size_t at = 0; at < stubs.size(); at += sizeof(long)) {
    long word = 0;
    std::memcpy(&word, &stubs[at], sizeof word);
    if (!traced(ptrace(PTRACE_POKEDATA, tid, *code + at, word), "PTRACE_POKEDATA", tid)) {
      return std::nullopt;
    }
  }
  return Window{*code, *data};
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
  const std::size_t bytes = moved.elements * elements.width;
  const std::uint64_t data = window_.data;
  if (elements.direction == Direction::up) {
    read_tracee(tid_, data, out.first(bytes), Direction::up);
    return moved;
  }
  // Going down, the window holds the first element highest.
  std::vector<std::uint8_t> image(bytes);
  read_tracee(tid_, data + TransferWindows::data_bytes - bytes, image, Direction::up);
  for (std::uint64_t n = 0; n < moved.elements; ++n) {
    std::copy_n(image.end() - static_cast<std::ptrdiff_t>((n + 1) * elements.width), elements.width,
                out.begin() + static_cast<std::ptrdiff_t>(n * elements.width));
  }
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
    for (std::uint64_t n = 0; n < elements.count; ++n) {
      std::copy_n(in.begin() + static_cast<std::ptrdiff_t>(n * elements.width), elements.width,
                  image.end() - static_cast<std::ptrdiff_t>((n + 1) * elements.width));
    }
    write_tracee(tid_, data + TransferWindows::data_bytes - image.size(), image, Direction::up);
  }
  return move(elements, window_start(elements), elements.index, SegmentOverride::none);
}

bool TraceeMemory::trap_after()
{
  user_regs_struct start = regs_;
  start.rip = window_.code + single_step_offset;
  start.eflags |= trap_flag;
  const std::optional<StubStop> stop = remote_.run_stub(tid_, thread_, start);
  return stop && stop->signal.si_signo == SIGTRAP;
}

void TraceeMemory::refault()
{
  if (last_fault_) {
    remote_.run_stub(tid_, thread_, *last_fault_);
  }
}

}  // namespace vuart
