#pragma once
// Image lists of this process as the crash path sees it: every image the
// dynamic-loader layer presents, for the live stack walks and the benchmark.
#include "bbcrash_async_image_list.h"

namespace unwindtest {

// Appends every loaded image to `list` (initialised by the caller).
void appendLoadedImages(bbcrash_async_image_list *list);

// One list of the images loaded when it is first asked for, kept for the
// life of the process.
bbcrash_async_image_list *loadedImageList();

}  // namespace unwindtest
