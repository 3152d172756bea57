#pragma once
// The list of images loaded in a task. Changed on the dynamic loader's
// callback threads, read on the crash path between
// bbcrash_async_image_list_set_reading(list, true) and (list, false).
#include "bbcrash_async_list.h"
#include "bbcrash_async_macho.h"

struct bbcrash_async_image_list {
    platform::mach::task_t task;
    async_list<bbcrash_async_macho *> *list;
};

// The `nasync` functions are not async-signal-safe: they allocate and free
// (the list's nodes, the image records), so they run only outside the crash
// path (setup, teardown, the loader's add and remove callbacks). The
// `async` functions below them are the ones the crash path may call.
void bbcrash_nasync_image_list_init(bbcrash_async_image_list *list, platform::mach::task_t task);
void bbcrash_nasync_image_list_free(bbcrash_async_image_list *list);

// Adds the image whose Mach-O header is at `header`. The image base is the
// one the dynamic loader layer knows for that header (its own, synthesized
// headers), else the header itself. An image whose record cannot be built
// is not added.
void bbcrash_nasync_image_list_append(bbcrash_async_image_list *list, platform::mach::mach_vm_address_t header,
                                      const char *name);
// The same with an explicit image base.
void bbcrash_nasync_image_list_append_with_base(bbcrash_async_image_list *list,
                                                platform::mach::mach_vm_address_t header,
                                                platform::mach::mach_vm_address_t image_base, const char *name);
// Removes the first image with that header address.
void bbcrash_nasync_image_list_remove(bbcrash_async_image_list *list, platform::mach::mach_vm_address_t header);

void bbcrash_async_image_list_set_reading(bbcrash_async_image_list *list, bool enable);
// The first record for none, else the record after `current`; none at the end.
bbcrash_async_macho *bbcrash_async_image_list_next(bbcrash_async_image_list *list, bbcrash_async_macho *current);
bbcrash_async_macho *bbcrash_async_image_containing_address(bbcrash_async_image_list *list,
                                                            platform::mach::mach_vm_address_t address);
