#include "files/kestrel/transaction.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

#include "files/driver/error_state.h"
#include "files/driver/op_rules.h"
#include "files/kestrel/tree.h"

namespace files::kestrel {
namespace {

constexpr int kAccessDenied = 5;
constexpr int kUnableToLog = 48;
constexpr int kLogoutActive = 56;
// A LOGOUT with a time-out tries its files this often a second.
constexpr std::uint64_t kRoundsPerSecond = 50;
constexpr auto kRoundPause = std::chrono::milliseconds(20);

struct Member {
  FileControlBlock* fcb = nullptr;
  std::shared_ptr<Pager> pager;
};

std::vector<Member>& members() {
  static std::vector<Member> m;
  return m;
}

std::string default_control_file() {
  std::string full;
  if (!platform::Env::posix()->full_path("kestrel.tcf", &full).ok()) full = "kestrel.tcf";
  return full;
}

std::string& control_file_name() {
  static std::string name = default_control_file();
  return name;
}

Bytes transaction_key(std::uint32_t value) { return transaction_record(value).bytes.to_bytes(); }

// The pagers of the transaction, each once.
std::vector<std::shared_ptr<Pager>> pagers() {
  std::vector<std::shared_ptr<Pager>> out;
  for (const Member& m : members()) {
    if (std::find(out.begin(), out.end(), m.pager) == out.end()) out.push_back(m.pager);
  }
  return out;
}

// Ends the transaction: flushes go back to normal and every enlisted
// file's T flag goes (the dispatch clears the caller's own).
void end_transaction() {
  for (const auto& p : pagers()) p->leave_transaction();
  for (Member& m : members()) m.fcb->state &= ~state::T;
  members().clear();
}

int code_of(Status s, int* internal) {
  if (s.is(Code::corruption)) {
    *internal = s.number;
    return 90;
  }
  if (s.is(Code::io_error)) set_system_error(s.number);
  return kUnableToLog;
}

// The system's or another opener's refusal, which passes.
bool refused(Status s) {
  return s.is(Code::busy) || (s.is(Code::io_error) && (s.number == kAccessDenied || s.number == 32 || s.number == 33));
}

// The outcome of a failed attempt to take a file's access lock.
int code_of_access(Status s, int* internal) {
  if (s.is(Code::corruption)) {
    *internal = s.number;
    return 90;
  }
  if (s.is(Code::io_error)) {
    set_system_error(s.number);
    return s.number >= 2 && s.number <= 5 ? s.number : 300 + s.number;
  }
  return kAccessDenied;
}

// Adds (add true) or deletes the transaction record of the control file and
// flushes it.
Status log_record(Pager& control, std::uint32_t* value, bool add) {
  if (Status s = control.begin_access(AccessKind::update, true); !s.ok()) return s;
  Tree tree(control);
  Status s;
  if (add) {
    for (;;) {
      Record r;
      s = tree.find(transaction_key(*value), &r);
      if (s.is(Code::not_found)) break;
      if (!s.ok()) break;
      ++*value;
    }
    if (s.is(Code::not_found)) s = tree.insert(transaction_record(*value));
  } else {
    s = tree.erase(transaction_key(*value));
  }
  if (!s.ok()) {
    control.abandon_access();
    return s;
  }
  return control.end_access();
}

Status mark_file(Pager& pager, std::uint32_t value, const std::string& control) {
  if (Status s = pager.begin_access(AccessKind::update, false); !s.ok()) return s;
  Tree tree(pager);
  const Record mark = transaction_mark(value, control);
  Status s = tree.replace(mark);
  if (s.is(Code::not_found)) s = tree.insert(mark);
  if (!s.ok()) {
    pager.abandon_access();
    return s;
  }
  return pager.end_access();
}

}  // namespace

const std::string& control_file() { return control_file_name(); }
void set_control_file(std::string name) { control_file_name() = std::move(name); }

int logout(FileControlBlock& fcb, std::shared_ptr<Pager> pager) {
  if (enlisted(fcb)) return 0;
  const bool joining = !members().empty();
  if (!pager->in_transaction()) {
    // Joining a running transaction must not wait: the other program may
    // be waiting for a file this one already holds.
    Status s = pager->enter_transaction(!joining);
    if (!s.ok()) {
      int internal = 0;
      return s.is(Code::busy) ? kAccessDenied : code_of_access(s, &internal);
    }
  }
  members().push_back(Member{&fcb, std::move(pager)});
  return 0;
}

int logout(const std::vector<Enlistment>& files, std::uint32_t seconds, int* internal_error) {
  if (!members().empty()) return kLogoutActive;
  std::vector<std::shared_ptr<Pager>> distinct;
  for (const Enlistment& e : files) {
    if (std::find(distinct.begin(), distinct.end(), e.pager) == distinct.end()) distinct.push_back(e.pager);
  }
  // All or nothing, and never holding one file while waiting for another:
  // each round tries every file without waiting and gives back what it got
  // when one is taken, so two programs that want the same files in another
  // order can never wait for each other.
  const std::uint64_t rounds = std::uint64_t{std::min<std::uint32_t>(seconds, 3600)} * kRoundsPerSecond;
  for (std::uint64_t round = 0;; ++round) {
    std::size_t entered = 0;
    Status s;
    for (; entered < distinct.size(); ++entered) {
      s = distinct[entered]->enter_transaction(false);
      if (!s.ok()) break;
    }
    if (s.ok()) break;
    for (std::size_t i = 0; i < entered; ++i) distinct[i]->leave_transaction();
    if (!s.is(Code::busy)) return code_of_access(s, internal_error);
    if (round >= rounds) return kAccessDenied;
    std::this_thread::sleep_for(kRoundPause);
  }
  for (const Enlistment& e : files) {
    if (!enlisted(*e.fcb)) members().push_back(Member{e.fcb, e.pager});
    e.fcb->state |= state::T;
  }
  return 0;
}

bool enlisted(const FileControlBlock& fcb) {
  return std::any_of(members().begin(), members().end(), [&](const Member& m) { return m.fcb == &fcb; });
}

void forget(const FileControlBlock& fcb) {
  auto& m = members();
  std::vector<std::shared_ptr<Pager>> left;
  for (auto it = m.begin(); it != m.end();) {
    if (it->fcb == &fcb) {
      left.push_back(it->pager);
      it = m.erase(it);
    } else {
      ++it;
    }
  }
  // A file that leaves the transaction with nobody else enlisted on it
  // drops what the transaction held back, as a rollback would.
  for (const auto& p : left) {
    if (std::none_of(m.begin(), m.end(), [&](const Member& x) { return x.pager == p; })) {
      p->rollback();
      p->leave_transaction();
    }
  }
}

int rollback() {
  for (const auto& p : pagers()) p->rollback();
  end_transaction();
  return 0;
}

bool broken() {
  return std::any_of(members().begin(), members().end(), [](const Member& m) { return m.pager->transaction_broken(); });
}

bool failed_transaction(const Pager& pager) {
  const bool member =
      std::any_of(members().begin(), members().end(), [&](const Member& m) { return m.pager.get() == &pager; });
  return member && broken();
}

int commit(platform::Env* env, FileRegistry& registry, int* internal_error) {
  if (broken()) {
    // Part of it is gone: none of it may land.
    rollback();
    return kUnableToLog;
  }
  std::vector<std::shared_ptr<Pager>> changed;
  for (const auto& p : pagers()) {
    if (p->has_changes()) changed.push_back(p);
  }
  auto drop_all = [&] {
    for (const auto& p : pagers()) p->rollback();
  };

  if (changed.size() <= 1) {
    Status s;
    if (!changed.empty()) {
      s = changed[0]->journal_pass();
      if (s.ok()) s = changed[0]->home_pass();
    }
    if (!s.ok()) {
      drop_all();
      return code_of(s, internal_error);
    }
    end_transaction();
    return 0;
  }

  const std::string control_name = control_file();
  OpenOptions options;
  options.writable = true;
  options.sharing = Sharing::deny_none;
  std::shared_ptr<Pager> control;
  Status s = registry.open(env, control_name, options, &control);
  auto value = static_cast<std::uint32_t>(env->now());
  if (s.ok()) s = log_record(*control, &value, true);
  if (!s.ok()) {
    drop_all();
    return code_of(s, internal_error);
  }

  std::size_t journaled = 0;
  for (; journaled < changed.size(); ++journaled) {
    Pager& p = *changed[journaled];
    s = mark_file(p, value, control_name);
    if (s.ok()) s = p.journal_pass();
    if (!s.ok()) break;
  }
  if (s.ok()) {
    crash_point(CrashPoint::before_commit_point);
    // A control file deleted meanwhile would take the only proof of this
    // commit with it: a file whose home pass a crash cut short would then
    // lose its half. Better to commit nothing.
    if (!env->exists(control_name)) s = Status::io_error(2);
  }
  if (s.ok()) {
    // The moment of commit.
    s = log_record(*control, &value, false);
    if (s.ok()) crash_point(CrashPoint::after_commit_point);
  }
  if (!s.ok()) {
    for (std::size_t i = 0; i < journaled; ++i) (void)changed[i]->discard_journal();
    drop_all();
    return code_of(s, internal_error);
  }

  Status home;
  for (const auto& p : changed) {
    Status h = p->home_pass();
    if (home.ok()) home = h;
  }
  end_transaction();
  // The transaction is committed even when a home pass failed: the journal
  // left behind is replayed by the next updater. The failure is still told.
  if (!home.ok()) {
    if (home.is(Code::corruption)) *internal_error = home.number;
    if (home.is(Code::io_error)) {
      set_system_error(home.number);
      return home.number >= 2 && home.number <= 5 ? home.number : 300 + home.number;
    }
    return home.is(Code::corruption) ? 90 : 5;
  }
  return 0;
}

Status open_file(platform::Env* env, FileRegistry& registry, const std::string& path, const OpenOptions& options,
                 std::shared_ptr<Pager>* out) {
  if (Status s = registry.open(env, path, options, out); !s.ok()) return s;
  FileRegistry* r = &registry;
  (*out)->set_journal_decider([env, r](Pager& p, JournalVerdict* verdict) { return decide_journal(env, *r, p, verdict); });
  return Status::success();
}

Status decide_journal(platform::Env* env, FileRegistry& registry, Pager& pager, JournalVerdict* verdict) {
  *verdict = JournalVerdict::replay;
  Tree tree(pager);
  Record r;
  Status s = tree.find(transaction_mark_key(), &r);
  if (s.is(Code::not_found)) return Status::success();
  if (!s.ok()) return s;
  const auto mark = parse_transaction_mark(r);
  if (!mark) return Status::success();
  return transaction_verdict(env, registry, *mark, true, verdict);
}

Status transaction_verdict(platform::Env* env, FileRegistry& registry, const TransactionMark& mark, bool wait,
                           JournalVerdict* verdict) {
  // An uncommitted transaction's record is still in its control file. A
  // control file that is gone (its committer made sure it was there at the
  // moment of commit) or that is not a keyed file leaves nothing to find:
  // the old state. One that refuses access for now is asked again for as
  // long as the wait goes on: giving up there could keep this file's half
  // of a committed transaction out while the other file has its half. A
  // wait that ends, or a control file that fails to be read, fails this
  // access and leaves the journal for the next one to decide.
  *verdict = JournalVerdict::discard;
  if (!env->exists(mark.control_file)) return Status::success();
  // Read only, and never made: whoever asks may be a reader.
  OpenOptions options;
  options.writable = false;
  options.sharing = Sharing::deny_none;
  options.create_missing = false;
  std::shared_ptr<Pager> control;
  Status s;
  for (int pauses = 1;; ++pauses) {
    s = registry.open(env, mark.control_file, options, &control);
    if (s.ok()) s = control->begin_access(AccessKind::read, wait);
    if (s.ok() || !refused(s)) break;
    control.reset();
    if (!wait || !pause_for(mark.control_file, pauses)) return Status::busy();
  }
  if (s.is(Code::invalid_file) || (s.is(Code::io_error) && (s.number == 2 || s.number == 3))) {
    return Status::success();
  }
  if (!s.ok()) return s.is(Code::corruption) ? Status::io_error(kAccessDenied) : s;
  Tree control_tree(*control);
  Record r;
  s = control_tree.find(transaction_key(mark.value), &r);
  control->abandon_access();
  if (s.is(Code::not_found)) {
    *verdict = JournalVerdict::replay;
    return Status::success();
  }
  if (s.ok()) return Status::success();
  // The control file cannot be read through: undecided.
  return s.is(Code::corruption) ? Status::io_error(kAccessDenied) : s;
}

}  // namespace files::kestrel
