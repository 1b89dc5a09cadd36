#include "app/tables/abandoned_tables.h"

#include <cstdint>
#include <vector>

#include "app/data/data_files.h"
#include "app/data/update_rules.h"
#include "app/dictionary/dictionary.h"
#include "app/windows/browse_list.h"
#include "files/driver/error_state.h"
#include "files/driver/file_ops.h"

namespace app {

using namespace dictionary;

int remove_abandoned_tables() {
  files::open(TransTables, 0x22);  // read/write, others denied writing
  if (files::ERRORCODE() != 0) {
    files::clear_error();
    return 0;
  }
  // The usage count takes this open over (the checked open finds the file
  // open already), so the delete rule's own count leaves it open.
  use_file(TransTables);
  const TransTablesRecord kept = TTB;
  std::vector<std::int32_t> ids;
  files::set(TTB_TRANSTABLEKEY());
  for (files::next(TransTables); files::ERRORCODE() == 0; files::next(TransTables)) {
    if (blank(field_bytes(TTB.name))) ids.push_back(TTB.idnr);
  }
  int removed = 0;
  for (const std::int32_t id : ids) {
    clear(TTB);
    TTB.idnr = id;
    files::get(TransTables, TTB_TRANSTABLEKEY());
    if (files::ERRORCODE() == 0 && delete_transtables() == rule::kDone) ++removed;
  }
  files::clear_error();
  release_file(TransTables);
  TTB = kept;
  return removed;
}

}  // namespace app
