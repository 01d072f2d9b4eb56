// The Gaussian window: a one-entry kernel cache per thread, the weighted
// window sum and the normalised Gaussian average built from the two.
#include "afflib.h"

#include <cmath>
#include <vector>

thread_local float g_scale = 0;
thread_local int g_size = 0;
thread_local float** table_exp = nullptr;
thread_local float total = 0;

static int roundedMultiple(float factor, float sigma)
{
    return static_cast<int>(std::rint(factor * sigma));
}

static void freeTable()
{
    if (!table_exp)
        return;
    delete[] table_exp[0];
    delete[] table_exp;
    table_exp = nullptr;
}

// Installs the calling thread's table and frees it when the thread ends.
struct TableOwner {
    void adopt(float** table) { table_exp = table; }
    ~TableOwner() { freeTable(); }
};
static thread_local TableOwner tableOwner;

static void emptyCache()
{
    freeTable();
    g_scale = 0;
    g_size = 0;
    total = 0;
}

// Rows of width x width floats in one block, like an image.
static float** allocateTable(int width)
{
    float** rows = new float*[width];
    rows[0] = new float[width * width];
    for (int r = 1; r < width; ++r)
        rows[r] = rows[0] + r * width;
    return rows;
}

// exp(-i^2 / (2 sigma^2)) for i = 0 .. m, with the tail beyond the half-width
// s mirrored about s and added back onto the window.
static std::vector<float> foldedProfile(float sigma, int s, int m)
{
    const float d = static_cast<float>(-2.0 * sigma * sigma);
    std::vector<float> profile(m + 1);
    for (int i = 0; i <= m; ++i)
        profile[i] = std::exp(static_cast<float>(i * i / static_cast<double>(d)));
    // For some small sigmas (between 1/10 and 1/6) the tail is longer than the
    // window itself; its far end has no mirror position inside the profile and
    // is dropped rather than written before the profile start.
    for (int i = 1; i <= m - s && i <= s; ++i)
        profile[s - i] = profile[s - i] + profile[s + i];
    return profile;
}

static float sumOfTable(int width)
{
    float sum = 0;
    for (int r = 0; r < width; ++r)
        for (int c = 0; c < width; ++c)
            sum = sum + table_exp[r][c];
    return sum;
}

void initGauss(float sigma)
{
    if (sigma == g_scale)
        return;
    if (!(sigma > 0)) {
        emptyCache();
        return;
    }
    g_scale = sigma;
    const int s = roundedMultiple(3.0f, sigma);
    g_size = s;
    freeTable();
    tableOwner.adopt(allocateTable(2 * s + 1));

    const std::vector<float> profile = foldedProfile(sigma, s, roundedMultiple(5.0f, sigma));
    for (int a = 0; a <= s; ++a) {
        for (int b = 0; b <= s; ++b) {
            const float v = profile[b] * profile[a];
            table_exp[s - a][s - b] = v;
            table_exp[s + a][s + b] = v;
            table_exp[s - a][s + b] = v;
            table_exp[s + a][s - b] = v;
        }
    }
    total = sumOfTable(2 * s + 1);
}

double convolution(int x, int y, DERY* image, float** kernel)
{
    const int s = g_size;
    if (!kernel || x < s || y < s || x + s >= image->cols || y + s >= image->rows)
        return 0;
    double sum = 0;
    for (int i = -s; i <= s; ++i)
        for (int j = -s; j <= s; ++j)
            sum += static_cast<double>(kernel[s + j][s + i]) * image->pixels[y + j][x + i];
    return sum;
}

float smoothf(int x, int y, DERY* image, float sigma)
{
    initGauss(sigma);
    if (!table_exp)
        return 0;
    return static_cast<float>(convolution(x, y, image, table_exp) / total);
}
