#include "LoadedImages.h"

#include "platform/dyld/dyld.h"

namespace unwindtest {

void appendLoadedImages(bbcrash_async_image_list *list) {
    for (uint32_t i = 0; i < platform::dyld::_dyld_image_count(); i++) {
        bbcrash_nasync_image_list_append(list, reinterpret_cast<uintptr_t>(platform::dyld::_dyld_get_image_header(i)),
                                         platform::dyld::_dyld_get_image_name(i));
    }
}

bbcrash_async_image_list *loadedImageList() {
    static bbcrash_async_image_list *list = [] {
        auto *l = new bbcrash_async_image_list;
        bbcrash_nasync_image_list_init(l, platform::mach::mach_task_self());
        appendLoadedImages(l);
        return l;
    }();
    return list;
}

}  // namespace unwindtest
