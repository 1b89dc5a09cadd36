#include "app/data/globals.h"

#include "app/dictionary/dictionary.h"

namespace app {

std::int32_t global_request = 0;
std::int32_t global_response = 0;
std::int32_t navigation_request = 0;

void module_setup() {
  dictionary::clear_record_buffers();
  global_request = 0;
  global_response = 0;
  navigation_request = 0;
}

std::int32_t take_request() {
  const std::int32_t request = global_request;
  global_request = 0;
  global_response = 0;
  return request;
}

}  // namespace app
