#include "picture.h"

#include <algorithm>
#include <png.h>

picture_t pattern_picture(int width, int height) {
    picture_t p;
    p.width = width;
    p.height = height;
    p.rgb.reserve(static_cast<size_t>(width) * height * 3);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            p.rgb.push_back(static_cast<uint8_t>(x));
            p.rgb.push_back(static_cast<uint8_t>(y));
            p.rgb.push_back(((x / 32 + y / 32) % 2) ? 255 : 0);
        }
    }
    return p;
}

std::string encode_png(const picture_t &picture) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = picture.width;
    image.height = picture.height;
    image.format = PNG_FORMAT_RGB;
    png_alloc_size_t size = 0;
    if (!png_image_write_to_memory(&image, nullptr, &size, 0, picture.rgb.data(), 0, nullptr))
        return {};
    std::string bytes(size, '\0');
    if (!png_image_write_to_memory(&image, bytes.data(), &size, 0, picture.rgb.data(), 0, nullptr))
        return {};
    bytes.resize(size);
    return bytes;
}

bool decode_png(const std::string &bytes, picture_t &picture) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, bytes.data(), bytes.size()))
        return false;
    image.format = PNG_FORMAT_RGB;
    picture.width = image.width;
    picture.height = image.height;
    picture.rgb.assign(PNG_IMAGE_SIZE(image), 0);
    if (!png_image_finish_read(&image, nullptr, picture.rgb.data(), 0, nullptr)) {
        png_image_free(&image);
        return false;
    }
    return true;
}

picture_t crop_picture(const picture_t &picture, int x, int y, int width, int height) {
    picture_t p;
    p.width = std::max(0, std::min(width, picture.width - x));
    p.height = std::max(0, std::min(height, picture.height - y));
    for (int row = y; row < y + p.height; ++row) {
        auto from = picture.rgb.begin() + (static_cast<size_t>(row) * picture.width + x) * 3;
        p.rgb.insert(p.rgb.end(), from, from + p.width * 3);
    }
    return p;
}
