#include "process/remote_mapping.h"

#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

#include "files/messages.h"
#include "process/peek_poke.h"

namespace vuart {

namespace {

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
constexpr std::uint64_t below_4gib_end = std::uint64_t{1} << 32U;
// For 32-bit code in a 64-bit process: a hint at 3 GiB, clear of the first two,
// where MAP_32BIT would put it and where programs that run 32-bit code keep their memory.
constexpr std::uint64_t low_hint = 0xC0000000;

// Where the hand-over's structures go in the program: below the stack's red zone, where it keeps nothing.
struct Scratch {
  static constexpr std::uint64_t bytes = 256;
  static constexpr std::uint64_t pair = 0, message = 16, vector = 80, byte = 96, control = 112;
  std::uint64_t base;
  explicit Scratch(const user_regs_struct &regs) : base((regs.rsp - 128 - bytes) & ~std::uint64_t{15}) {}
};

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
    report_errno("sendmsg of a memfd to the program");
    return false;
  }
  return true;
}

// A system call in the thread, its result checked: nothing, with the reason in `why`, when it failed.
class Caller {
 public:
  Caller(pid_t tid, Thread &thread, const user_regs_struct &regs, RemoteCalls &remote, std::string &why)
      : tid_(tid), thread_(thread), regs_(regs), remote_(remote), why_(why)
  {
  }
  std::optional<long> operator()(const Call &call, std::span<const std::uint64_t> arguments)
  {
    const std::optional<long> result = remote_.system_call(tid_, thread_, regs_, call.numbers, arguments);
    if (!result || (*result < 0 && *result > -4096)) {
      why_ = std::string(call.name) + ": " +
             (result ? strerror(static_cast<int>(-*result)) : "not made, as " + remote_.why_no_calls(thread_.process));
      return std::nullopt;
    }
    return result;
  }
  std::optional<long> operator()(const Call &call, std::initializer_list<std::uint64_t> arguments)
  {
    return (*this)(call, std::span(arguments.begin(), arguments.size()));
  }

 private:
  pid_t tid_;
  Thread &thread_;
  const user_regs_struct &regs_;
  RemoteCalls &remote_;
  std::string &why_;
};

// Puts vuart's descriptor into the process as one of its own: its number there.
// It goes in at vuart's end of a socket pair the process makes, taken with pidfd_getfd.
std::optional<int> hand_over(pid_t tid, Thread &thread, const user_regs_struct &regs, Caller &call, bool i386, int fd)
{
  const Scratch scratch(regs);
  std::array<int, 2> pair{-1, -1};
  if (!call(socketpair_call, {AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, scratch.base + Scratch::pair}) ||
      read_tracee(tid, scratch.base + Scratch::pair, {reinterpret_cast<std::uint8_t *>(pair.data()), sizeof pair},
                  Direction::up) != sizeof pair) {
    return std::nullopt;
  }
  std::optional<int> handed;
  const UniqueFd process(static_cast<int>(syscall(SYS_pidfd_open, thread.process, 0)));
  const UniqueFd ours(process.valid() ? static_cast<int>(syscall(SYS_pidfd_getfd, process.get(), pair[0], 0)) : -1);
  constexpr std::uint64_t i386_control_length = 16;  // its cmsghdr is three 32-bit words
  const std::vector<std::uint8_t> header = i386 ? receiving_header<std::uint32_t>(scratch, i386_control_length)
                                                : receiving_header<std::uint64_t>(scratch, CMSG_SPACE(sizeof(int)));
  if (ours.valid() && sends_descriptor(ours.get(), fd) &&
      write_tracee(tid, scratch.base, header, Direction::up) == header.size() &&
      call(recvmsg_call,
           {static_cast<std::uint64_t>(pair[1]), scratch.base + Scratch::message, MSG_DONTWAIT | MSG_CMSG_CLOEXEC})) {
    // What the program's memory says it received is checked against what was sent.
    int received = -1;
    const std::uint64_t data = scratch.base + Scratch::control + (i386 ? 3 * sizeof(std::uint32_t) : CMSG_LEN(0));
    struct stat theirs {};
    struct stat mine {};
    if (read_tracee(tid, data, {reinterpret_cast<std::uint8_t *>(&received), sizeof received}, Direction::up) ==
            sizeof received &&
        stat(("/proc/" + std::to_string(tid) + "/fd/" + std::to_string(received)).c_str(), &theirs) == 0 &&
        fstat(fd, &mine) == 0 && theirs.st_dev == mine.st_dev && theirs.st_ino == mine.st_ino) {
      handed = received;
    }
  } else if (!ours.valid()) {
    report_errno("pidfd_getfd of process " + std::to_string(thread.process) + "'s socket");
  }
  for (const int end : pair) {
    call(close_call, {static_cast<std::uint64_t>(end)});
  }
  return handed;
}

}  // namespace

bool kernel_seals_memory()
{
  // A length of 0 seals nothing and succeeds where the kernel has mseal.
  static const bool seals = syscall(mseal_call, 0, 0, 0) == 0;
  return seals;
}

std::optional<std::vector<std::uint64_t>> map_into_program(pid_t tid, Thread &thread, const user_regs_struct &regs,
                                                           RemoteCalls &remote, std::span<const RemotePiece> pieces,
                                                           bool below_4gib, std::string &why)
{
  const std::optional<bool> i386 = remote.makes_i386_calls(tid, thread.process);
  if (!i386) {
    why = remote.why_no_calls(thread.process);
    return std::nullopt;
  }
  Caller call(tid, thread, regs, remote, why);
  std::uint64_t inside = 0;
  for (const RemotePiece &piece : pieces) {
    inside += piece.length;
  }
  const std::uint64_t reserved = page_bytes + inside + page_bytes;
  const std::optional<long> base = call(mmap_call, {below_4gib ? low_hint : 0, reserved, PROT_NONE,
                                                    MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, ~0ULL, 0});
  if (!base) {
    return std::nullopt;
  }
  // What comes back is the program's to shape: whole pages, where its code reaches them.
  const auto start = static_cast<std::uint64_t>(*base);
  if (start == 0 || start % page_bytes != 0) {
    why = "mmap gave an address no mapping can have";
    return std::nullopt;
  }
  if ((below_4gib || *i386) && start > below_4gib_end - reserved) {
    call(munmap_call, {start, reserved});
    why = "no room below 4 GiB, where 32-bit code reaches";
    return std::nullopt;
  }
  const auto abandon = [&](std::string reason) -> std::optional<std::vector<std::uint64_t>> {
    call(munmap_call, {start, reserved});
    why = std::move(reason);
    return std::nullopt;
  };
  std::vector<std::uint64_t> addresses;
  std::uint64_t at = start + page_bytes;
  for (const RemotePiece &piece : pieces) {
    std::optional<long> placed;
    if (!piece.memfd) {
      placed = call(mmap_call, {at, piece.length, static_cast<std::uint64_t>(piece.protection),
                                MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, ~0ULL, 0});
    } else if (const std::optional<int> fd = hand_over(tid, thread, regs, call, *i386, *piece.memfd)) {
      placed = call(mmap_call, {at, piece.length, static_cast<std::uint64_t>(piece.protection), MAP_SHARED | MAP_FIXED,
                                static_cast<std::uint64_t>(*fd), 0});
      std::string closing_why;
      Caller(tid, thread, regs, remote, closing_why)(close_call, {static_cast<std::uint64_t>(*fd)});
    } else if (why.empty()) {
      why = "the memfd did not reach the process";
    }
    if (placed != static_cast<long>(at)) {
      return abandon(why.empty() ? "mmap placed it elsewhere" : why);
    }
    addresses.push_back(at);
    at += piece.length;
  }
  if (kernel_seals_memory() && !call(mseal_numbers, {start, reserved, 0})) {
    return abandon(why);
  }
  return addresses;
}

}  // namespace vuart
