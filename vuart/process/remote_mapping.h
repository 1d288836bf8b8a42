#pragma once
// Memory of vuart's in the program: one reservation where the kernel places
// mappings of its own choice (as a library's: no program may count on that
// room), never readable at either end, so that it fills no hole the program made
// to fault in and no mapping of the program's runs into it. The pieces are
// mapped inside it in order, and the whole is sealed where the kernel can seal,
// so that only exec removes it. A piece from a memfd that vuart sealed against
// writes cannot be changed by the program in any way, /proc/PID/mem included.

#include <sys/types.h>
#include <sys/user.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "process/remote_call.h"
#include "process/threads.h"

namespace vuart {

struct RemotePiece {
  std::uint64_t length;      // whole pages; a memfd's mapping may reach past its end, which never reads
  int protection;            // PROT_*
  std::optional<int> memfd;  // vuart's descriptor, mapped shared; anonymous memory without one
};

// Whether the kernel can seal memory (mseal, Linux 6.10).
bool kernel_seals_memory();

// Maps the pieces into the thread's process, making system calls in the thread,
// which must be stopped where it can make them; below 4 GiB when `below_4gib`.
// The pieces' addresses, or nothing with the reason in `why`.
std::optional<std::vector<std::uint64_t>> map_into_program(pid_t tid, Thread &thread, const user_regs_struct &regs,
                                                           RemoteCalls &remote, std::span<const RemotePiece> pieces,
                                                           bool below_4gib, std::string &why);

}  // namespace vuart
