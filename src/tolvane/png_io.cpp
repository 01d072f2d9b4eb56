// PNG decoding and encoding through libpng.
#include "raster_io.h"

#include <png.h>

#include <cerrno>
#include <csetjmp>
#include <cstring>
#include <cstdio>
#include <memory>

namespace tolvane {
namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// No ancillary chunk (profile, text) needs more; a larger claim is refused
// before libpng allocates it.
constexpr png_alloc_size_t kMaxChunkBytes = 16u << 20;

// libpng reports errors through this record; the message survives the
// longjmp back into the decoding function.
struct PngErrorState {
    char message[256] = "";
};

void onPngError(png_structp png, png_const_charp message)
{
    auto* state = static_cast<PngErrorState*>(png_get_error_ptr(png));
    std::snprintf(state->message, sizeof state->message, "%s", message);
    png_longjmp(png, 1);
}

void onPngWarning(png_structp, png_const_charp) {}

struct MemoryInput {
    const unsigned char* data;
    std::size_t size;
    std::size_t position;
};

void readFromMemory(png_structp png, png_bytep out, png_size_t count)
{
    auto* input = static_cast<MemoryInput*>(png_get_io_ptr(png));
    if (input->size - input->position < count)
        png_error(png, "file ends early");
    std::memcpy(out, input->data + input->position, count);
    input->position += count;
}

// Every PNG becomes 8-bit grey or 8-bit RGB: palettes and low bit depths are
// expanded, 16-bit samples scaled, alpha dropped. Returns the number of
// interlace passes.
int requestEightBitGreyOrRgb(png_structp png, png_infop info)
{
    png_set_expand(png);
    png_set_scale_16(png);
    png_set_strip_alpha(png);
    const int passes = png_set_interlace_handling(png);
    png_read_update_info(png, info);
    return passes;
}

bool allocateRaster(png_structp png, png_infop info, const ReadOptions& options, RasterImage& raster,
                    PngErrorState& state)
{
    ImageHeader header;
    header.width = png_get_image_width(png, info);
    header.height = png_get_image_height(png, info);
    std::string error;
    if (!checkHeader(header, options, error)) {
        std::snprintf(state.message, sizeof state.message, "%s", error.c_str());
        return false;
    }
    raster.width = static_cast<int>(header.width);
    raster.height = static_cast<int>(header.height);
    raster.channels = png_get_channels(png, info);
    raster.samples.assign(static_cast<std::size_t>(raster.width) * raster.height * raster.channels, 0);
    return true;
}

// No object with a destructor lives in this frame between setjmp and the
// end, so a longjmp out of libpng skips nothing; `ok` changes only after
// the last libpng call.
bool readPngRows(MemoryInput& input, const ReadOptions& options, RasterImage& raster, PngErrorState& state)
{
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &state, onPngError, onPngWarning);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!info) {
        std::snprintf(state.message, sizeof state.message, "out of memory");
        png_destroy_read_struct(&png, nullptr, nullptr);
        return false;
    }
    bool ok = false;
    if (setjmp(png_jmpbuf(png)) == 0) {
        png_set_read_fn(png, &input, readFromMemory);
        png_set_chunk_malloc_max(png, kMaxChunkBytes);
        // The sides are judged by checkHeader alone.
        png_set_user_limits(png, PNG_UINT_31_MAX, PNG_UINT_31_MAX);
        png_read_info(png, info);
        const int passes = requestEightBitGreyOrRgb(png, info);
        if (allocateRaster(png, info, options, raster, state)) {
            const std::size_t stride = static_cast<std::size_t>(raster.width) * raster.channels;
            for (int pass = 0; pass < passes; ++pass)
                for (int r = 0; r < raster.height; ++r)
                    png_read_row(png, raster.samples.data() + r * stride, nullptr);
            png_read_end(png, nullptr);
            ok = true;
        }
    }
    png_destroy_read_struct(&png, &info, nullptr);
    return ok;
}

bool writePngRows(std::FILE* file, const RasterImage& raster, PngErrorState& state)
{
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &state, onPngError, onPngWarning);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!info) {
        std::snprintf(state.message, sizeof state.message, "out of memory");
        png_destroy_write_struct(&png, nullptr);
        return false;
    }
    bool ok = false;
    if (setjmp(png_jmpbuf(png)) == 0) {
        png_init_io(png, file);
        png_set_IHDR(png, info, raster.width, raster.height, 8,
                     raster.channels == 3 ? PNG_COLOR_TYPE_RGB : PNG_COLOR_TYPE_GRAY,
                     PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
        png_set_compression_level(png, 9);
        png_write_info(png, info);
        const std::size_t stride = static_cast<std::size_t>(raster.width) * raster.channels;
        for (int r = 0; r < raster.height; ++r)
            png_write_row(png, raster.samples.data() + r * stride);
        png_write_end(png, nullptr);
        ok = true;
    }
    png_destroy_write_struct(&png, &info);
    return ok;
}

}  // namespace

bool decodePng(const std::string& bytes, const ReadOptions& options, RasterImage& raster, std::string& error)
{
    MemoryInput input{reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), 0};
    PngErrorState state;
    if (!readPngRows(input, options, raster, state)) {
        error = std::string("bad PNG: ") + state.message;
        return false;
    }
    return true;
}

bool writePng(const std::string& path, const RasterImage& raster, std::string& error)
{
    FilePtr file(std::fopen(path.c_str(), "wb"));
    PngErrorState state;
    if (!file) {
        error = std::string("cannot create: ") + std::strerror(errno);
        return false;
    }
    if (!writePngRows(file.get(), raster, state)) {
        error = std::ferror(file.get()) ? std::string("cannot write: ") + std::strerror(errno)
                                        : std::string("cannot write PNG: ") + state.message;
        return false;
    }
    if (std::fflush(file.get()) != 0 || std::ferror(file.get()) || std::fclose(file.release()) != 0) {
        error = std::string("cannot write: ") + std::strerror(errno);
        return false;
    }
    return true;
}

}  // namespace tolvane
