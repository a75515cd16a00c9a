#include "integrator/copies.hpp"

#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "integrator/elf.hpp"
#include "integrator/messages.hpp"

// The packaged ODEPACK build (inside libsiconos_externals), linked directly: the shared instance.
extern "C" void dlsoda_(odepack::rhs_fn f, const odepack::f_int* neq, double* y, double* t, const double* tout,
                        const odepack::f_int* itol, const double* rtol, const double* atol,
                        const odepack::f_int* itask, odepack::f_int* istate, const odepack::f_int* iopt,
                        double* rwork, const odepack::f_int* lrw, odepack::f_int* iwork, const odepack::f_int* liw,
                        odepack::jac_fn jac, const odepack::f_int* jt);

#ifndef MFD_EXEC
#define MFD_EXEC 0x0010U  // Linux >= 6.3: ask for an executable memfd
#endif

namespace odepack::detail {

namespace {

// The linked library as found in memory and on disk, looked at once.
struct packaged_library {
  std::uintptr_t base = 0;  // load bias of the linked instance
  elf::layout layout;
  std::vector<unsigned char> copy_image;  // the file, with DT_SONAME changed
  bool messages_bound = false;
  std::string copies_refused;  // why no copy can be made; empty when copies can be tried
};

bool read_file(const char* path, std::vector<unsigned char>& out) {
  std::FILE* f = std::fopen(path, "rbe");
  if (!f) return false;
  unsigned char chunk[65536];
  std::size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) out.insert(out.end(), chunk, chunk + n);
  const bool ok = !std::ferror(f);
  std::fclose(f);
  return ok;
}

bool has_self_reference(const elf::layout& l, const char* symbol) {
  for (const elf::self_reference& r : l.self_references)
    if (r.symbol == symbol) return true;
  return false;
}

void examine(packaged_library& p) {
  // The object that the linked dlsoda_ lives in, and the file it was loaded from.
  Dl_info info;
  link_map* map = nullptr;
  if (!dladdr1(reinterpret_cast<void*>(&dlsoda_), &info, reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP) || !map ||
      !map->l_name || !*map->l_name) {
    p.copies_refused = "the linked DLSODA is not in a shared library";
    return;
  }
  std::vector<unsigned char> file;
  if (!read_file(map->l_name, file)) {
    p.copies_refused = std::string("cannot read ") + map->l_name;
    return;
  }
  p.base = map->l_addr;
  if (!elf::read_layout(file, p.layout) || !elf::matches_image(p.layout, file, p.base) ||
      p.base + p.layout.dynamic_vaddr != reinterpret_cast<std::uintptr_t>(map->l_ld)) {
    p.copies_refused = std::string(map->l_name) + " does not match the loaded library";
    return;
  }
  p.messages_bound =
      elf::redirect_message_slots(p.layout, p.base, reinterpret_cast<void*>(&kelp_xerrwd_));
  // Copies are checked against the COMMON blocks that hold DLSODA's state; a layout without
  // them is not the library this binding knows.
  if (!has_self_reference(p.layout, "dls001_") || !has_self_reference(p.layout, "dlsa01_")) {
    p.copies_refused = "the library's COMMON blocks dls001_ and dlsa01_ were not found";
    return;
  }
  if (!p.messages_bound) {
    p.copies_refused = "the message routine could not be bound";
    return;
  }
  if (p.layout.soname_offset == 0) {
    p.copies_refused = "the library has no DT_SONAME";
    return;
  }
  // With the soname unchanged, a later dlopen by that name could return a copy.  Only the
  // first byte changes: the linker may share the string's tail with other names.
  p.copy_image = std::move(file);
  unsigned char& first = p.copy_image[p.layout.soname_offset];
  first = first == '#' ? '%' : '#';
}

const packaged_library& packaged() {
  static const packaged_library* const p = [] {
    auto q = std::make_unique<packaged_library>();
    examine(*q);
    return q.release();  // kept for the life of the process, as the copies are
  }();
  return *p;
}

// Examined when the core library is loaded, before any thread can integrate.  Should that
// fail (no memory), the first session retries under the pool's loader lock.
const bool examined_at_load = [] {
  try {
    (void)packaged();
  } catch (...) {
  }
  return true;
}();

bool write_all(int fd, const std::vector<unsigned char>& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

void note(std::string* why, const std::string& text) {
  if (why) *why += (why->empty() ? "" : "; ") + text;
}

std::string last_dlerror() {
  const char* e = dlerror();
  return e ? e : "unknown dlopen failure";
}

// A memfd opened as /proc/self/fd/N.  The descriptor stays open while the copy is loaded.
void* open_from_memfd(const std::vector<unsigned char>& image, int flags, int& fd, std::string* why) {
  fd = memfd_create("kelp-dlsoda", MFD_CLOEXEC | MFD_EXEC);
  if (fd < 0 && errno == EINVAL) fd = memfd_create("kelp-dlsoda", MFD_CLOEXEC);  // kernel < 6.3
  if (fd < 0) return note(why, std::string("memfd_create: ") + std::strerror(errno)), nullptr;
  void* handle = nullptr;
  if (write_all(fd, image)) {
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    handle = dlopen(path.c_str(), flags);
    if (!handle) note(why, last_dlerror());
  } else {
    note(why, "writing the memfd failed");
  }
  if (!handle) close(fd), fd = -1;
  return handle;
}

// For kernels that forbid executable memfds: a temporary file in a directory that allows
// mapping code.  The loader matches loaded objects by path, so no path is ever used twice in
// a process (the counter), and the file is removed as soon as it is mapped.
void* open_from_temporary_file(const std::vector<unsigned char>& image, int flags, std::string* why) {
  static std::atomic<unsigned long> counter{0};
  const char* dirs[] = {std::getenv("TMPDIR"), "/tmp", "/var/tmp", "/dev/shm"};
  for (const char* dir : dirs) {
    if (!dir || !*dir) continue;
    std::string path = std::string(dir) + "/kelp-dlsoda-" + std::to_string(getpid()) + "-" +
                       std::to_string(counter++) + "-XXXXXX";
    const int fd = mkostemp(path.data(), O_CLOEXEC);
    if (fd < 0) continue;
    void* handle = nullptr;
    if (write_all(fd, image) && fchmod(fd, 0700) == 0) {
      handle = dlopen(path.c_str(), flags);
      if (!handle) note(why, last_dlerror());
    }
    unlink(path.c_str());
    close(fd);
    if (handle) return handle;
  }
  note(why, "no temporary directory allows loading code");
  return nullptr;
}

std::mutex loaded_bases_lock;
std::vector<std::uintptr_t> loaded_bases;  // every accepted copy, so that none is handed out twice

bool accept(const packaged_library& p, void* handle, library_copy& c, std::string* why) {
  link_map* map = nullptr;
  if (dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || !map) return note(why, "no link map for the copy"), false;
  const std::uintptr_t base = map->l_addr;
  {
    std::lock_guard<std::mutex> g(loaded_bases_lock);
    if (base == p.base) return note(why, "the loader returned the linked library"), false;
    for (std::uintptr_t b : loaded_bases)
      if (b == base) return note(why, "the loader returned a copy already in use"), false;
  }
  if (!elf::matches_image(p.layout, p.copy_image, base)) return note(why, "the copy's image differs"), false;
  std::string symbol;
  if (!elf::binds_to_itself(p.layout, base, &symbol))
    return note(why, "the copy's reference to " + symbol + " points outside the copy"), false;
  if (!elf::redirect_message_slots(p.layout, base, reinterpret_cast<void*>(&kelp_xerrwd_)))
    return note(why, "the copy's message routine could not be bound"), false;
  void* entry = dlsym(handle, "dlsoda_");
  const auto at = reinterpret_cast<std::uintptr_t>(entry);
  bool inside = false;
  for (const elf::segment& s : p.layout.loads)
    inside = inside || (at >= base + s.vaddr && at - (base + s.vaddr) < s.memsz);
  if (!inside) return note(why, "the copy's dlsoda_ lies outside it"), false;
  c.handle = handle;
  c.dlsoda = reinterpret_cast<dlsoda_entry>(entry);
  std::lock_guard<std::mutex> g(loaded_bases_lock);
  loaded_bases.push_back(base);
  return true;
}

}  // namespace

dlsoda_entry shared_dlsoda() noexcept {
  try {
    (void)packaged();
  } catch (...) {
    // Out of memory while reading the file: the instance still works, only silently.
  }
  return &dlsoda_;
}

bool shared_messages_bound() noexcept {
  try {
    return packaged().messages_bound;
  } catch (...) {
    return false;
  }
}

library_copy* load_copy(bool deep_bind, std::string* why, copy_source source) noexcept {
  try {
    const packaged_library& p = packaged();
    if (!p.copies_refused.empty()) return note(why, p.copies_refused), nullptr;
    const int flags = RTLD_NOW | RTLD_LOCAL | (deep_bind ? RTLD_DEEPBIND : 0);
    auto* c = new library_copy;
    void* handle = source == copy_source::file ? nullptr : open_from_memfd(p.copy_image, flags, c->fd, why);
    if (!handle) handle = open_from_temporary_file(p.copy_image, flags, why);
    if (handle && accept(p, handle, *c, why)) {
      if (why) why->clear();
      return c;
    }
    if (handle) dlclose(handle);
    if (c->fd >= 0) close(c->fd);
    delete c;
    return nullptr;
  } catch (...) {
    note(why, "out of memory");
    return nullptr;
  }
}

}  // namespace odepack::detail
