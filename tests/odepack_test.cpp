// The integrator binding: per-thread DLSODA instances (private copies, the locked fallback),
// the checks made on each copy, and DLSODA's restored diagnostics.
#include <dlfcn.h>
#include <link.h>
#include <unistd.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "chem/propagation.hpp"
#include "chem/rates.hpp"
#include "kelp/forward.hpp"
#include "odepack.hpp"
#include "integrator/copies.hpp"
#include "parallel/budget.hpp"
#include "integrator/elf.hpp"
#include "integrator/messages.hpp"
#include "call/context.hpp"

namespace {

// Small grids: each evaluation makes about a thousand integrator calls.
struct model_case {
  double spec_pars[8];
  double energy;
};

const std::vector<model_case> cases = {
    {{1e-18, 1e-17, 1e-17, 1e-9, 1e-8, 1e-13, 1e-6, 1e-13}, 1e-6},  // reverse saturable absorber
    {{1e-18, 3e-17, 1e-17, 1e-9, 1e-8, 1e-13, 1e-6, 1e-13}, 2e-6},
    {{2e-17, 1e-19, 1e-19, 1e-9, 1e-8, 1e-13, 1e-6, 1e-13}, 1e-6},  // saturable absorber
    {{1e-18, 1e-17, 5e-17, 2e-9, 1e-9, 1e-12, 1e-7, 1e-12}, 5e-7},
    {{1e-18, 1e-17, 1e-17, 1e-9, 1e-8, 1e-13, 1e-6, 1e-13}, 4e-6},
    {{5e-18, 2e-17, 1e-18, 5e-10, 1e-8, 1e-13, 1e-6, 1e-13}, 1e-6},
};

std::vector<double> evaluate(const model_case& c) {
  std::vector<double> x;
  for (int i = 0; i < 13; ++i) x.push_back(-15.0 + 2.5 * i);
  kelp::setup s;
  s.t_slices = 7;
  s.z_slices = 5;
  return kelp::model_curves(x, {c.energy}, {1e20, 0, 0, 0, 0}, c.spec_pars, s);
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

std::vector<std::vector<double>> serial_results() {
  std::vector<std::vector<double>> r;
  for (const model_case& c : cases) r.push_back(evaluate(c));
  return r;
}

// Restores the private route however a test ends.
struct shared_instance_forced {
  shared_instance_forced() { odepack::testing::use_shared_instance(true); }
  ~shared_instance_forced() { odepack::testing::use_shared_instance(false); }
};

struct run_report {
  int mismatches = 0;
  bool overlapped = true;
};

// `threads` threads each hold one session around `rounds` passes over every case, starting at
// a case of their own.  With `overlap`, every thread first waits until all hold their
// session: with private instances none blocks another.
run_report run_concurrently(const std::vector<std::vector<double>>& expected, int threads, int rounds, bool overlap) {
  std::atomic<int> mismatches{0}, holding{0};
  std::atomic<bool> overlapped{true};
  std::vector<std::thread> pool;
  for (int k = 0; k < threads; ++k)
    pool.emplace_back([&, k] {
      odepack::session outer;
      if (overlap) {
        ++holding;
        const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (holding.load() < threads)
          if (std::chrono::steady_clock::now() > give_up) {
            overlapped = false;
            break;
          } else {
            std::this_thread::yield();
          }
      }
      for (int r = 0; r < rounds; ++r)
        for (std::size_t i = 0; i < cases.size(); ++i) {
          const std::size_t c = (i + static_cast<std::size_t>(k)) % cases.size();
          if (!same_bits(evaluate(cases[c]), expected[c])) ++mismatches;
        }
    });
  for (std::thread& t : pool) t.join();
  return {mismatches.load(), overlapped.load()};
}

// Each evaluation integrates on its own thread only, so that the copies counted are the
// sessions' and not those of the helpers an evaluation would borrow.
struct serial_evaluations {
  serial_evaluations() { kelp::parallel::testing::set_thread_budget(1); }
  ~serial_evaluations() { kelp::parallel::testing::set_thread_budget(0); }
};

TEST(Instances, ConcurrentEvaluationsMatchSerialBitForBitAndReuseCopies) {
  serial_evaluations serial;
  const auto expected = serial_results();
  const bool isolated = odepack::load_private_instance();
  EXPECT_EQ(isolated, odepack::detail::deep_bind_usable) << odepack::shared_instance_reason();
  const std::size_t before = odepack::instances_loaded();
  constexpr int threads = 4;

  run_report first = run_concurrently(expected, threads, 2, isolated);
  EXPECT_EQ(first.mismatches, 0);
  const std::size_t after_first = odepack::instances_loaded();
  if (isolated) {
    // Four sessions were open at once, each on a copy of its own.
    EXPECT_TRUE(first.overlapped);
    EXPECT_EQ(after_first, std::max<std::size_t>(before, threads));
  } else {
    EXPECT_EQ(after_first, before);
  }

  // New threads find the idle copies: nothing more is loaded.
  run_report second = run_concurrently(expected, threads, 1, isolated);
  EXPECT_EQ(second.mismatches, 0);
  EXPECT_TRUE(second.overlapped);
  EXPECT_EQ(odepack::instances_loaded(), after_first);

  // Fewer threads than copies, without waiting for each other.
  EXPECT_EQ(run_concurrently(expected, 2, 2, false).mismatches, 0);
  EXPECT_EQ(odepack::instances_loaded(), after_first);
  for (std::size_t c = 0; c < cases.size(); ++c) EXPECT_TRUE(same_bits(evaluate(cases[c]), expected[c])) << c;
}

TEST(Instances, SharedFallbackGivesTheSameBits) {
  const auto expected = serial_results();
  (void)odepack::load_private_instance();
  const std::size_t before = odepack::instances_loaded();
  {
    shared_instance_forced forced;
    EXPECT_FALSE(odepack::load_private_instance());
    for (std::size_t c = 0; c < cases.size(); ++c) EXPECT_TRUE(same_bits(evaluate(cases[c]), expected[c])) << c;
    // The lock keeps concurrent evaluations on the one instance apart.
    EXPECT_EQ(run_concurrently(expected, 3, 1, false).mismatches, 0);
    EXPECT_EQ(odepack::instances_loaded(), before);
  }
  // A thread inside a shared session (holding the lock) does not hold up a private one.
  std::atomic<bool> holding{false}, release{false};
  odepack::testing::use_shared_instance(true);
  std::thread locked([&] {
    odepack::session s;
    holding = true;
    while (!release.load()) std::this_thread::yield();
  });
  while (!holding.load()) std::this_thread::yield();
  odepack::testing::use_shared_instance(false);
  if (odepack::load_private_instance()) {
    EXPECT_TRUE(same_bits(evaluate(cases[1]), expected[1]));
  }
  release = true;
  locked.join();
}

TEST(Copies, ChecksRefuseACopyBoundToTheLinkedLibrary) {
  // This program is linked with the library, so it sits in the global scope: a copy loaded
  // without RTLD_DEEPBIND binds its COMMON blocks and routines to it, and must be refused.
  std::string why;
  EXPECT_EQ(odepack::detail::load_copy(false, &why), nullptr);
  EXPECT_NE(why.find("points outside the copy"), std::string::npos) << why;
}

// Private copies are what these tests check.  A program linked with the library gets them
// wherever RTLD_DEEPBIND is usable, which AddressSanitizer builds are not; anywhere else a
// missing copy is a fault, not a reason to skip.
#define require_private_instances()                                                               \
  do {                                                                                             \
    if (!odepack::detail::deep_bind_usable) GTEST_SKIP() << "AddressSanitizer builds load no copy"; \
    ASSERT_TRUE(odepack::load_private_instance()) << odepack::shared_instance_reason();            \
  } while (0)

TEST(Copies, TemporaryFileCopyIsIsolatedAndLeavesNoFile) {
  // The route for kernels that forbid executable memfds.
  require_private_instances();
  std::string why;
  odepack::detail::library_copy* copy =
      odepack::detail::load_copy(odepack::detail::deep_bind_usable, &why, odepack::detail::copy_source::file);
  ASSERT_NE(copy, nullptr) << why;
  EXPECT_EQ(copy->fd, -1);
  const std::string mark = "kelp-dlsoda-" + std::to_string(getpid()) + "-";
  for (const char* dir : {static_cast<const char*>(std::getenv("TMPDIR")), "/tmp", "/var/tmp", "/dev/shm"}) {
    std::error_code ec;
    if (!dir || !std::filesystem::is_directory(dir, ec)) continue;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec))
      EXPECT_NE(entry.path().filename().string().rfind(mark, 0), 0u) << entry.path();
  }

  // One rate step through the copy itself and through a session: the same bits.
  chem::set_coefficients(kelp::optical_frequency(532e-9), cases[0].spec_pars);
  const odepack::f_int neq = 5, itol = 1, itask = 1, iopt = 0, jt = 2;
  const double rtol = 1e-6, atol = 1e-6, tout = 2.5e-10, y_in[6] = {1e20, 0, 0, 0, 0, 5e8};
  double y[6], via_session[6], t = 0, rwork[odepack::lrw];
  odepack::f_int iwork[odepack::liw], istate = 1;
  std::copy(y_in, y_in + 6, y);
  copy->dlsoda(chem::rhs_rates, &neq, y, &t, &tout, &itol, &rtol, &atol, &itask, &istate, &iopt, rwork, &odepack::lrw,
               iwork, &odepack::liw, chem::jdum, &jt);
  EXPECT_EQ(istate, 2);
  EXPECT_LT(y[0], 1e20);
  chem::solve_rates(y_in, 0.0, tout, rwork, iwork, via_session);
  EXPECT_EQ(std::memcmp(y, via_session, sizeof y), 0);
}

// Permissions ("r--p", ...) of the mapping that holds `address`.
std::string protection_at(std::uintptr_t address) {
  std::ifstream maps("/proc/self/maps");
  std::string line;
  while (std::getline(maps, line)) {
    std::uintptr_t from = 0, to = 0;
    char perms[8] = {};
    if (std::sscanf(line.c_str(), "%lx-%lx %7s", &from, &to, perms) == 3 && address >= from && address < to)
      return perms;
  }
  return "";
}

void expect_message_slots_bound(std::uintptr_t base, const odepack::elf::layout& layout) {
  ASSERT_FALSE(layout.message_slots.empty());
  for (std::uint64_t slot : layout.message_slots) {
    void* target = nullptr;
    std::memcpy(&target, reinterpret_cast<const void*>(base + slot), sizeof target);
    EXPECT_EQ(target, reinterpret_cast<void*>(&odepack::kelp_xerrwd_));
    EXPECT_EQ(protection_at(base + slot), "r--p");  // RELRO again after the write
  }
}

TEST(Copies, MessageSlotsPointToTheProjectsRoutineAndStayReadOnly) {
  Dl_info info;
  link_map* linked = nullptr;
  ASSERT_NE(dladdr1(reinterpret_cast<void*>(odepack::detail::shared_dlsoda()), &info,
                    reinterpret_cast<void**>(&linked), RTLD_DL_LINKMAP),
            0);
  std::ifstream in(linked->l_name, std::ios::binary);
  const std::vector<unsigned char> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  odepack::elf::layout layout;
  ASSERT_TRUE(odepack::elf::read_layout(file, layout));
  EXPECT_TRUE(odepack::detail::shared_messages_bound());
  expect_message_slots_bound(linked->l_addr, layout);

  if (!odepack::detail::deep_bind_usable) return;  // no copy in this build: the linked library is all there is
  odepack::detail::library_copy* copy = odepack::detail::load_copy(odepack::detail::deep_bind_usable);
  ASSERT_NE(copy, nullptr);
  link_map* map = nullptr;
  ASSERT_EQ(dlinfo(copy->handle, RTLD_DI_LINKMAP, &map), 0);
  EXPECT_NE(map->l_addr, linked->l_addr);
  expect_message_slots_bound(map->l_addr, layout);
}

TEST(Copies, LookupBySonameStillFindsTheLinkedLibrary) {
  require_private_instances();
  void* h = dlopen("libsiconos_externals.so.7", RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(dlsym(h, "dlsoda_"), reinterpret_cast<void*>(odepack::detail::shared_dlsoda()));
  dlclose(h);
}

TEST(Messages, EditedAsOdepacksRoutineWritesThem) {
  char text[512];
  auto message = [&](odepack::f_int ni, odepack::f_int i1, odepack::f_int i2, odepack::f_int nr, double r1,
                     double r2) {
    odepack::detail::message_text(text, sizeof text, "DLSODA-  test  ", 15, ni, i1, i2, nr, r1, r2);
    return std::string(text);
  };
  const double inf = std::numeric_limits<double>::infinity();
  // Expected lines as gfortran writes ODEPACK's formats (1X,A), (6X,...,I10), (6X,...,D21.13).
  EXPECT_EQ(message(0, 7, 7, 0, 1, 1), " DLSODA-  test  \n");
  EXPECT_EQ(message(1, 500, 0, 1, 1.5, 0),
            " DLSODA-  test  \n      In above message,  I1 =       500\n"
            "      In above message,  R1 =  0.1500000000000D+01\n");
  EXPECT_EQ(message(2, -2147483647, 0, 2, -1.5, -inf),
            " DLSODA-  test  \n      In above message,  I1 =**********   I2 =         0\n"
            "      In above,  R1 = -0.1500000000000D+01   R2 =            -Infinity\n");
  const std::pair<double, const char*> reals[] = {
      {0.0, "  0.0000000000000D+00"},   {-0.0, " -0.0000000000000D+00"},
      {1e-300, "  0.1000000000000-299"}, {1e300, "  0.1000000000000+301"},
      {0.99999999999999, "  0.1000000000000D+01"}, {5e-9, "  0.5000000000000D-08"},
      {9.88131291682493e-324, "  0.9881312916825-323"}, {2e-308, "  0.2000000000000-307"},
      {9.99999999999995e-100, "  0.1000000000000D-98"}, {inf, "             Infinity"},
      {std::nan(""), "                  NaN"},
  };
  for (const auto& [value, edited] : reals)
    EXPECT_EQ(message(0, 0, 0, 1, value, 0), std::string(" DLSODA-  test  \n      In above message,  R1 =") + edited +
                                                 "\n");
}

// A negative cross-section makes the attenuation grow without bound: DLSODA gives up after
// MXSTEP steps, says so, and the evaluation goes on with what it reached.
void expect_failure_reported() {
  model_case failing = cases[0];
  failing.spec_pars[1] = -1e-15;
  ::testing::internal::CaptureStdout();
  const std::vector<double> curve = evaluate(failing);
  const std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(curve.size(), 13u);
  EXPECT_NE(out.find(" DLSODA-  At current T (=R1), MXSTEP (=I1) steps"), std::string::npos) << out.substr(0, 400);
  EXPECT_NE(out.find("      In above message,  I1 =       500\n"), std::string::npos);
}

// Called again with the ISTATE of a failed call, DLSODA reports a fatal error (level 2); the
// packaged routine would end the process with status 0 there.
void expect_fatal_message_returns() {
  chem::set_coefficients(kelp::optical_frequency(532e-9), cases[0].spec_pars);
  const odepack::f_int neq = 5, itol = 1, itask = 1, iopt = 0, jt = 2;
  const double rtol = 1e-6, atol = 1e-6, tout = 1e-10;
  double y[6] = {1e20, 0, 0, 0, 0, 1e6}, t = 0, rwork[odepack::lrw];
  odepack::f_int iwork[odepack::liw], istate = -1;
  ::testing::internal::CaptureStdout();
  {
    odepack::session s;
    odepack::dlsoda(chem::rhs_rates, &neq, y, &t, &tout, &itol, &rtol, &atol, &itask, &istate, &iopt, rwork,
                    &odepack::lrw, iwork, &odepack::liw, chem::jdum, &jt);
  }
  const std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(istate, -1);  // refused, not run
  EXPECT_NE(out.find(" DLSODA-  Run aborted.. apparent infinite loop."), std::string::npos) << out;
}

TEST(Messages, FailuresAreReportedOnStandardOutputAndTheEvaluationCompletes) {
  expect_failure_reported();
  expect_fatal_message_returns();
}

// The kelp command keeps standard output clean: a thread's messages go to its sink, counted,
// and the thread's previous destination comes back when the scope ends.
TEST(Messages, ASinkTakesTheThreadsMessagesAndCountsThem) {
  model_case failing = cases[0];
  failing.spec_pars[1] = -1e-15;
  std::FILE* log = std::tmpfile();
  ASSERT_NE(log, nullptr);
  kelp::message_sink sink(fileno(log));
  ::testing::internal::CaptureStdout();
  {
    serial_evaluations serial;  // one order of messages in both places
    kelp::context_scope scope(&sink, nullptr);
    EXPECT_EQ(kelp::current_call_context().sink, &sink);
    evaluate(failing);
    std::thread other([&] { evaluate(failing); });  // no sink there: its messages go to stdout
    other.join();
  }
  EXPECT_EQ(kelp::current_call_context().sink, nullptr);
  const std::string out = ::testing::internal::GetCapturedStdout();
  std::string text(static_cast<std::size_t>(std::ftell(log)), '\0');
  std::rewind(log);
  ASSERT_EQ(std::fread(text.data(), 1, text.size(), log), text.size());
  std::fclose(log);
  // The same failing evaluation on both threads: the same messages, once in each place.
  EXPECT_EQ(text, out);
  EXPECT_NE(text.find(" DLSODA-  At current T (=R1), MXSTEP (=I1) steps"), std::string::npos);
  // Each call of the message routine writes its text on one line, then its values on "In above" lines.
  std::uint64_t calls = 0;
  for (std::size_t at = 0; at < text.size(); at = text.find('\n', at) + 1)
    if (text.compare(at, 14, "      In above") != 0) ++calls;
  EXPECT_GT(calls, 0u);
  EXPECT_EQ(sink.count.load(), calls);

  // Spread over helper threads, the evaluation's messages still all reach the sink.
  std::FILE* spread_log = std::tmpfile();
  ASSERT_NE(spread_log, nullptr);
  kelp::message_sink spread(fileno(spread_log));
  ::testing::internal::CaptureStdout();
  {
    kelp::parallel::testing::set_thread_budget(3);
    kelp::context_scope scope(&spread, nullptr);
    evaluate(failing);
    kelp::parallel::testing::set_thread_budget(0);
  }
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(spread.count.load(), calls);  // the same evaluation as on the sink above
  std::fclose(spread_log);
}

TEST(Messages, SharedInstanceReportsThemToo) {
  shared_instance_forced forced;
  EXPECT_TRUE(odepack::detail::shared_messages_bound());
  expect_failure_reported();
  expect_fatal_message_returns();
}

}  // namespace
