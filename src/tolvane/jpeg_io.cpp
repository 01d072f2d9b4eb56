// JPEG decoding and encoding through libjpeg, and the EXIF orientation.
#include "raster_io.h"

#include <csetjmp>
#include <cstdio>
#include <cerrno>
#include <cstring>
#include <algorithm>

#include <jpeglib.h>
#include <jerror.h>

namespace tolvane {
namespace {

// Far more scans than any encoder writes; each scan is a pass over the
// whole image, so a file of thousands of tiny scans would take minutes.
constexpr int kMaxScans = 500;
// libjpeg's own memory beyond the output rows: the coefficients a
// progressive image buffers (at most four components of two bytes per
// pixel) and the decoder's tables.
constexpr long kJpegBytesPerPixel = 8;
constexpr long kJpegSlackBytes = 16L << 20;

constexpr unsigned kExifOrientationTag = 0x0112;
constexpr unsigned kExifShortType = 3;

struct JpegErrorState {
    jpeg_error_mgr manager;
    jpeg_progress_mgr progress;
    std::jmp_buf jump;
    bool acceptDamaged = false;
    char message[JMSG_LENGTH_MAX] = "";
};

JpegErrorState& stateOf(j_common_ptr info)
{
    return *reinterpret_cast<JpegErrorState*>(info->err);
}

void onJpegError(j_common_ptr info)
{
    info->err->format_message(info, stateOf(info).message);
    std::longjmp(stateOf(info).jump, 1);
}

// Warnings about the file's metadata rather than its image data.
bool isMetadataWarning(int code)
{
    return code == JWRN_ADOBE_XFORM || code == JWRN_JFIF_MAJOR || code == JWRN_BOGUS_ICC;
}

// A warning about corrupt or missing image data fails the image: libjpeg
// would fill what it cannot decode with grey.
void onJpegWarning(j_common_ptr info, int level)
{
    if (level < 0 && !stateOf(info).acceptDamaged && !isMetadataWarning(info->err->msg_code))
        onJpegError(info);
}

void onProgress(j_common_ptr info)
{
    auto* jpeg = reinterpret_cast<j_decompress_ptr>(info);
    if (jpeg->input_scan_number > kMaxScans) {
        std::snprintf(stateOf(info).message, sizeof stateOf(info).message, "more than %d scans", kMaxScans);
        std::longjmp(stateOf(info).jump, 1);
    }
}

bool headerIsAcceptable(const jpeg_decompress_struct& jpeg, const ReadOptions& options, JpegErrorState& state)
{
    ImageHeader header;
    header.width = jpeg.image_width;
    header.height = jpeg.image_height;
    std::string error;
    if (!checkHeader(header, options, error)) {
        std::snprintf(state.message, sizeof state.message, "%s", error.c_str());
        return false;
    }
    return true;
}

bool isInk(J_COLOR_SPACE space)
{
    return space == JCS_CMYK || space == JCS_YCCK;
}

// RGB of a CMYK pixel: (1 - C)(1 - K) and so on. Files with an Adobe marker
// store the inks inverted (255 is no ink).
void rgbOfInks(const JSAMPLE* cmyk, bool inverted, unsigned char* rgb)
{
    const unsigned k = inverted ? cmyk[3] : 255u - cmyk[3];
    for (int i = 0; i < 3; ++i) {
        const unsigned c = inverted ? cmyk[i] : 255u - cmyk[i];
        rgb[i] = static_cast<unsigned char>((c * k + 127u) / 255u);
    }
}

void readRow(jpeg_decompress_struct& jpeg, RasterImage& raster, std::vector<JSAMPLE>& inkRow)
{
    const std::size_t stride = static_cast<std::size_t>(raster.width) * raster.channels;
    JSAMPROW row = raster.samples.data() + static_cast<std::size_t>(jpeg.output_scanline) * stride;
    if (!isInk(jpeg.out_color_space)) {
        jpeg_read_scanlines(&jpeg, &row, 1);
        return;
    }
    JSAMPROW inks = inkRow.data();
    jpeg_read_scanlines(&jpeg, &inks, 1);
    for (int x = 0; x < raster.width; ++x) {
        unsigned char rgb[3];
        rgbOfInks(inks + 4 * x, jpeg.saw_Adobe_marker, rgb);
        if (raster.channels == 3)
            std::copy_n(rgb, 3, row + 3 * x);
        else
            row[x] = lumaOf(rgb[0], rgb[1], rgb[2]);
    }
}

// Grey unless colour is asked for and the file has it.
J_COLOR_SPACE outputSpaceOf(const jpeg_decompress_struct& jpeg, bool keepColour)
{
    if (isInk(jpeg.jpeg_color_space))
        return JCS_CMYK;
    return keepColour && jpeg.num_components == 3 ? JCS_RGB : JCS_GRAYSCALE;
}

int orientationOf(const jpeg_decompress_struct& jpeg)
{
    for (jpeg_saved_marker_ptr marker = jpeg.marker_list; marker; marker = marker->next)
        if (marker->marker == JPEG_APP0 + 1)
            if (const int orientation = exifOrientation(marker->data, marker->data_length); orientation != 1)
                return orientation;
    return 1;
}

// The luminance channel of a colour JPEG is already the luma of its
// colours, so JPEGs other than CMYK ones are decoded straight to grey. No
// object with a destructor is made in this frame between setjmp and the
// end; `inkRow` is sized before the jump point can be reached from libjpeg.
bool readJpegRows(const std::string& bytes, const ReadOptions& options, bool keepColour, RasterImage& raster,
                  int& orientation, JpegErrorState& state, std::vector<JSAMPLE>& inkRow)
{
    jpeg_decompress_struct jpeg;
    jpeg.err = jpeg_std_error(&state.manager);
    state.manager.error_exit = onJpegError;
    state.manager.emit_message = onJpegWarning;
    state.progress.progress_monitor = onProgress;
    state.acceptDamaged = options.accept_damaged;
    bool ok = false;
    if (setjmp(state.jump) == 0) {
        jpeg_create_decompress(&jpeg);
        jpeg.progress = &state.progress;
        jpeg.mem->max_memory_to_use = options.max_pixels * kJpegBytesPerPixel + kJpegSlackBytes;
        jpeg_mem_src(&jpeg, reinterpret_cast<const unsigned char*>(bytes.data()),
                     static_cast<unsigned long>(bytes.size()));
        jpeg_save_markers(&jpeg, JPEG_APP0 + 1, 0xFFFF);
        jpeg_read_header(&jpeg, TRUE);
        orientation = orientationOf(jpeg);
        if (headerIsAcceptable(jpeg, options, state)) {
            jpeg.out_color_space = outputSpaceOf(jpeg, keepColour);
            jpeg_start_decompress(&jpeg);
            raster.width = static_cast<int>(jpeg.output_width);
            raster.height = static_cast<int>(jpeg.output_height);
            raster.channels = keepColour && jpeg.out_color_space != JCS_GRAYSCALE ? 3 : 1;
            raster.samples.assign(static_cast<std::size_t>(raster.width) * raster.height * raster.channels, 0);
            if (isInk(jpeg.out_color_space))
                inkRow.resize(static_cast<std::size_t>(raster.width) * 4);
            while (jpeg.output_scanline < jpeg.output_height)
                readRow(jpeg, raster, inkRow);
            jpeg_finish_decompress(&jpeg);
            ok = true;
        }
    }
    jpeg_destroy_decompress(&jpeg);
    return ok;
}

// No object with a destructor is made in this frame between setjmp and the
// end.
bool writeJpegRows(std::FILE* file, const RasterImage& raster, int quality, std::string& error)
{
    JpegErrorState state;
    jpeg_compress_struct jpeg;
    jpeg.err = jpeg_std_error(&state.manager);
    state.manager.error_exit = onJpegError;
    bool ok = false;
    if (setjmp(state.jump) == 0) {
        jpeg_create_compress(&jpeg);
        jpeg_stdio_dest(&jpeg, file);
        jpeg.image_width = static_cast<JDIMENSION>(raster.width);
        jpeg.image_height = static_cast<JDIMENSION>(raster.height);
        jpeg.input_components = raster.channels;
        jpeg.in_color_space = raster.channels == 3 ? JCS_RGB : JCS_GRAYSCALE;
        jpeg_set_defaults(&jpeg);
        jpeg_set_quality(&jpeg, quality, TRUE);
        jpeg_start_compress(&jpeg, TRUE);
        const std::size_t stride = static_cast<std::size_t>(raster.width) * raster.channels;
        while (jpeg.next_scanline < jpeg.image_height) {
            JSAMPROW row = const_cast<JSAMPLE*>(raster.samples.data() + jpeg.next_scanline * stride);
            jpeg_write_scanlines(&jpeg, &row, 1);
        }
        jpeg_finish_compress(&jpeg);
        ok = true;
    } else {
        error = std::string("cannot write JPEG: ") + state.message;
    }
    jpeg_destroy_compress(&jpeg);
    return ok;
}

unsigned readUnsigned(const unsigned char* p, int bytes, bool bigEndian)
{
    unsigned value = 0;
    for (int i = 0; i < bytes; ++i)
        value |= static_cast<unsigned>(p[bigEndian ? i : bytes - 1 - i]) << (8 * (bytes - 1 - i));
    return value;
}

}  // namespace

int exifOrientation(const unsigned char* data, std::size_t size)
{
    static const unsigned char kExifHeader[] = {'E', 'x', 'i', 'f', 0, 0};
    if (size < sizeof kExifHeader + 8 || std::memcmp(data, kExifHeader, sizeof kExifHeader) != 0)
        return 1;
    const unsigned char* tiff = data + sizeof kExifHeader;
    const std::size_t tiffSize = size - sizeof kExifHeader;
    const bool bigEndian = tiff[0] == 'M' && tiff[1] == 'M';
    if (!bigEndian && !(tiff[0] == 'I' && tiff[1] == 'I'))
        return 1;
    const std::size_t directory = readUnsigned(tiff + 4, 4, bigEndian);
    if (directory > tiffSize - 2)
        return 1;
    const std::size_t entries = readUnsigned(tiff + directory, 2, bigEndian);
    for (std::size_t i = 0; i < entries; ++i) {
        const std::size_t entry = directory + 2 + 12 * i;
        if (entry + 12 > tiffSize)
            return 1;
        const unsigned char* field = tiff + entry;
        if (readUnsigned(field, 2, bigEndian) != kExifOrientationTag)
            continue;
        const unsigned value = readUnsigned(field + 8, 2, bigEndian);
        const bool valid = readUnsigned(field + 2, 2, bigEndian) == kExifShortType && value >= 1 && value <= 8;
        return valid ? static_cast<int>(value) : 1;
    }
    return 1;
}

bool decodeJpeg(const std::string& bytes, const ReadOptions& options, RasterImage& raster, std::string& error,
                bool keepColour)
{
    JpegErrorState state;
    std::vector<JSAMPLE> inkRow;
    int orientation = 1;
    if (!readJpegRows(bytes, options, keepColour, raster, orientation, state, inkRow)) {
        error = std::string("bad JPEG: ") + state.message;
        return false;
    }
    if (orientation != 1)
        raster = orientedRaster(raster, orientation);
    return true;
}

bool writeJpeg(const std::string& path, const RasterImage& raster, int quality, std::string& error)
{
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) {
        error = std::string("cannot create: ") + std::strerror(errno);
        return false;
    }
    const bool encoded = writeJpegRows(file, raster, quality, error);
    const bool written = std::fflush(file) == 0 && !std::ferror(file);
    const bool closed = std::fclose(file) == 0;
    if (encoded && !(written && closed))
        error = std::string("cannot write: ") + std::strerror(errno);
    return encoded && written && closed;
}

}  // namespace tolvane
