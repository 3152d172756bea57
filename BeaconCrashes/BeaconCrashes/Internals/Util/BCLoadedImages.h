#pragma once
// The Mach-O images loaded in the running process, as the formatter reads
// them to recover a crashed message's selector. A Linux process loads no
// Mach-O image, so the list is empty unless a test puts images in it.
#include <cstdint>
#include <string>
#include <vector>

class BCLoadedImages {
public:
    struct Image {
        // The image's Mach-O header in this process's memory.
        const void *header = nullptr;
        // Its path; absent images have none.
        const char *name = nullptr;
        // What was added to every link-time address.
        intptr_t slide = 0;
    };

    // A copy of the list as it stands now.
    static std::vector<Image> images();
    static void setImagesForTesting(std::vector<Image> images);
};
