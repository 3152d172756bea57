#include "bbcrash_async_image_list.h"

#include "platform/dyld/dyld.h"

using namespace platform::mach;

using ImageList = async_list<bbcrash_async_macho *>;

namespace {

void disposeImage(bbcrash_async_macho *&image) {
    if (image != nullptr) {
        bbcrash_async_macho_free(image);
        delete image;
        image = nullptr;
    }
}

void attachImage(bbcrash_async_macho *&image, ImageList::node *node) { image->list_node = node; }

}  // namespace

void bbcrash_nasync_image_list_init(bbcrash_async_image_list *list, task_t task) {
    list->task = task;
    list->list = new ImageList(disposeImage, attachImage);
}

void bbcrash_nasync_image_list_free(bbcrash_async_image_list *list) {
    delete list->list;
    list->list = nullptr;
}

void bbcrash_nasync_image_list_append(bbcrash_async_image_list *list, mach_vm_address_t header, const char *name) {
    mach_vm_address_t base = platform::dyld::dyld_image_base(reinterpret_cast<const void *>(header));
    bbcrash_nasync_image_list_append_with_base(list, header, base != 0 ? base : header, name);
}

void bbcrash_nasync_image_list_append_with_base(bbcrash_async_image_list *list, mach_vm_address_t header,
                                                mach_vm_address_t image_base, const char *name) {
    auto *image = new bbcrash_async_macho{};
    if (bbcrash_async_macho_init_with_base(image, list->task, name, header, image_base) != BBCRASH_ESUCCESS) {
        delete image;
        return;
    }
    // The record learns its node before the node is linked, so a reader that
    // finds the record can always continue from it.
    list->list->append(image);
}

void bbcrash_nasync_image_list_remove(bbcrash_async_image_list *list, mach_vm_address_t header) {
    // The reading mark stays set until the node is unlinked: while it is
    // set no other writer can free or reuse the node found, so the removal
    // cannot hit a node that meanwhile holds another image.
    list->list->set_reading(true);
    for (ImageList::node *n = list->list->next(nullptr); n != nullptr; n = list->list->next(n)) {
        if (n->value != nullptr && n->value->header_addr == header) {
            list->list->remove(n);
            break;
        }
    }
    list->list->set_reading(false);
}

void bbcrash_async_image_list_set_reading(bbcrash_async_image_list *list, bool enable) {
    list->list->set_reading(enable);
}

bbcrash_async_macho *bbcrash_async_image_list_next(bbcrash_async_image_list *list, bbcrash_async_macho *current) {
    ImageList::node *n =
        list->list->next(current == nullptr ? nullptr : static_cast<ImageList::node *>(current->list_node));
    return n != nullptr ? n->value : nullptr;
}

bbcrash_async_macho *bbcrash_async_image_containing_address(bbcrash_async_image_list *list, mach_vm_address_t address) {
    for (bbcrash_async_macho *image = bbcrash_async_image_list_next(list, nullptr); image != nullptr;
         image = bbcrash_async_image_list_next(list, image)) {
        if (bbcrash_async_macho_contains_address(image, address)) {
            return image;
        }
    }
    return nullptr;
}
