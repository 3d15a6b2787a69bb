#include "guid.h"

#include <cstdio>

namespace peiboard {

std::string guid_text(const Guid& g) {
  char buffer[40];
  std::snprintf(buffer, sizeof buffer,
                "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", g[3], g[2],
                g[1], g[0], g[5], g[4], g[7], g[6], g[8], g[9], g[10], g[11], g[12], g[13], g[14],
                g[15]);
  return buffer;
}

}  // namespace peiboard
