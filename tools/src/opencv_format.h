// Frames and descriptors as a cv::FileStorage YAML file that OpenCV reads
// with cv::read(node, std::vector<cv::KeyPoint>&) and cv::Mat.
#ifndef TOLVANE_OPENCV_FORMAT_H
#define TOLVANE_OPENCV_FORMAT_H

#include "frame_formats.h"

#include <string>

namespace tolvane {

// The nodes:
//   keypoints     one cv::KeyPoint per frame: pt the frame's centre (pixel
//                 centres at integers, as OpenCV has them); size
//                 2 sqrt(|det A|) of the frame matrix A, the diameter of the
//                 circle with the region ellipse's area; angle
//                 atan2(a21, a11) in degrees, 0 to 360, the direction of the
//                 frame's x axis measured from +x towards +y (clockwise on
//                 screen, as OpenCV measures keypoint angles); response the
//                 region's response; octave the region's pyramid level;
//                 class_id the index of the region the frame belongs to.
//                 Response, octave and class_id are 0, 0, -1 where the
//                 regions are not known.
//   descriptors   frames x descriptor length, CV_8U (empty without).
//   frames        frames x 6, CV_32F: x y a11 a12 a21 a22, the full shape.
//   image_width, image_height
std::string openCvFramesText(const DescriptionInfo& info, const FrameSet& set);

// Frames from the `frames` node, or, in a file OpenCV wrote itself, from the
// keypoints (a circle of diameter `size` turned by `angle`), with the
// descriptors. False with a reason.
bool readOpenCvFrames(const std::string& content, FrameSet& set, int& width, int& height, std::string& error);

}  // namespace tolvane

#endif
