#include "BCLoadedImages.h"

#include <mutex>

namespace {

std::mutex &imagesMutex() {
    static auto *m = new std::mutex;
    return *m;
}

std::vector<BCLoadedImages::Image> &imageList() {
    static auto *list = new std::vector<BCLoadedImages::Image>;
    return *list;
}

}  // namespace

std::vector<BCLoadedImages::Image> BCLoadedImages::images() {
    std::lock_guard<std::mutex> lock(imagesMutex());
    return imageList();
}

void BCLoadedImages::setImagesForTesting(std::vector<Image> images) {
    std::lock_guard<std::mutex> lock(imagesMutex());
    imageList() = std::move(images);
}
