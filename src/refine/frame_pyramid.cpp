// Frame pyramid: each level the previous one halved by area averaging, the
// same reduction for the point search and the variational refinement.
#include "refine/frame_pyramid.h"

#include <opencv2/core/core_c.h>
#include <opencv2/imgproc.hpp>

namespace ulk {

void FramePyramid::build(const CvMat* srcA, const CvMat* srcB, int levels)
{
    older_.assign(1, cv::cvarrToMat(srcA));
    newer_.assign(1, cv::cvarrToMat(srcB));
    for (int level = 1; level < levels; ++level) {
        const cv::Size size(older_.back().cols / 2, older_.back().rows / 2);
        if (size.width < 1 || size.height < 1)
            break;
        cv::Mat older, newer;
        cv::resize(older_.back(), older, size, 0, 0, cv::INTER_AREA);
        cv::resize(newer_.back(), newer, size, 0, 0, cv::INTER_AREA);
        older_.push_back(older);
        newer_.push_back(newer);
    }
}

} // namespace ulk
