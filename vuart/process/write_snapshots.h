#pragma once
// Where the trace's copy of a write comes from: the program's bytes, copied at
// the call's entry into memory of its process that only vuart can change, and
// the call pointed there. What the kernel writes is then what the trace holds,
// whatever another thread does to the program's buffer meanwhile.
//
// Each area is a memfd, sealed against writes but through vuart's own mapping,
// mapped read-only and shared into the process and sealed there with mseal, so
// that the program can neither write it, nor map it writable, nor put other
// memory in its place.

#include <sys/types.h>
#include <sys/user.h>

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <vector>

#include "files/unique_fd.h"
#include "process/remote_call.h"
#include "process/threads.h"

namespace vuart {

class WriteSnapshots {
 public:
  static constexpr std::uint64_t slot_bytes = std::uint64_t{128} * 1024;
  static constexpr std::size_t slots_per_area = 8;
  static constexpr std::size_t most_areas = 64;  // per process: after that, writes are read as they return

  struct Slot {
    std::uint64_t address;           // in the program
    std::span<std::uint8_t> memory;  // the same bytes, as vuart writes them
    std::uint64_t unreadable;        // an address in the program whose reading always fails
  };

  WriteSnapshots();
  // A free slot in the process, if it has one.
  std::optional<Slot> take(pid_t process);
  [[nodiscard]] bool has_free_slot(pid_t process) const;
  void give_back(pid_t process, std::uint64_t address);
  // Whether one more area may be mapped into the process: the kernel can seal
  // memory, the process has not refused an area before, and it has not too many.
  [[nodiscard]] bool can_map(pid_t process) const;
  // Whether the process's writes are made from snapshots: it has areas, and refused none.
  [[nodiscard]] bool in_use(pid_t process) const;
  // Maps one more area into the thread's process, making system calls in the
  // thread, which must be stopped where it can make them; false when that fails.
  bool map_area(pid_t tid, Thread &thread, const user_regs_struct &regs, RemoteCalls &remote);
  void forget(pid_t process) { areas_.erase(process); }
  // The child shares the creator's memory, and so its areas.
  void share(pid_t creator, pid_t child);

 private:
  struct Area {
    Area(UniqueFd memfd, std::span<std::uint8_t> memory) : memfd(std::move(memfd)), memory(memory) {}
    Area(const Area &) = delete;
    Area &operator=(const Area &) = delete;
    ~Area();
    UniqueFd memfd;
    std::span<std::uint8_t> memory;  // vuart's writable mapping
    std::uint64_t address = 0;       // the program's read-only one
    std::array<bool, slots_per_area> busy{};
  };
  static std::unique_ptr<Area> new_area();
  bool sealing_ = false;
  using Areas = std::vector<std::unique_ptr<Area>>;
  Areas &areas_of(pid_t process);
  std::map<pid_t, std::shared_ptr<Areas>> areas_;  // processes that share memory share them
  std::set<pid_t> refused_;
};

}  // namespace vuart
