#include "png_picture.hpp"

#include <png.h>

#include <algorithm>
#include <csetjmp>

namespace {

struct Palette {
    std::vector<cv::Vec3b> colours;  // blue-green-red, as in the picture
    std::vector<unsigned char> indices;  // one per pixel, row by row
};

// False when the picture has more than 256 colours.
bool paletteOf(const cv::Mat& picture, Palette& palette) {
    palette.colours.clear();
    palette.indices.resize(picture.total());
    std::size_t at = 0;
    cv::Vec3b last;
    unsigned char lastIndex = 0;
    bool haveLast = false;
    for (int y = 0; y < picture.rows; ++y) {
        const cv::Vec3b* row = picture.ptr<cv::Vec3b>(y);
        for (int x = 0; x < picture.cols; ++x) {
            // Runs of one colour are the rule: the background between markers.
            if (!haveLast || row[x] != last) {
                std::size_t k = 0;
                while (k < palette.colours.size() && palette.colours[k] != row[x]) ++k;
                if (k == palette.colours.size()) {
                    if (k == 256) return false;
                    palette.colours.push_back(row[x]);
                }
                last = row[x];
                lastIndex = static_cast<unsigned char>(k);
                haveLast = true;
            }
            palette.indices[at++] = lastIndex;
        }
    }
    return true;
}

int bitDepthFor(std::size_t colours) {
    if (colours <= 2) return 1;
    if (colours <= 4) return 2;
    if (colours <= 16) return 4;
    return 8;
}

// Packs one row of palette indices at `depth` bits a pixel, the leftmost pixel in the high bits.
void packRow(const unsigned char* indices, int width, int depth, unsigned char* out) {
    const int perByte = 8 / depth;
    for (int byte = 0; byte < (width + perByte - 1) / perByte; ++byte) {
        unsigned value = 0;
        for (int k = 0; k < perByte; ++k) {
            const int x = byte * perByte + k;
            value = (value << depth) | (x < width ? indices[x] : 0u);
        }
        out[byte] = static_cast<unsigned char>(value);
    }
}

void appendBytes(png_structp png, png_bytep data, png_size_t length) {
    auto* out = static_cast<std::vector<unsigned char>*>(png_get_io_ptr(png));
    out->insert(out->end(), data, data + length);
}

void noFlush(png_structp) {}

void noteError(png_structp png, png_const_charp message) {
    *static_cast<std::string*>(png_get_error_ptr(png)) = message;
    png_longjmp(png, 1);
}

void ignoreWarning(png_structp, png_const_charp) {}

}  // namespace

bool encodePng(const cv::Mat& picture, std::vector<unsigned char>& out, std::string& error) {
    CV_Assert(picture.type() == CV_8UC3);
    out.clear();
    // Kept across calls: a video's worth of frames reuses one buffer.
    static thread_local Palette palette;
    static thread_local std::vector<unsigned char> rows;
    const bool indexed = paletteOf(picture, palette);
    // Everything with a destructor lives outside the part that libpng may leave by longjmp.
    const int width = picture.cols;
    const int height = picture.rows;
    std::vector<png_color> colours;
    std::vector<png_bytep> rowPointers(static_cast<std::size_t>(height));

    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &error, noteError, ignoreWarning);
    if (png == nullptr) {
        error = "libpng could not start";
        return false;
    }
    png_infop info = png_create_info_struct(png);
    if (info == nullptr || setjmp(png_jmpbuf(png)) != 0) {
        if (error.empty()) error = "libpng could not start";
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_set_write_fn(png, &out, appendBytes, noFlush);
    // Sparse points on black: no filter and fast compression give small files quickly.
    png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_NONE);
    png_set_compression_level(png, 6);
    std::size_t stride = 0;
    int transforms = PNG_TRANSFORM_IDENTITY;
    if (indexed) {
        const int depth = bitDepthFor(palette.colours.size());
        png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), depth,
                     PNG_COLOR_TYPE_PALETTE, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_BASE, PNG_FILTER_TYPE_BASE);
        for (const cv::Vec3b& c : palette.colours) colours.push_back({c[2], c[1], c[0]});
        png_set_PLTE(png, info, colours.data(), static_cast<int>(colours.size()));
        stride = static_cast<std::size_t>((width * depth + 7) / 8);
        rows.resize(stride * static_cast<std::size_t>(height));
        for (int y = 0; y < height; ++y) {
            packRow(&palette.indices[static_cast<std::size_t>(y) * static_cast<std::size_t>(width)], width, depth,
                    &rows[static_cast<std::size_t>(y) * stride]);
        }
    } else {
        png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8,
                     PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_BASE, PNG_FILTER_TYPE_BASE);
        transforms = PNG_TRANSFORM_BGR;
        stride = static_cast<std::size_t>(width) * 3;
        rows.resize(stride * static_cast<std::size_t>(height));
        for (int y = 0; y < height; ++y) std::copy_n(picture.ptr<unsigned char>(y), stride, &rows[static_cast<std::size_t>(y) * stride]);
    }
    for (int y = 0; y < height; ++y) rowPointers[static_cast<std::size_t>(y)] = &rows[static_cast<std::size_t>(y) * stride];
    png_set_rows(png, info, rowPointers.data());
    png_write_png(png, info, transforms, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}
