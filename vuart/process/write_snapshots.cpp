#include "process/write_snapshots.h"

#include <fcntl.h>
#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <string>

#include "files/messages.h"
#include "process/remote_mapping.h"

namespace vuart {

namespace {

constexpr std::uint64_t area_bytes = WriteSnapshots::slot_bytes * WriteSnapshots::slots_per_area;
constexpr std::uint64_t guard_bytes = 4096;  // mapped past the memfd's end: reading it always fails

}  // namespace

WriteSnapshots::WriteSnapshots() : sealing_(kernel_seals_memory()) {}

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

bool WriteSnapshots::map_area(pid_t tid, Thread &thread, const user_regs_struct &regs, RemoteCalls &remote)
{
  std::unique_ptr<Area> area = new_area();
  if (!area) {
    refused_.insert(thread.process);
    return false;
  }
  // The area, and past its end a page that never reads.
  const std::array pieces = {RemotePiece{area_bytes + guard_bytes, PROT_READ, area->memfd.get()}};
  std::string why;
  const auto addresses = map_into_program(tid, thread, regs, remote, pieces, false, why);
  if (!addresses) {
    report("the trace reads process " + std::to_string(thread.process) + "'s writes as they return: " + why);
    refused_.insert(thread.process);
    return false;
  }
  area->address = addresses->front();
  areas_of(thread.process).push_back(std::move(area));
  return true;
}

}  // namespace vuart
