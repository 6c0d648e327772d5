#include "platform/memory.h"

#include <malloc.h>

namespace km {

void trimMemory() {
  malloc_trim(0);
}

} // namespace km
