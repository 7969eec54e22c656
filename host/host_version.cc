// The version that --version prints: the project's, given by the build.
#include "host_options.h"

std::string HostVersion() {
  return std::string("tvxhost (corkwall) ") + CORKWALL_VERSION + "\n";
}
