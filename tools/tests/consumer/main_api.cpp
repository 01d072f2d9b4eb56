// Detects the one region of a bright blob in a padded 8-bit buffer with the
// namespaced API, beside other libraries' names in the global namespace.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <set>
#include <vector>

#include <tolvane/tolvane.h>

using namespace std;

int main()
{
    const int width = 40, height = 40, stride = 48;
    vector<uint8_t> pixels(stride * height, 0);
    for (int r = 0; r < height; ++r)
        for (int c = 0; c < width; ++c)
            pixels[r * stride + c] = static_cast<uint8_t>(
                lround(20.0 + 200.0 * exp(-((c - 17.0) * (c - 17.0) + (r - 20.0) * (r - 20.0)) / 18.0)));
    set<int> unrelated{1, 2};
    try {
        const vector<tolvane::Region> regions =
            tolvane::detect(tolvane::ImageView(pixels.data(), width, height, stride));
        printf("%zu region at %g %g\n", regions.size() + unrelated.size() - 2,
               regions.empty() ? 0.0 : regions[0].x, regions.empty() ? 0.0 : regions[0].y);
    } catch (const tolvane::Error& e) {
        fprintf(stderr, "consumer: %s\n", e.what());
        return 1;
    }
    return 0;
}
