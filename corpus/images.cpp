#include "images.h"

#include <cstring>
#include <png.h>

rgb_image_t decode_png(const std::string &bytes) {
    rgb_image_t img;
    // Signature (8), chunk length (4), "IHDR" (4), then width, height, depth, type, ..., interlace.
    static const char signature[] = "\x89PNG\r\n\x1a\n";
    if (bytes.size() < 33 || bytes.compare(0, 8, signature, 8) != 0 ||
        bytes.compare(12, 4, "IHDR") != 0) {
        img.error = "not a PNG file";
        return img;
    }
    img.bit_depth = uint8_t(bytes[24]);
    img.color_type = uint8_t(bytes[25]);
    img.interlace = uint8_t(bytes[28]);

    png_image image;
    memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, bytes.data(), bytes.size())) {
        img.error = image.message;
        return img;
    }
    // The header may claim any size; the pictures the corpus checks are small, so a claim beyond
    // this is refused before anything is allocated for it.
    if (uint64_t(image.width) * image.height > max_decoded_pixels) {
        img.error = "picture of " + std::to_string(image.width) + "x" +
                    std::to_string(image.height) + " pixels is too large to check";
        png_image_free(&image);
        return img;
    }
    image.format = PNG_FORMAT_RGB;
    img.width = image.width;
    img.height = image.height;
    img.rgb.resize(size_t(image.width) * image.height * 3);
    if (!png_image_finish_read(&image, nullptr, img.rgb.data(), 0, nullptr)) {
        img.error = image.message;
        png_image_free(&image);
        img.rgb.clear();
        return img;
    }
    img.ok = true;
    return img;
}

std::string encode_png(unsigned width, unsigned height, const std::vector<uint8_t> &rgb) {
    png_image image;
    memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    image.width = width;
    image.height = height;
    image.format = PNG_FORMAT_RGB;
    png_alloc_size_t size = 0;
    if (!png_image_write_to_memory(&image, nullptr, &size, 0, rgb.data(), 0, nullptr))
        return "";
    std::string out(size, '\0');
    if (!png_image_write_to_memory(&image, out.data(), &size, 0, rgb.data(), 0, nullptr))
        return "";
    out.resize(size);
    return out;
}
