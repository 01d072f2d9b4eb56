// JPEG decoding through libjpeg.
#include "image_io.h"

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>

#include <jpeglib.h>
#include <jerror.h>

namespace tolvane {
namespace {

struct JpegErrorState {
    jpeg_error_mgr manager;
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX] = "";
};

void onJpegError(j_common_ptr info)
{
    auto* state = reinterpret_cast<JpegErrorState*>(info->err);
    info->err->format_message(info, state->message);
    std::longjmp(state->jump, 1);
}

// A file that ends early is reported rather than padded with grey; other
// warnings about corrupt data are common in photographs that decode well.
void onJpegWarning(j_common_ptr info, int level)
{
    if (level < 0 && info->err->msg_code == JWRN_JPEG_EOF)
        onJpegError(info);
}

bool allocateRaster(const jpeg_decompress_struct& jpeg, RasterImage& raster, JpegErrorState& state)
{
    std::string error;
    if (!checkImageSides(jpeg.output_width, jpeg.output_height, error)) {
        std::snprintf(state.message, sizeof state.message, "%s", error.c_str());
        return false;
    }
    raster.width = static_cast<int>(jpeg.output_width);
    raster.height = static_cast<int>(jpeg.output_height);
    raster.channels = 1;
    raster.samples.assign(static_cast<std::size_t>(raster.width) * raster.height, 0);
    return true;
}

// The luminance channel of a colour JPEG is already the luma of its
// colours, so every JPEG is decoded straight to grey. No object with a
// destructor lives in this frame between setjmp and the end.
bool readJpegRows(std::FILE* file, RasterImage& raster, JpegErrorState& state)
{
    jpeg_decompress_struct jpeg;
    jpeg.err = jpeg_std_error(&state.manager);
    state.manager.error_exit = onJpegError;
    state.manager.emit_message = onJpegWarning;
    bool ok = false;
    if (setjmp(state.jump) == 0) {
        jpeg_create_decompress(&jpeg);
        jpeg_stdio_src(&jpeg, file);
        jpeg_read_header(&jpeg, TRUE);
        jpeg.out_color_space = JCS_GRAYSCALE;
        jpeg_start_decompress(&jpeg);
        if (allocateRaster(jpeg, raster, state)) {
            while (jpeg.output_scanline < jpeg.output_height) {
                JSAMPROW row = raster.samples.data() +
                               static_cast<std::size_t>(jpeg.output_scanline) * raster.width;
                jpeg_read_scanlines(&jpeg, &row, 1);
            }
            jpeg_finish_decompress(&jpeg);
            ok = true;
        }
    }
    jpeg_destroy_decompress(&jpeg);
    return ok;
}

}  // namespace

bool decodeJpeg(const std::string& path, RasterImage& raster, std::string& error)
{
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) {
        error = std::string("cannot open: ") + std::strerror(errno);
        return false;
    }
    JpegErrorState state;
    const bool ok = readJpegRows(file, raster, state);
    std::fclose(file);
    if (!ok)
        error = std::string("bad JPEG: ") + state.message;
    return ok;
}

}  // namespace tolvane
