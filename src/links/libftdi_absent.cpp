// Built when libftdi1 was not found: the libftdi1 provider is not available.
#include "kavro/link.h"

namespace kavro {

bool LibftdiLinkAvailable() {
  return false;
}
LinkProvider* NewLibftdiLink() {
  return nullptr;
}

}  // namespace kavro
