// What the integrator binding must know of the packaged ODEPACK library to check and patch a
// loaded copy of it, read from the library file's own dynamic section.  Addresses here are
// relative to the load bias (link_map::l_addr) of a loaded object.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace odepack::elf {

struct segment {
  std::uint64_t vaddr = 0, memsz = 0;
  std::uint64_t offset = 0, filesz = 0;
  int prot = 0;  // PROT_* the loader maps it with
};

// A relocated slot (GOT entry or data word) whose symbol the library defines itself.
struct self_reference {
  std::uint64_t slot = 0;
  std::string symbol;
};

struct layout {
  std::vector<segment> loads;
  std::uint64_t relro_vaddr = 0, relro_memsz = 0;
  std::uint64_t dynamic_vaddr = 0;
  // Where an isolated copy must point into itself: its COMMON blocks (dls001_, dlsa01_, ...)
  // and the ODEPACK routines that call each other.
  std::vector<self_reference> self_references;
  // The slots through which the library reaches its message routine xerrwd_.
  std::vector<std::uint64_t> message_slots;
  std::size_t soname_offset = 0;  // file offset of the DT_SONAME string; 0 when there is none
};

/// Reads the layout from the bytes of an x86-64 ELF shared object; false when they are not
/// one (every table is bounds-checked against the file).
bool read_layout(const std::vector<unsigned char>& file, layout& out);

/// True when the read-only segments of the object loaded at `base` hold exactly the file's
/// bytes, so that `l` describes that object.
bool matches_image(const layout& l, const std::vector<unsigned char>& file, std::uintptr_t base);

/// True when every self reference of the object loaded at `base` holds an address inside that
/// object's own segments.  `missing` receives the first symbol that points elsewhere.  Meaningful
/// only for an object bound at load time (RTLD_NOW or BIND_NOW): a lazy PLT slot still holds
/// the object's own stub.
bool binds_to_itself(const layout& l, std::uintptr_t base, std::string* missing = nullptr);

/// Points every message slot of the object at `base` to `routine`.  Slots in the read-only
/// (RELRO) part are made writable for the write and read-only again after it.
bool redirect_message_slots(const layout& l, std::uintptr_t base, void* routine);

}  // namespace odepack::elf
