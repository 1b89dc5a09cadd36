// Transactions between real programs: what LOGOUT takes, how long it waits,
// and what the other programs see meanwhile.
#include "files/kestrel/transaction.h"

#include <thread>

#include "tests/files/kestrel/programs.h"

namespace files::kestrel_test {
namespace {

using Clock = std::chrono::steady_clock;

class TransactionTest : public ProgramsTest {};

TEST_F(TransactionTest, LogoutWaitsForTheOtherProgramsTransactionAtMostItsTimeOut) {
  {
    People a(path("a"));
    People b(path("b"));
    make(a);
    make(b);
  }
  Channel to_child;
  Channel to_parent;
  const pid_t child = start_program([&] {
    People a(path("a"));
    People b(path("b"));
    open(a.fd, 0x42);
    open(b.fd, 0x42);
    logout(5, {&a.fd, &b.fd});
    if (ERRORCODE() != 0) return 1;
    a.set(1, "child");
    add(a.fd);
    if (ERRORCODE() != 0) return 2;
    to_parent.say('T');
    if (to_child.hear() != 'C') return 3;
    commit(b.fd);
    if (ERRORCODE() != 0) return 4;
    to_parent.say('D');
    return to_child.hear() == 'E' ? 0 : 5;
  });

  ASSERT_EQ(to_parent.hear(), 'T');
  People a(path("a"));
  People b(path("b"));
  People c(path("c"));
  make(c);
  for (People* p : {&a, &b, &c}) {
    open(p->fd, 0x42);
    ASSERT_EQ(ERRORCODE(), 0);
  }
  EXPECT_EQ(records(a.fd), 0);  // readers go on reading the committed state

  // Refused after its time-out, with no file enlisted and nothing held.
  Clock::time_point started = Clock::now();
  logout(1, {&c.fd, &a.fd});
  const double waited = seconds_since(started);
  EXPECT_EQ(ERRORCODE(), 5);
  EXPECT_GE(waited, 0.9);
  EXPECT_LT(waited, 5.0);
  EXPECT_EQ(c.fd.fcb->state & state::T, 0u);
  EXPECT_EQ(a.fd.fcb->state & state::T, 0u);
  EXPECT_FALSE(kestrel::enlisted(*c.fd.fcb));
  People c_elsewhere(path("c"));
  kestrel::FileRegistry elsewhere;
  set_kestrel_registry(&elsewhere);
  open(c_elsewhere.fd, 0x42);
  logout(0, {&c_elsewhere.fd});  // c's writer byte was given back
  EXPECT_EQ(ERRORCODE(), 0);
  rollback(c_elsewhere.fd);
  close(c_elsewhere.fd);
  set_kestrel_registry(nullptr);

  // Once the other program commits, the transaction begins and sees its
  // change.
  to_child.say('C');
  ASSERT_EQ(to_parent.hear(), 'D');
  started = Clock::now();
  logout(1, {&a.fd, &b.fd, &c.fd});
  EXPECT_EQ(ERRORCODE(), 0) << ERROR();
  EXPECT_LT(seconds_since(started), 1.0);
  for (People* p : {&a, &b, &c}) EXPECT_NE(p->fd.fcb->state & state::T, 0u);
  EXPECT_EQ(records(a.fd), 1);
  logout(1, {&c.fd});
  EXPECT_EQ(ERRORCODE(), 56);
  a.set(2, "parent");
  add(a.fd);
  commit(a.fd);
  EXPECT_EQ(ERRORCODE(), 0);
  for (People* p : {&a, &b, &c}) EXPECT_EQ(p->fd.fcb->state & state::T, 0u);
  to_child.say('E');
  EXPECT_EQ(finish_program(child), 0);
  EXPECT_EQ(records(a.fd), 2);
}

// What the transaction read stays true until it commits: another
// program's update waits for the commit (and is not lost under it).
TEST_F(TransactionTest, AnotherProgramsUpdateWaitsForTheCommit) {
  People a(path("a"));
  make(a);
  open(a.fd, 0x42);
  a.set(1, "first");
  add(a.fd);
  logout(1, {&a.fd});
  ASSERT_EQ(ERRORCODE(), 0);
  ASSERT_EQ(records(a.fd), 1);

  Channel to_parent;
  const pid_t child = start_program([&] {
    People a(path("a"));
    open(a.fd, 0x42);
    to_parent.say('O');
    a.set(2, "child");
    add(a.fd);
    if (ERRORCODE() != 0) return 1;
    to_parent.say('A');
    return 0;
  });
  ASSERT_EQ(to_parent.hear(), 'O');
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(to_parent.hear(0), 0);
  EXPECT_EQ(records(a.fd), 1);
  a.set(3, "parent");
  add(a.fd);
  commit(a.fd);
  ASSERT_EQ(ERRORCODE(), 0);
  EXPECT_EQ(to_parent.hear(), 'A');
  EXPECT_EQ(finish_program(child), 0);
  EXPECT_EQ(records(a.fd), 3);
}

}  // namespace
}  // namespace files::kestrel_test
