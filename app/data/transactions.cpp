#include "app/data/transactions.h"

#include <vector>

#include "files/driver/error_state.h"
#include "files/driver/file_ops.h"

namespace app {
namespace {

std::vector<files::FileDescriptor*>& enlisted() {
  static std::vector<files::FileDescriptor*> f;
  return f;
}

}  // namespace

bool begin_transaction(std::uint32_t seconds, std::initializer_list<files::FileDescriptor*> list) {
  if (!enlisted().empty()) {
    files::post(56);
    return false;
  }
  files::logout(seconds, list);
  if (files::ERRORCODE() != 0) return false;
  enlisted().assign(list.begin(), list.end());
  return true;
}

bool commit_transaction() {
  if (enlisted().empty()) return true;
  files::FileDescriptor* first = enlisted().front();
  enlisted().clear();
  files::clear_error();
  files::commit(*first);
  if (files::ERRORCODE() == 0) return true;
  // A commit that did not land holds nothing back any more; make sure of it
  // without hiding why it failed.
  const files::ErrorState failure = files::save_error_state();
  if (first->fcb && (first->fcb->state & files::state::T)) files::rollback(*first);
  files::restore_error_state(failure);
  return false;
}

void rollback_transaction() {
  if (enlisted().empty()) return;
  files::FileDescriptor* first = enlisted().front();
  enlisted().clear();
  const files::ErrorState before = files::save_error_state();
  files::rollback(*first);
  files::restore_error_state(before);
}

bool in_transaction() { return !enlisted().empty(); }

}  // namespace app
