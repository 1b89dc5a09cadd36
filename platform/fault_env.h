// A fault-injecting wrapper around another Env (usually a MemoryEnv), for
// crash and error-path tests of everything that writes.
//
// Faults, all deterministic:
//   - fail_nth: an I/O-error countdown. The nth counted call from now fails
//     without touching the file, so a test can rerun one workload failing
//     at call 1, 2, 3, ... until a run finishes with faults_fired() == 0.
//   - short_write_nth: the nth write stores only a prefix, then fails with 39.
//   - set_space: files may grow by only so many more bytes (disk full, 39).
//   - at_nth: something happens at the nth call (a test program ends itself).
//   - power_cut: the machine loses power. See below.
//
// Durability model behind power_cut. For every file it touches the wrapper
// keeps the durable image (the contents as of the last successful sync of
// any File on it) and the list of writes and truncates made since. Names
// are tracked the same way: a create, remove or rename becomes durable only
// when sync_directory_of is called for the directory that holds the name
// (for a rename across directories, both). Files already present when the
// wrapper first meets them count as durable as they are.
//
// power_cut(mode) then closes every File opened through the wrapper (their
// locks go; later calls on them fail with 6), rewrites the files of the
// base env as the disk would hold them after the cut, and forgets all
// tracking and armed faults, so the test can reopen and verify:
//   - drop_unsynced: every file as of its last sync;
//   - tear_last_write: the unsynced changes land in order, but of the last
//     unsynced write of each file only some of its 512-byte sectors do
//     (sectors counted from offset 0 of the file), chosen by the seed;
//   - tear_all_writes: every unsynced write lands sector by sector, each
//     sector kept or lost by the seed, as a disk that reorders writes.
// A sector is always written whole or not at all: a torn sector never mixes
// old and new bytes.
//
// Only what goes through the wrapper is seen: writes made straight to the
// base env are neither tracked nor undone. The wrapper reads whole files
// into memory, so it suits test-sized files. Thread-safe, except that
// power_cut must not run while another thread is inside a call.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "platform/env.h"

namespace platform {

// The calls a fault countdown counts (a bit set).
namespace fault_op {
inline constexpr unsigned read = 1;
inline constexpr unsigned write = 2;
inline constexpr unsigned sync = 4;
inline constexpr unsigned truncate = 8;
inline constexpr unsigned mutating = write | sync | truncate;
}  // namespace fault_op

enum class PowerCut { drop_unsynced, tear_last_write, tear_all_writes };

inline constexpr std::size_t sector_size = 512;

class FaultEnv final : public Env {
 public:
  // base is not owned; it must outlive this env and every File opened
  // through it. seed picks the torn sectors.
  explicit FaultEnv(Env* base, std::uint64_t seed = 1);
  ~FaultEnv() override;
  FaultEnv(const FaultEnv&) = delete;
  FaultEnv& operator=(const FaultEnv&) = delete;

  Status open(const std::string& path, const OpenMode& mode, std::unique_ptr<File>* out) override;
  Status remove(const std::string& path) override;
  Status rename(const std::string& from, const std::string& to) override;
  Status rename_no_replace(const std::string& from, const std::string& to) override;
  bool exists(const std::string& path) override;
  Status file_info(const std::string& path, FileInfo* out) override;
  // Looks and streams go to the base env untouched. Unnamed files are not
  // offered (50): what the wrapper tracks has a name.
  Status read_link(const std::string& path, std::string* target) override;
  bool is_descriptor_link(const std::string& path) override;
  Status real_path(const std::string& path, std::string* out) override;
  Status open_stream(const std::string& path, Access access, std::unique_ptr<Stream>* out) override;
  Status full_path(const std::string& path, std::string* out) override;
  Status current_directory(std::string* out) override;
  Status set_current_directory(const std::string& path) override;
  Status sync_directory_of(const std::string& path) override;
  std::uint64_t ticks() override;
  std::int64_t now() override;

  // --- Faults ---

  // The nth call from now (1 = the next) among the kinds in `ops` fails with
  // `error` and leaves the file alone; error 0 means 30 (read fault) for a
  // read and 29 (write fault) otherwise. With sticky, every later call of
  // those kinds fails the same way. Replaces an earlier countdown.
  // A failed sync poisons its File: its later syncs fail too.
  void fail_nth(std::uint64_t nth, unsigned ops = fault_op::mutating, int error = 0, bool sticky = false);

  // Before the nth call from now (1 = the next) among the kinds in `ops`,
  // runs `action` once; the call then goes on as usual, unless the action
  // ended the program, which is what it is for: a test program that dies
  // at its nth sync leaves its files as a killed program does, everything
  // written before that call in them. The action runs inside the call and
  // must not call this env. Replaces an earlier one; clear_faults and
  // power_cut disarm it.
  void at_nth(std::uint64_t nth, unsigned ops, std::function<void()> action);

  // The nth write from now (1 = the next) stores only its first `prefix`
  // bytes (never all of them) and fails with 39.
  void short_write_nth(std::uint64_t nth, std::size_t prefix);

  // From now on files may grow by `bytes` in total; the write that would go
  // past it stores what still fits and fails with 39, and so do all later
  // growing writes. Shrinking and removing give nothing back.
  void set_space(std::uint64_t bytes);

  // Disarms every fault and lifts the space limit.
  void clear_faults();

  // Faults that fired since construction (or the last clear_faults or
  // power_cut).
  std::uint64_t faults_fired() const;

  // Calls of the kinds in `ops` made through this env so far; lets a crash
  // test know how many positions its countdown has to try.
  std::uint64_t operations(unsigned ops = fault_op::mutating) const;

  // When false, creates, removes and renames are durable at once, for tests
  // of code that does not sync directories. Default true.
  void set_names_need_directory_sync(bool need);

  // Cuts the power (see above). Returns the first error the base env gave
  // while rewriting its files; the tracking is reset either way.
  Status power_cut(PowerCut mode);

  // What power_cut(mode) would leave on the disk, with `seed` choosing the
  // torn sectors, without cutting anything: every file the wrapper tracks,
  // by full path (files it never met are not included). Lets one run be
  // cut in many ways.
  std::map<std::string, std::string> disk_after_cut(PowerCut mode, std::uint64_t seed) const;

  struct State;  // shared with the Files; defined in fault_env.cpp

 private:
  Status rename_tracked(const std::string& from, const std::string& to, bool replace);

  std::shared_ptr<State> state_;
};

}  // namespace platform
