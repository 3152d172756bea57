#pragma once
// The host's page size, read once from the auxiliary vector.
#include "platform/mach/mach_types.h"

namespace platform::mach {

// Size and mask of a page of this host (async-signal-safe after first use;
// the first call happens when the layer is first used, never at crash time).
vm_size_t vm_page_size();
vm_size_t vm_page_mask();

}  // namespace platform::mach
