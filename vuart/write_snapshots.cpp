#include "write_snapshots.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "output.h"
#include "tracee_access.h"

namespace vuart {

namespace {

constexpr std::uint64_t area_bytes = WriteSnapshots::slot_bytes * WriteSnapshots::slots_per_area;
constexpr std::uint64_t guard_bytes = 4096;  // mapped past the memfd's end: reading it always fails
constexpr std::uint64_t page_bytes = 4096;
constexpr long mseal_call = 462;  // the same number in both ABIs

struct Call {
  RemoteCalls::Numbers numbers;
  const char *name;
};
constexpr Call socketpair_call{{SYS_socketpair, 360}, "socketpair"};
constexpr Call recvmsg_call{{SYS_recvmsg, 372}, "recvmsg"};
constexpr Call mmap_call{{SYS_mmap, 192}, "mmap"};  // i386's mmap2, whose offset in pages is 0 here too
constexpr Call mseal_numbers{{mseal_call, mseal_call}, "mseal"};
constexpr Call close_call{{SYS_close, 6}, "close"};
constexpr Call munmap_call{{SYS_munmap, 91}, "munmap"};

// Where the hand-over's structures go in the program: below the stack's red zone, where it keeps nothing.
struct Scratch {
  static constexpr std::uint64_t bytes = 256;
  static constexpr std::uint64_t pair = 0, message = 16, vector = 80, byte = 96, control = 112;
  std::uint64_t base;
  explicit Scratch(const user_regs_struct &regs) : base((regs.rsp - 128 - bytes) & ~std::uint64_t{15}) {}
};

template <typename Value> void put(std::vector<std::uint8_t> &bytes, std::uint64_t at, Value value)
{
  std::memcpy(bytes.data() + at, &value, sizeof value);
}

// recvmsg's message header for one byte and one descriptor, in the layout of the ABI it is called in.
// The same fields in both ABIs, each a word of the ABI's size (the 64-bit name
// length padded to one): name, its length, the iovecs, their count, the control
// buffer, its length, flags; and the one iovec, for one byte.
template <typename Word>
std::vector<std::uint8_t> receiving_header(const Scratch &scratch, std::uint64_t control_length)
{
  std::vector<std::uint8_t> bytes(Scratch::bytes);
  const std::array<Word, 7> header = {0,
                                      0,
                                      static_cast<Word>(scratch.base + Scratch::vector),
                                      1,
                                      static_cast<Word>(scratch.base + Scratch::control),
                                      static_cast<Word>(control_length),
                                      0};
  std::memcpy(bytes.data() + Scratch::message, header.data(), sizeof header);
  const std::array<Word, 2> one_byte = {static_cast<Word>(scratch.base + Scratch::byte), 1};
  std::memcpy(bytes.data() + Scratch::vector, one_byte.data(), sizeof one_byte);
  return bytes;
}

// Makes the call in the thread; its result, or nothing after a message when it failed.
std::optional<long> checked_call(pid_t tid, Thread &thread, const user_regs_struct &regs, RemoteCalls &remote,
                                 const Call &call, std::span<const std::uint64_t> arguments)
{
  const std::optional<long> result = remote.system_call(tid, thread, regs, call.numbers, arguments);
  if (!result || (*result < 0 && *result > -4096)) {
    errno = result ? static_cast<int>(-*result) : ESRCH;
    report_errno(std::string(call.name) + " for write snapshots in process " + std::to_string(thread.process));
    return std::nullopt;
  }
  return result;
}

bool sends_descriptor(int socket, int fd)
{
  char byte = 0;
  iovec vector{&byte, 1};
  alignas(cmsghdr) std::array<char, CMSG_SPACE(sizeof(int))> control{};
  msghdr message{};
  message.msg_iov = &vector;
  message.msg_iovlen = 1;
  message.msg_control = control.data();
  message.msg_controllen = control.size();
  cmsghdr *header = CMSG_FIRSTHDR(&message);
  header->cmsg_level = SOL_SOCKET;
  header->cmsg_type = SCM_RIGHTS;
  header->cmsg_len = CMSG_LEN(sizeof(int));
  std::memcpy(CMSG_DATA(header), &fd, sizeof fd);
  if (sendmsg(socket, &message, MSG_DONTWAIT | MSG_NOSIGNAL) != 1) {
    report_errno("sendmsg of a write snapshot area");
    return false;
  }
  return true;
}

}  // namespace

WriteSnapshots::WriteSnapshots()
{
  // A length of 0 seals nothing and succeeds where the kernel has mseal.
  sealing_ = syscall(mseal_call, 0, 0, 0) == 0;
}

WriteSnapshots::Area::~Area()
{
  munmap(memory.data(), memory.size());
}

std::optional<WriteSnapshots::Slot> WriteSnapshots::take(pid_t process)
{
  const auto areas = areas_.find(process);
  if (areas == areas_.end()) {
    return std::nullopt;
  }
  for (const auto &area : *areas->second) {
    auto *const free_slot = std::find(area->busy.begin(), area->busy.end(), false);
    if (free_slot != area->busy.end()) {
      *free_slot = true;
      const auto offset = static_cast<std::uint64_t>(free_slot - area->busy.begin()) * slot_bytes;
      return Slot{area->address + offset, area->memory.subspan(offset, slot_bytes), area->address + area_bytes};
    }
  }
  return std::nullopt;
}

bool WriteSnapshots::has_free_slot(pid_t process) const
{
  const auto areas = areas_.find(process);
  return areas != areas_.end() && std::any_of(areas->second->begin(), areas->second->end(), [](const auto &area) {
           return std::find(area->busy.begin(), area->busy.end(), false) != area->busy.end();
         });
}

void WriteSnapshots::give_back(pid_t process, std::uint64_t address)
{
  const auto areas = areas_.find(process);
  if (areas == areas_.end()) {
    return;  // exec or the end of the process took its areas already
  }
  for (const auto &area : *areas->second) {
    if (address >= area->address && address < area->address + area_bytes) {
      area->busy.at((address - area->address) / slot_bytes) = false;
    }
  }
}

WriteSnapshots::Areas &WriteSnapshots::areas_of(pid_t process)
{
  auto &areas = areas_[process];
  if (!areas) {
    areas = std::make_shared<Areas>();
  }
  return *areas;
}

void WriteSnapshots::share(pid_t creator, pid_t child)
{
  areas_of(creator);
  areas_[child] = areas_[creator];
}

bool WriteSnapshots::can_map(pid_t process) const
{
  const auto areas = areas_.find(process);
  return sealing_ && !refused_.contains(process) && (areas == areas_.end() || areas->second->size() < most_areas);
}

bool WriteSnapshots::in_use(pid_t process) const
{
  const auto areas = areas_.find(process);
  return !refused_.contains(process) && areas != areas_.end() && !areas->second->empty();
}

std::unique_ptr<WriteSnapshots::Area> WriteSnapshots::new_area()
{
  UniqueFd memfd(memfd_create("vuart-write-snapshots", MFD_CLOEXEC | MFD_ALLOW_SEALING));
  if (!memfd.valid() || ftruncate(memfd.get(), area_bytes) != 0) {
    report_errno("memfd_create for write snapshots");
    return nullptr;
  }
  void *memory = mmap(nullptr, area_bytes, PROT_READ | PROT_WRITE, MAP_SHARED, memfd.get(), 0);
  if (memory == MAP_FAILED) {
    report_errno("mmap of write snapshots");
    return nullptr;
  }
  auto area = std::make_unique<Area>(std::move(memfd), std::span(static_cast<std::uint8_t *>(memory), area_bytes));
  // From here on only vuart's mapping, made before the seal, can change the bytes.
  if (fcntl(area->memfd.get(), F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_FUTURE_WRITE | F_SEAL_SEAL) != 0) {
    report_errno("sealing write snapshots");
    return nullptr;
  }
  return area;
}

std::optional<int> WriteSnapshots::hand_over(pid_t tid, Thread &thread, const user_regs_struct &regs,
                                             RemoteCalls &remote, const Area &area)
{
  const std::optional<bool> i386 = remote.makes_i386_calls(tid, thread.process);
  const auto call = [&](const Call &which, std::initializer_list<std::uint64_t> arguments) {
    return checked_call(tid, thread, regs, remote, which, std::vector<std::uint64_t>(arguments));
  };
  const Scratch scratch(regs);
  std::array<int, 2> pair{-1, -1};
  if (!i386 || !call(socketpair_call, {AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, scratch.base + Scratch::pair}) ||
      read_tracee(tid, scratch.base + Scratch::pair, {reinterpret_cast<std::uint8_t *>(pair.data()), sizeof pair},
                  Direction::up) != sizeof pair) {
    return std::nullopt;
  }
  std::optional<int> handed;
  // vuart's end of the pair, taken from the program: the memfd goes in at it and comes out at the program's.
  const UniqueFd process(static_cast<int>(syscall(SYS_pidfd_open, thread.process, 0)));
  const UniqueFd ours(process.valid() ? static_cast<int>(syscall(SYS_pidfd_getfd, process.get(), pair[0], 0)) : -1);
  constexpr std::uint64_t i386_control_length = 16;  // its cmsghdr is three 32-bit words
  const std::vector<std::uint8_t> header = *i386 ? receiving_header<std::uint32_t>(scratch, i386_control_length)
                                                 : receiving_header<std::uint64_t>(scratch, CMSG_SPACE(sizeof(int)));
  if (ours.valid() && sends_descriptor(ours.get(), area.memfd.get()) &&
      write_tracee(tid, scratch.base, header, Direction::up) == header.size() &&
      call(recvmsg_call,
           {static_cast<std::uint64_t>(pair[1]), scratch.base + Scratch::message, MSG_DONTWAIT | MSG_CMSG_CLOEXEC})) {
    int received = -1;
    const std::uint64_t data = scratch.base + Scratch::control + (*i386 ? 3 * sizeof(std::uint32_t) : CMSG_LEN(0));
    struct stat theirs {};
    struct stat mine {};
    if (read_tracee(tid, data, {reinterpret_cast<std::uint8_t *>(&received), sizeof received}, Direction::up) ==
            sizeof received &&
        stat(("/proc/" + std::to_string(tid) + "/fd/" + std::to_string(received)).c_str(), &theirs) == 0 &&
        fstat(area.memfd.get(), &mine) == 0 && theirs.st_dev == mine.st_dev && theirs.st_ino == mine.st_ino) {
      handed = received;
    }
  } else if (!ours.valid()) {
    report_errno("pidfd_getfd for write snapshots");
  }
  for (const int fd : pair) {
    call(close_call, {static_cast<std::uint64_t>(fd)});
  }
  return handed;
}

bool WriteSnapshots::map_area(pid_t tid, Thread &thread, const user_regs_struct &regs, RemoteCalls &remote)
{
  // One reservation, never readable at either end, where the kernel places
  // mappings of its own choice: it fills no hole the program made to fault in,
  // and no mapping of the program's runs into it. Below 4 GiB in an i386 process.
  constexpr std::uint64_t length = area_bytes + guard_bytes;
  constexpr std::uint64_t reserved = page_bytes + length + page_bytes;
  const auto refuse = [&](const std::string &why) {
    report("the trace reads process " + std::to_string(thread.process) + "'s writes as they return: " + why);
    refused_.insert(thread.process);
    return false;
  };
  if (!remote.makes_i386_calls(tid, thread.process)) {
    return refuse("its own seccomp filter or syscall user dispatch might refuse the calls that would map snapshot memory");
  }
  std::unique_ptr<Area> area = new_area();
  const std::optional<int> fd = area ? hand_over(tid, thread, regs, remote, *area) : std::nullopt;
  std::optional<long> base;
  std::optional<long> address;
  if (fd) {
    const std::array<std::uint64_t, 6> reservation = {
        0, reserved, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, ~0ULL, 0};
    base = checked_call(tid, thread, regs, remote, mmap_call, reservation);
  }
  if (base && *base % static_cast<long>(page_bytes) == 0) {
    const auto at = static_cast<std::uint64_t>(*base) + page_bytes;
    const std::array<std::uint64_t, 6> arguments = {
        at, length, PROT_READ, MAP_SHARED | MAP_FIXED, static_cast<std::uint64_t>(*fd), 0};
    address = checked_call(tid, thread, regs, remote, mmap_call, arguments);
    if (address != static_cast<long>(at)) {
      address.reset();
    }
  }
  if (fd) {
    checked_call(tid, thread, regs, remote, close_call, std::array{static_cast<std::uint64_t>(*fd)});
  }
  if (address) {
    const auto whole = static_cast<std::uint64_t>(*base);
    if (checked_call(tid, thread, regs, remote, mseal_numbers, std::array<std::uint64_t, 3>{whole, reserved, 0})) {
      area->address = static_cast<std::uint64_t>(*address);
      areas_of(thread.process).push_back(std::move(area));
      return true;
    }
  }
  if (base) {
    checked_call(tid, thread, regs, remote, munmap_call, std::array{static_cast<std::uint64_t>(*base), reserved});
  }
  return refuse("no snapshot memory could be mapped there");
}

}  // namespace vuart
