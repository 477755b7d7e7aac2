// Middlebury .flo files: the tag "PIEH" (the float 202021.25 in little-endian
// order), the width and the height as 32-bit little-endian integers, then the
// x and y velocity of every pixel, row by row, as 32-bit floats.
#ifndef OF_ULK_FLO_FILE_H
#define OF_ULK_FLO_FILE_H

#include <opencv2/core.hpp>

#include <string>

namespace ulk::viz {

// Writes a non-empty CV_32FC2 field (x, y velocity) to path, replacing any
// file there. Returns false and sets error to one line naming the reason.
bool writeFlowFile(const std::string& path, const cv::Mat& flow,
                   std::string& error);

// Reads a whole .flo file into a new CV_32FC2 field. Returns false, leaves
// flow empty and sets error when the file cannot be read, has another tag,
// a size that is not positive, or a length other than its size asks for.
bool readFlowFile(const std::string& path, cv::Mat& flow, std::string& error);

} // namespace ulk::viz

#endif
