// tolvane.ln: lists the Hessian-affine regions of one binary PGM image.
#include "afflib.h"

#include <iostream>
#include <string>
#include <vector>

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::cout << "usage: ./tolvane.ln image.pgm" << std::endl;
        return 0;
    }
    std::string error;
    DERY* image = readPGM(argv[1], error);
    if (!image) {
        std::cerr << "tolvane.ln: " << error << std::endl;
        return 1;
    }
    std::vector<AffRegion*> regions;
    multi_scale_hes(image, regions, 1000.0f, 16);
    listRegions(std::cout, regions);
    // The image and the regions live until the process ends.
    return 0;
}
