#include "platform/mach/vm_page.h"

#include <sys/auxv.h>

namespace platform::mach {

namespace {
// getauxval takes no lock and allocates nothing, so it is safe anywhere.
vm_size_t readPageSize() {
    unsigned long size = getauxval(AT_PAGESZ);
    return size != 0 ? size : 4096;
}
}  // namespace

vm_size_t vm_page_size() {
    static const vm_size_t size = readPageSize();
    return size;
}

vm_size_t vm_page_mask() { return vm_page_size() - 1; }

}  // namespace platform::mach
