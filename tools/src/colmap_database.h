// Images with their keypoints and descriptors written into a COLMAP
// database (SQLite), in the schema and conventions COLMAP documents, so that
// COLMAP's matchers and mapper run on them.
#ifndef TOLVANE_COLMAP_DATABASE_H
#define TOLVANE_COLMAP_DATABASE_H

#include "frame_formats.h"

#include <string>

struct sqlite3;

namespace tolvane {

// What is written for one image:
//   cameras      one per image: SIMPLE_RADIAL (model 2) with the parameters
//                f = 1.2 max(width, height), cx = width / 2, cy = height / 2,
//                k = 0 (float64), prior_focal_length 0, as COLMAP assumes
//                for an image without a known focal length.
//   images       the name (the path relative to the image folder COLMAP is
//                given) and the camera.
//   keypoints    rows x 6 float32: x y a11 a12 a21 a22, COLMAP's affine
//                keypoints: the frame's centre in COLMAP's pixel convention
//                (the upper left corner of the image at (0, 0), the centre
//                of its first pixel at (0.5, 0.5): our x and y plus 0.5) and
//                the frame matrix, whose columns are the images of the
//                patch's x and y axes (scale and orientation follow from
//                the first column as COLMAP computes them).
//   descriptors  rows x 128 uint8.
struct ColmapImage {
    std::string name;
    int width = 0;
    int height = 0;
    const FrameSet* frames = nullptr;  // descriptors of 128 bytes
};

// An open COLMAP database; missing tables are created (CREATE TABLE IF NOT
// EXISTS with COLMAP's own statements), so an existing database is added to.
// Every member throws Error with a reason that does not name the file.
class ColmapDatabase {
public:
    explicit ColmapDatabase(const std::string& path);
    ~ColmapDatabase();
    ColmapDatabase(const ColmapDatabase&) = delete;
    ColmapDatabase& operator=(const ColmapDatabase&) = delete;

    bool hasImageNamed(const std::string& name) const;
    // The camera, image, keypoints and descriptors of one image, all or none.
    void add(const ColmapImage& image);

private:
    void execute(const std::string& sql) const;

    sqlite3* db_ = nullptr;
};

}  // namespace tolvane

#endif
