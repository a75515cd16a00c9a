#include "integrator/elf.hpp"

#include <elf.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>

namespace odepack::elf {

namespace {

// Reads a T at a file offset, false when it does not lie wholly inside the file.
template <class T>
bool read_at(const std::vector<unsigned char>& file, std::uint64_t offset, T& out) {
  if (offset > file.size() || file.size() - offset < sizeof(T)) return false;
  std::memcpy(&out, file.data() + offset, sizeof(T));
  return true;
}

int prot_of(std::uint32_t flags) {
  return ((flags & PF_R) ? PROT_READ : 0) | ((flags & PF_W) ? PROT_WRITE : 0) | ((flags & PF_X) ? PROT_EXEC : 0);
}

// File offset of a virtual address that a loaded segment takes from the file.
bool file_offset(const layout& l, std::uint64_t vaddr, std::uint64_t size, std::uint64_t& offset) {
  for (const segment& s : l.loads)
    if (vaddr >= s.vaddr && vaddr - s.vaddr <= s.filesz && s.filesz - (vaddr - s.vaddr) >= size) {
      offset = s.offset + (vaddr - s.vaddr);
      return true;
    }
  return false;
}

bool inside_loads(const layout& l, std::uint64_t vaddr, std::uint64_t size) {
  for (const segment& s : l.loads)
    if (vaddr >= s.vaddr && vaddr - s.vaddr <= s.memsz && s.memsz - (vaddr - s.vaddr) >= size) return true;
  return false;
}

struct dynamic_tables {
  std::uint64_t strtab = 0, strsz = 0, symtab = 0, syment = sizeof(Elf64_Sym);
  std::uint64_t rela = 0, relasz = 0, relaent = sizeof(Elf64_Rela);
  std::uint64_t jmprel = 0, pltrelsz = 0, pltrel = DT_RELA;
  std::uint64_t soname = 0;
  bool has_soname = false;
};

bool read_dynamic(const std::vector<unsigned char>& file, std::uint64_t offset, std::uint64_t size,
                  dynamic_tables& d) {
  for (std::uint64_t at = 0; at + sizeof(Elf64_Dyn) <= size; at += sizeof(Elf64_Dyn)) {
    Elf64_Dyn e;
    if (!read_at(file, offset + at, e)) return false;
    const std::uint64_t v = e.d_un.d_val;
    switch (e.d_tag) {
      case DT_NULL: at = size; break;
      case DT_STRTAB: d.strtab = v; break;
      case DT_STRSZ: d.strsz = v; break;
      case DT_SYMTAB: d.symtab = v; break;
      case DT_SYMENT: d.syment = v; break;
      case DT_RELA: d.rela = v; break;
      case DT_RELASZ: d.relasz = v; break;
      case DT_RELAENT: d.relaent = v; break;
      case DT_JMPREL: d.jmprel = v; break;
      case DT_PLTRELSZ: d.pltrelsz = v; break;
      case DT_PLTREL: d.pltrel = v; break;
      case DT_SONAME: d.soname = v, d.has_soname = true; break;
      case DT_REL: return false;  // x86-64 objects use RELA only
      default: break;
    }
  }
  return d.strtab != 0 && d.symtab != 0 && d.syment == sizeof(Elf64_Sym) && d.relaent == sizeof(Elf64_Rela) &&
         d.pltrel == DT_RELA;
}

// Files the relocations of one table: slots bound to symbols the object defines itself, and
// the slots of the message routine among them.
bool read_relocations(const std::vector<unsigned char>& file, layout& l, const dynamic_tables& d,
                      std::uint64_t table, std::uint64_t size) {
  if (size == 0) return true;
  std::uint64_t offset, strtab, symtab;
  if (!file_offset(l, table, size, offset) || !file_offset(l, d.strtab, d.strsz, strtab) ||
      !file_offset(l, d.symtab, sizeof(Elf64_Sym), symtab))
    return false;
  for (std::uint64_t at = 0; at + sizeof(Elf64_Rela) <= size; at += sizeof(Elf64_Rela)) {
    Elf64_Rela r;
    if (!read_at(file, offset + at, r)) return false;
    const std::uint32_t type = ELF64_R_TYPE(r.r_info), sym = ELF64_R_SYM(r.r_info);
    // Only these three store a symbol's address in a slot; TLS and relative ones carry none.
    if (sym == 0 || (type != R_X86_64_64 && type != R_X86_64_GLOB_DAT && type != R_X86_64_JUMP_SLOT)) continue;
    Elf64_Sym s;
    if (!read_at(file, symtab + std::uint64_t{sym} * sizeof(Elf64_Sym), s) || s.st_name >= d.strsz) return false;
    if (!inside_loads(l, r.r_offset, sizeof(std::uint64_t))) return false;
    const char* name = reinterpret_cast<const char*>(file.data() + strtab + s.st_name);
    const std::size_t len = strnlen(name, d.strsz - s.st_name);
    if (len == d.strsz - s.st_name) return false;  // unterminated
    if (s.st_shndx == SHN_UNDEF || ELF64_ST_TYPE(s.st_info) == STT_TLS) continue;
    l.self_references.push_back({r.r_offset, std::string(name, len)});
    if (std::strcmp(name, "xerrwd_") == 0) l.message_slots.push_back(r.r_offset);
  }
  return true;
}

}  // namespace

bool read_layout(const std::vector<unsigned char>& file, layout& out) {
  layout l;
  Elf64_Ehdr eh;
  if (!read_at(file, 0, eh) || std::memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0 || eh.e_ident[EI_CLASS] != ELFCLASS64 ||
      eh.e_ident[EI_DATA] != ELFDATA2LSB || eh.e_type != ET_DYN || eh.e_machine != EM_X86_64 ||
      eh.e_phentsize != sizeof(Elf64_Phdr))
    return false;
  std::uint64_t dyn_offset = 0, dyn_size = 0;
  for (unsigned i = 0; i < eh.e_phnum; ++i) {
    Elf64_Phdr ph;
    if (!read_at(file, eh.e_phoff + std::uint64_t{i} * sizeof(Elf64_Phdr), ph)) return false;
    if (ph.p_type == PT_LOAD) {
      if (ph.p_filesz > ph.p_memsz || ph.p_offset > file.size() || file.size() - ph.p_offset < ph.p_filesz)
        return false;
      l.loads.push_back({ph.p_vaddr, ph.p_memsz, ph.p_offset, ph.p_filesz, prot_of(ph.p_flags)});
    } else if (ph.p_type == PT_GNU_RELRO) {
      l.relro_vaddr = ph.p_vaddr, l.relro_memsz = ph.p_memsz;
    } else if (ph.p_type == PT_DYNAMIC) {
      l.dynamic_vaddr = ph.p_vaddr, dyn_offset = ph.p_offset, dyn_size = ph.p_filesz;
    }
  }
  dynamic_tables d;
  if (l.loads.empty() || dyn_size == 0 || !read_dynamic(file, dyn_offset, dyn_size, d)) return false;
  if (!read_relocations(file, l, d, d.rela, d.relasz) || !read_relocations(file, l, d, d.jmprel, d.pltrelsz))
    return false;
  if (d.has_soname) {
    std::uint64_t strtab;
    if (d.soname >= d.strsz || !file_offset(l, d.strtab, d.strsz, strtab)) return false;
    l.soname_offset = strtab + d.soname;
  }
  out = std::move(l);
  return true;
}

bool matches_image(const layout& l, const std::vector<unsigned char>& file, std::uintptr_t base) {
  // Relocation never writes to the segments mapped without write access: they hold the
  // headers, the symbol and relocation tables and the code, as in the file.
  for (const segment& s : l.loads) {
    if ((s.prot & PROT_WRITE) || !(s.prot & PROT_READ)) continue;
    if (std::memcmp(reinterpret_cast<const void*>(base + s.vaddr), file.data() + s.offset, s.filesz) != 0)
      return false;
  }
  return true;
}

bool binds_to_itself(const layout& l, std::uintptr_t base, std::string* missing) {
  for (const self_reference& r : l.self_references) {
    std::uintptr_t target;
    std::memcpy(&target, reinterpret_cast<const void*>(base + r.slot), sizeof target);
    if (target < base || !inside_loads(l, target - base, 1)) {
      if (missing) *missing = r.symbol;
      return false;
    }
  }
  return true;
}

bool redirect_message_slots(const layout& l, std::uintptr_t base, void* routine) {
  const std::uintptr_t page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  // The loader makes [relro start, relro end) read-only with both ends rounded down to a page;
  // the rest keeps its segment's protection.
  const std::uintptr_t relro_begin = (base + l.relro_vaddr) & ~(page - 1);
  const std::uintptr_t relro_end = (base + l.relro_vaddr + l.relro_memsz) & ~(page - 1);
  for (std::uint64_t slot : l.message_slots) {
    const std::uintptr_t at = base + slot;
    void* const first = reinterpret_cast<void*>(at & ~(page - 1));
    int prot = -1;
    for (const segment& s : l.loads)
      if (slot >= s.vaddr && slot - s.vaddr < s.memsz) prot = s.prot;
    if (prot < 0 || at % alignof(void*) != 0) return false;  // an aligned slot never spans two pages
    if (at >= relro_begin && at < relro_end) prot = PROT_READ;
    const bool lift = !(prot & PROT_WRITE);
    if (lift && mprotect(first, page, prot | PROT_WRITE) != 0) return false;
    std::memcpy(reinterpret_cast<void*>(at), &routine, sizeof routine);
    if (lift && mprotect(first, page, prot) != 0) return false;
  }
  return !l.message_slots.empty();
}

}  // namespace odepack::elf
