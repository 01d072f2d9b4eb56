// Helpers of the tool tests: scratch directories, synthetic images, image
// files in every input format, and running the programs.
#ifndef TOLVANE_TEST_SUPPORT_H
#define TOLVANE_TEST_SUPPORT_H

#include "raster_io.h"

#include <optional>
#include <string>
#include <vector>

namespace testsupport {

using ImagePtr = std::optional<tolvane::Image>;

// The grey image the library reads from a file, or nothing with the reason.
ImagePtr loadGreyImage(const std::string& path, std::string& error);

// A fresh directory, removed with everything in it at the end of the scope.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string file(const std::string& name) const { return path + "/" + name; }

    std::string path;
};

struct ProcessResult {
    int status = -1;  // exit status, or -1 when the process did not exit
    std::string out;
    std::string err;
};

// What a program run gets besides its arguments.
struct RunOptions {
    std::string input = "/dev/null";  // file opened as standard input
    long addressSpaceBytes = 0;       // limit, when the build allows one (0: none)
    long openFiles = 0;               // descriptor limit (0: unchanged)
};

// Runs a program with arguments.
ProcessResult runProgram(const std::string& program, const std::vector<std::string>& args,
                         const RunOptions& options = {});
ProcessResult runTolvane(const std::vector<std::string>& args, const RunOptions& options = {});

// A grey image of bright elliptic blobs of several sizes and orientations
// on a gently sloping background, with regions for both detectors.
tolvane::RasterImage blobImage(int width, int height);

// The same scene in colour: every pixel's luma equals blobImage's grey value.
tolvane::RasterImage colourBlobImage(int width, int height);

// The grey image seen through the homography h (row-major, mapping its
// pixels to those of the result), bilinear, black outside.
tolvane::RasterImage warpedImage(const tolvane::RasterImage& grey, const double (&h)[3][3]);

// A grey image from a binary PGM file (ends the test on failure).
tolvane::RasterImage readGreyPgm(const std::string& path);

void writeBinaryPgm(const std::string& path, const tolvane::RasterImage& grey);
void writeAsciiPgm(const std::string& path, const tolvane::RasterImage& grey);
void writeBinaryPpm(const std::string& path, const tolvane::RasterImage& rgb);
void writeAsciiPpm(const std::string& path, const tolvane::RasterImage& rgb);
void writePngFile(const std::string& path, const tolvane::RasterImage& raster);
// How writeJpegFile encodes: with an EXIF orientation (1: none recorded),
// with inks (the raster's RGB colours as Adobe CMYK or YCCK), progressive.
struct JpegOptions {
    enum class Inks { None, Cmyk, Ycck };
    int orientation = 1;
    Inks inks = Inks::None;
    bool progressive = false;
};
void writeJpegFile(const std::string& path, const tolvane::RasterImage& raster, int quality,
                   const JpegOptions& options = {});

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& contents);
std::vector<std::string> linesOf(const std::string& text);

}  // namespace testsupport

#endif
