// The link used when none is chosen, for the class and for the providers that wrap it.
#ifndef KAVRO_DEFAULT_LINK_H
#define KAVRO_DEFAULT_LINK_H

#include <memory>

#include "kavro/link.h"

namespace kavro::detail {

// The vendor library when it loads, else a new libftdi1 provider (owned), else the vendor
// library, whose failing calls say what is missing. Never null.
std::shared_ptr<LinkProvider> NewDefaultLink();

}  // namespace kavro::detail

#endif  // KAVRO_DEFAULT_LINK_H
