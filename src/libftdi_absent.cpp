// Built when libftdi1 was not found: the libftdi1 provider is not available.
#include "KAVRO_USB_DLL.h"

namespace kavro {

bool LibftdiLinkAvailable() {
  return false;
}
LinkProvider* NewLibftdiLink() {
  return nullptr;
}

}  // namespace kavro
