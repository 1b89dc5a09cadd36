#include "runtime/regional.h"

namespace runtime {

Regional& regional() {
  static Regional settings;
  return settings;
}

}  // namespace runtime
