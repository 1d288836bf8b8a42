#include "process/peek_poke.h"

#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "files/unique_fd.h"

namespace vuart {

namespace {

constexpr std::uint64_t page_size = 4096;

// One iovec pair per page piece, in the order of the transfer, so that a partial
// transfer (which stops at a whole iovec) ends exactly at the first bad page.
std::size_t transfer(pid_t tid, std::uint64_t address, std::uint8_t *local, std::size_t size, Direction direction,
                     bool write)
{
  std::vector<iovec> local_pieces;
  std::vector<iovec> remote_pieces;
  // Lengths, not end addresses: a range may end at the top of the address space.
  for (std::size_t done = 0; done < size;) {
    const std::uint64_t piece = address + done;
    const std::size_t length = std::min<std::uint64_t>(size - done, page_size - piece % page_size);
    local_pieces.push_back({local + done, length});
    // NOLINTNEXTLINE(performance-no-int-to-ptr): an address in the tracee, never dereferenced here
    remote_pieces.push_back({reinterpret_cast<void *>(piece), length});
    done += length;
  }
  if (direction == Direction::down) {
    std::reverse(local_pieces.begin(), local_pieces.end());
    std::reverse(remote_pieces.begin(), remote_pieces.end());
  }
  std::size_t done = 0;
  constexpr std::size_t most_pieces = 1024;  // IOV_MAX
  for (std::size_t first = 0; first < local_pieces.size(); first += most_pieces) {
    const std::size_t count = std::min(most_pieces, local_pieces.size() - first);
    const ssize_t moved = write ? process_vm_writev(tid, &local_pieces[first], count, &remote_pieces[first], count, 0)
                                : process_vm_readv(tid, &local_pieces[first], count, &remote_pieces[first], count, 0);
    if (moved <= 0) {
      break;
    }
    done += static_cast<std::size_t>(moved);
    std::size_t expected = 0;
    for (std::size_t i = first; i < first + count; ++i) {
      expected += local_pieces[i].iov_len;
    }
    if (static_cast<std::size_t>(moved) < expected) {
      break;
    }
  }
  return done;
}

}  // namespace

std::size_t read_tracee(pid_t tid, std::uint64_t address, std::span<std::uint8_t> out, Direction direction)
{
  return transfer(tid, address, out.data(), out.size(), direction, false);
}

std::size_t write_tracee(pid_t tid, std::uint64_t address, std::span<const std::uint8_t> in, Direction direction)
{
  return transfer(tid, address, const_cast<std::uint8_t *>(in.data()), in.size(), direction, true);
}

namespace {

struct Mapping {
  std::uint64_t start;
  std::uint64_t end;
  PageAccess access;
  bool vdso;
};

std::vector<Mapping> mappings(pid_t tid)
{
  std::vector<Mapping> found;
  std::ifstream maps("/proc/" + std::to_string(tid) + "/maps");
  std::string line;
  while (std::getline(maps, line)) {
    const std::size_t dash = line.find('-');
    const std::size_t space = line.find(' ');
    if (dash == std::string::npos || space == std::string::npos) {
      continue;
    }
    const auto permission = [&](std::size_t at, char letter) {
      return line.size() > space + at && line[space + at] == letter;
    };
    // Then the offset, the device, the inode (0 for anonymous memory) and the name.
    std::istringstream rest(line.substr(space + 5));
    std::string offset;
    std::string device;
    std::string inode;
    rest >> offset >> device >> inode;
    found.push_back({std::stoull(line.substr(0, dash), nullptr, 16),
                     std::stoull(line.substr(dash + 1, space - dash - 1), nullptr, 16),
                     {true, permission(1, 'r'), permission(2, 'w'), permission(3, 'x'), !inode.empty() && inode != "0"},
                     line.ends_with("[vdso]")});
  }
  return found;
}

}  // namespace

std::size_t read_forced(pid_t tid, std::uint64_t address, std::span<std::uint8_t> out)
{
  const UniqueFd mem(open(("/proc/" + std::to_string(tid) + "/mem").c_str(), O_RDONLY | O_CLOEXEC));
  const ssize_t fetched = mem.valid() ? pread(mem.get(), out.data(), out.size(), static_cast<off_t>(address)) : -1;
  return fetched > 0 ? static_cast<std::size_t>(fetched) : 0;
}

std::size_t read_code(pid_t tid, std::uint64_t address, std::span<std::uint8_t> out)
{
  const std::size_t read = read_tracee(tid, address, out, Direction::up);
  if (read == out.size()) {
    return read;
  }
  // process_vm_readv needs readable pages; the tracer's /proc/TID/mem reads what the processor can execute.
  return std::max(read, read_forced(tid, address, out));
}

PageAccess page_access(pid_t tid, std::uint64_t address)
{
  for (const Mapping &mapping : mappings(tid)) {
    if (address >= mapping.start && address < mapping.end) {
      return mapping.access;
    }
  }
  return {};
}

std::optional<std::pair<std::uint64_t, std::uint64_t>> vdso_range(pid_t tid)
{
  for (const Mapping &mapping : mappings(tid)) {
    if (mapping.vdso) {
      return std::pair{mapping.start, mapping.end};
    }
  }
  return std::nullopt;
}

std::size_t read_extents(pid_t tid, const Extents &extents, std::uint64_t from, std::span<std::uint8_t> out)
{
  std::size_t got = 0;
  std::uint64_t offset = 0;  // of this extent's first byte
  for (const auto &[address, length] : extents) {
    if (got < out.size() && from + got < offset + length) {
      const std::uint64_t skip = from + got - offset;
      const std::size_t size = std::min<std::uint64_t>(length - skip, out.size() - got);
      const std::size_t read = read_tracee(tid, address + skip, out.subspan(got, size), Direction::up);
      got += read;
      if (read < size) {
        break;
      }
    }
    offset += length;
  }
  return got;
}

}  // namespace vuart
