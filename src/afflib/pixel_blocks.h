// The memory of images: a zeroed block of `floats` floats (at least one),
// from the system in huge pages when it is large; nullptr when there is no
// memory. Released with the same count.
#ifndef AFFLIB_PIXEL_BLOCKS_H
#define AFFLIB_PIXEL_BLOCKS_H

#include <cstddef>

float* allocatePixelBlock(std::size_t floats);
void releasePixelBlock(float* block, std::size_t floats);

// Asks the system to back the whole huge pages within [data, data + bytes)
// of a buffer not yet touched with huge pages, so that filling it faults
// 2 MB at a time rather than 4 KB; a hint, without effect where there are none.
void adviseHugePages(void* data, std::size_t bytes);

#endif
