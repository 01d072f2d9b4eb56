// afflib: detection of affine-covariant interest regions in grey-level images.
//
// Images are DERY rasters of 32-bit floats. Every image operation takes its
// input image(s) first and its output image(s) after them; the caller
// allocates each output with the input's dimensions and owns it.
#ifndef AFFLIB_H
#define AFFLIB_H

#include <iosfwd>
#include <string>
#include <vector>

// ---------------------------------------------------------------------------
// Image and region data
// ---------------------------------------------------------------------------

// A single-channel float image: one contiguous row-major block of `size`
// floats, with `pixels[r]` pointing at row r (y) and `pixels[r][c]` the pixel
// at column c (x). Pixels of an image with a block of its own are zero after
// construction. Negative sides and sides whose product exceeds an int throw
// std::invalid_argument.
class DERY {
public:
    float** pixels;
    int cols;
    int rows;
    int size;

    DERY(int rows, int cols);
    // An image over the caller's block of at least rows * cols floats, which
    // must outlive it: its pixels are left as they are and never freed.
    DERY(int rows, int cols, float* block);
    ~DERY();
    DERY(const DERY&) = delete;
    DERY& operator=(const DERY&) = delete;

private:
    void setRows(float* block);
    bool ownsBlock_;
};

// Copies every pixel of src into dst in storage order. Images of different
// size (rows * cols) end the process with status 1 after printing
// "wrong set size ".
void set(DERY* src, DERY* dst);

// One detected region. x, y are in input-image pixels; mi11, mi12, mi22 are
// entries (1,1), (1,2), (2,2) of the shape matrix that maps a patch offset
// (column, row) to an offset in the image of the detection level.
struct AffRegion {
    float x;
    float y;
    float response;
    float scale;     // scale factor of the detection level
    float lapScale;  // scale factor of the characteristic scale
    float mi11;
    float mi12;
    float mi22;
    int lapIndex;    // characteristic-scale level index (>= 1)
    int level;       // detection level index (>= 1)
    int mode;        // point-extraction mode the region was made in
};

// Bilinear resampling of src onto the grid of dst: dst[i][j] = src at
// (j * factor, i * factor). Destination pixels that map past the source keep
// their value.
void scaling(DERY* src, DERY* dst, float factor);

// Bilinear value at column x, row y; 0 outside [0, cols) x [0, rows).
float getValue(DERY* image, float x, float y);

// Fills patch with src seen through the matrix [[m11, m12], [m21, m22]]
// around (cx, cy): patch offset (column j, row i) samples src at
// (cx + m11 j + m12 i, cy + m21 j + m22 i); 0 where the bilinear block
// leaves the image or touches its last row or column.
void interpolate(DERY* src, DERY* patch, float cx, float cy,
                 float m11, float m12, float m21, float m22);

// ---------------------------------------------------------------------------
// Filters: fixed one-dimensional passes (edge pixels replicated)
// ---------------------------------------------------------------------------

void HorConvSqrt2(DERY* in, DERY* out);  // smoothing, sigma sqrt(2), 7 taps
void VerConvSqrt2(DERY* in, DERY* out);
void smoothXXH9(DERY* in, DERY* out);    // smoothing, sigma 2, 9 taps
void smoothYYV9(DERY* in, DERY* out);
void DerXXH9(DERY* in, DERY* out);       // second derivative, 11 taps
void DerYYV9(DERY* in, DERY* out);
void DerHConv6(DERY* in, DERY* out);     // first derivative, 7 taps
void DerVConv6(DERY* in, DERY* out);
void DerXXH7(DERY* in, DERY* out);       // second derivative, 7 taps
void DerYYV7(DERY* in, DERY* out);
void HorConv5(DERY* in, DERY* out);      // smoothing, sigma 1.2, 5 taps
void VerConv5(DERY* in, DERY* out);

// Two-dimensional operators, each a pass along one axis followed by a pass
// along the other. `out` may be the same image as `in`.
void smoothSqrt(DERY* in, DERY* out);
void dX6(DERY* in, DERY* out);
void dY6(DERY* in, DERY* out);
void dXX7(DERY* in, DERY* out);
void dYY7(DERY* in, DERY* out);
void dXX9(DERY* in, DERY* out);
void dYY9(DERY* in, DERY* out);

// ---------------------------------------------------------------------------
// Gaussian window: a one-entry kernel cache per thread
// ---------------------------------------------------------------------------

// Each thread has its own cache: these describe the last kernel built on the
// calling thread, and every function below uses the calling thread's.
extern thread_local float g_scale;      // sigma of the cached kernel (0 when empty)
extern thread_local int g_size;         // half-width s: the table is (2s+1) x (2s+1)
extern thread_local float** table_exp;  // kernel rows, centre weight 1, not normalised
extern thread_local float total;        // float running sum of all table weights

// Makes the cache hold the kernel for sigma; no-op when sigma is cached.
// Sigmas whose tail fold would reach before the profile start (between 1/10
// and 1/6, exclusive) are folded only as far as the profile reaches. A sigma
// that is not positive empties the cache.
void initGauss(float sigma);

// Kernel-weighted sum of the window centred on column x, row y, unrounded;
// 0 when the window of half-width g_size does not lie inside the image or
// there is no kernel.
double convolution(int x, int y, DERY* image, float** kernel);

// Gaussian average at column x, row y (0 where the window does not fit or
// sigma is not positive).
float smoothf(int x, int y, DERY* image, float sigma);

// ---------------------------------------------------------------------------
// Response maps of one pyramid level
// ---------------------------------------------------------------------------

void laplacian(DERY* in, DERY* out);
void harris(DERY* in, DERY* cornerness, DERY* sxx, DERY* sxy, DERY* syy);
void hessian(DERY* in, DERY* det, DERY* trace);

// ---------------------------------------------------------------------------
// Point extraction and scale selection
// ---------------------------------------------------------------------------

// Index of the first Laplacian extremum (beyond +-4) across levels at the
// input-image point (x, y), or -1.
int getLapMax(const std::vector<DERY*>& lapMaps, const std::vector<float>& scales,
              unsigned int level, unsigned int below, unsigned int above,
              float x, float y);

// Appends one region per strict 3x3 maximum above threshold on levels
// 1 .. n-2 that has a characteristic scale, after thinning near-duplicates.
// `threads` > 1 scans the levels on that many threads, with the same result.
void harris_lap(const std::vector<DERY*>& responseMaps,
                const std::vector<DERY*>& m11Maps,
                const std::vector<DERY*>& m12Maps,
                const std::vector<DERY*>& m22Maps,
                const std::vector<DERY*>& lapMaps,
                const std::vector<float>& scales,
                std::vector<AffRegion*>& regions, float threshold, int mode, int threads = 1);

// ---------------------------------------------------------------------------
// Affine shape adaptation
// ---------------------------------------------------------------------------

// In place: [[m11, m12], [m12, m22]] becomes its inverse square root scaled
// to determinant 1; l1 <= 1 <= l2 its eigenvalues. Leaves everything
// unchanged for a multiple of the identity, and prints "errors" (leaving
// everything unchanged) for a negative eigenvalue.
void invSqrRoot(float& m11, float& m12, float& m22, float& l1, float& l2);

// Eigenvalues l1 >= l2 of [[a, b], [c, d]]; (1, 100) when they are complex.
void getEigen(float a, float b, float c, float d, float& l1, float& l2);

// Gaussian-weighted (sigma 1.8) second moment matrix of image at the pixel
// (x, y) truncated toward zero; all zero when the window does not fit.
void getMi(DERY* image, float& m11, float& m12, float& m22, float x, float y);

// Adapts one region's shape; returns 0 when it is rejected (shape untouched),
// otherwise the number of iterations run.
int fastfindAffineRegion(const std::vector<DERY*>& levelImages,
                         const std::vector<DERY*>& auxMaps,
                         const std::vector<float>& scales,
                         AffRegion* region, int maxIterations);

// Adapts every region in place, removing and destroying the rejected ones.
// `threads` > 1 adapts the regions on that many threads, with the same
// result.
void findAffineRegion(const std::vector<DERY*>& levelImages,
                      const std::vector<DERY*>& auxMaps,
                      const std::vector<float>& scales,
                      std::vector<AffRegion*>& regions, int maxIterations, int threads = 1);

// ---------------------------------------------------------------------------
// Multi-scale detectors
// ---------------------------------------------------------------------------

// Hessian-affine and Harris-affine detectors: append the regions of image
// to `regions`. `threads` > 1 runs the pyramid, the response maps, the
// search for points and the adaptation on that many threads, with the same
// result as one.
void multi_scale_hes(DERY* image, std::vector<AffRegion*>& regions,
                     float threshold, int maxIterations, int threads = 1);
void multi_scale_har(DERY* image, std::vector<AffRegion*>& regions,
                     float threshold, int maxIterations, int threads = 1);

// ---------------------------------------------------------------------------
// Binary PGM input and the region listing
// ---------------------------------------------------------------------------

// Reads an 8-bit binary PGM file: the magic P5, then decimal width, height
// and maximum grey value (1 to 255; below 255 the samples are scaled to
// 0..255 as round(v * 255 / maximum)). Returns a new image (rows = height,
// cols = width) or, on failure, nullptr with a one-line description of the
// problem in `error`. Never reads a byte the file did not supply.
DERY* readPGM(const char* path, std::string& error);

// Same, from an open stream; `error` does not name the file.
DERY* readPGM(std::istream& in, std::string& error);

// One line per region ("0.  x=..., y=..., mi11=..., mi12=..., mi22=...")
// followed by "nb of regions = N".
void listRegions(std::ostream& out, const std::vector<AffRegion*>& regions);

// ---------------------------------------------------------------------------
// Region ellipses
// ---------------------------------------------------------------------------

// The ellipse { p : (p - (x, y))^T [[a, b], [b, c]] (p - (x, y)) <= 1 } in
// input-image pixels.
struct Ellipse {
    float x;
    float y;
    double a;
    double b;
    double c;
};

// Radius, in patch pixels, of the circle that the adaptation patch covers.
constexpr double kPatchRadius = 7.0;

// The ellipse that a region's adaptation patch covers: the circle of radius
// kPatchRadius mapped through A = scale * [[mi11, mi12], [mi12, mi22]], so
// [[a, b], [b, c]] = (A A^T)^-1 / kPatchRadius^2, centred on (x, y).
// Returns false, leaving `ellipse` unchanged, when the shape matrix is
// singular or the result is not finite.
bool regionEllipse(const AffRegion& region, Ellipse& ellipse);

#endif
