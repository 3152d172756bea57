#pragma once
// The dynamic loader's image list and its add/remove callbacks.
//
// Every ELF object of the process (the executable, its libraries, the vDSO)
// is an image. Each is presented through a Mach-O-shaped header built when
// the image is added (see ElfImageHeader): its segments at their link-time
// addresses (add the slide for the address in memory), its build id as
// LC_UUID, its .eh_frame as __TEXT,__eh_frame, and its function symbols as
// an LC_SYMTAB. The header is not at the image's load address, so
// dyld_image_base tells where the image begins.
//
// Images present at start are listed on first use (see
// dyld_register_funcs_for_images_early for a start that does not wait for
// the complete headers); later ones arrive through
// this layer's dlopen/dlclose wrappers (or dyld_rescan). Callbacks are called
// one at a time, in registration order, never while another thread changes
// the list.
#include "platform/dyld/loader.h"

#include <cstdint>

namespace platform::dyld {

using dyld_image_callback = void (*)(const mach_header *header, intptr_t slide);

// The callback is called at once for every image already listed, then for
// every image added (or removed) later.
void _dyld_register_func_for_add_image(dyld_image_callback callback);
void _dyld_register_func_for_remove_image(dyld_image_callback callback);

// For a caller that must not wait for the headers at launch (the crash
// engine). When this is the layer's first use, the images present get early
// headers (segments, build id, .eh_frame: no symbols, no compact unwind
// table) and a background thread builds the complete ones. `add` is called
// at once for every listed image with the header it has now; for an image
// that had an early one, `add` is called again with the complete header
// once built, and then `remove` with the early header. Real additions and
// removals are as above. Every other function here first completes the
// headers still missing (so their callers never see an early one).
void dyld_register_funcs_for_images_early(dyld_image_callback add, dyld_image_callback remove);
// Completes now the headers the background thread has not built yet, and
// waits for that thread to end (it has nothing left to do).
void dyld_complete_headers();
// For tests: while held, the background thread builds no complete header.
void dyld_hold_background_headers(bool held);

uint32_t _dyld_image_count();
// Null / 0 / null for an index past the end.
const mach_header *_dyld_get_image_header(uint32_t index);
intptr_t _dyld_get_image_vmaddr_slide(uint32_t index);
const char *_dyld_get_image_name(uint32_t index);

// The first byte of the image whose header this is (0 for a header the
// layer did not build), and its path (null when unknown). The path stays
// valid while the image is listed.
uintptr_t dyld_image_base(const void *header);
const char *dyld_image_path(const void *header);

// dlopen/dlclose that keep the image list current.
void *dlopen(const char *path, int mode);
int dlclose(void *handle);

// Brings the list in line with the loaded objects, running the callbacks for
// what was added or removed.
void dyld_rescan();

}  // namespace platform::dyld
