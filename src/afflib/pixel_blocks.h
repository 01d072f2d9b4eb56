// The memory of images: a zeroed block of `size` floats (at least one),
// from the system in huge pages when it is large; nullptr when there is no
// memory. Released with the same size.
#ifndef AFFLIB_PIXEL_BLOCKS_H
#define AFFLIB_PIXEL_BLOCKS_H

float* allocatePixelBlock(int size);
void releasePixelBlock(float* block, int size);

#endif
