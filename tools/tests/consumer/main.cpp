// Detects the one region of a bright blob and prints its ellipse.
#include <afflib.h>

#include <cmath>
#include <cstdio>
#include <vector>

int main()
{
    DERY image(40, 40);
    for (int r = 0; r < 40; ++r)
        for (int c = 0; c < 40; ++c)
            image.pixels[r][c] = static_cast<float>(20.0 + 200.0 * std::exp(-((c - 17.0) * (c - 17.0) + (r - 20.0) * (r - 20.0)) / 18.0));
    std::vector<AffRegion*> regions;
    multi_scale_hes(&image, regions, 1000.0f, 16);
    Ellipse ellipse{};
    if (regions.size() != 1 || !regionEllipse(*regions[0], ellipse))
        return 1;
    std::printf("%zu region at %g %g\n", regions.size(), ellipse.x, ellipse.y);
    delete regions[0];
    return 0;
}
