// Segment-aware smoothing: a separable Gaussian whose taps count only pixels
// of the centre pixel's segment, then a hole fill of the pixels that belong
// to no segment by a normalised box filter of the segment pixels.
#include "refine/segment_smoothing.h"

#include <opencv2/core.hpp>
#include <opencv2/core/core_c.h>
#include <opencv2/imgproc.hpp>

#include <cmath>

namespace ulk {

namespace {

// Labels above this value are segments; the rest is no segment.
const int kLastLevelValue = 64;
// Taps on each side of the centre and the Gaussian's sigma: the 7 x 7
// neighbourhood and sigma of the engine's own smoothing.
const int kRadius = 3;
const double kSigma = 7.0;
// Side of the box that fills pixels of no segment from the segment pixels
// around them.
const int kFillBox = 17;

// One pass along rows (vertical false) or columns (vertical true): each
// pixel of a segment takes the normalised weighted mean of the pixels of
// its own segment within kRadius.
void sameLabelPass(const cv::Mat& labels, const cv::Mat& in, cv::Mat& out,
                   bool vertical, const float* weights)
{
    const int rows = labels.rows;
    const int cols = labels.cols;
    for (int y = 0; y < rows; ++y) {
        const unsigned short* labelRow = labels.ptr<unsigned short>(y);
        const float* inRow = in.ptr<float>(y);
        float* outRow = out.ptr<float>(y);
        for (int x = 0; x < cols; ++x) {
            const unsigned short label = labelRow[x];
            if (label <= kLastLevelValue) {
                outRow[x] = inRow[x];
                continue;
            }
            float sum = 0.0f;
            float weight = 0.0f;
            for (int k = -kRadius; k <= kRadius; ++k) {
                const int xx = vertical ? x : x + k;
                const int yy = vertical ? y + k : y;
                if (xx < 0 || yy < 0 || xx >= cols || yy >= rows)
                    continue;
                if (labels.at<unsigned short>(yy, xx) != label)
                    continue;
                const float w = weights[k + kRadius];
                sum += w * in.at<float>(yy, xx);
                weight += w;
            }
            outRow[x] = sum / weight;
        }
    }
}

void smoothOne(const cv::Mat& labels, const cv::Mat& segmentMask,
               const cv::Mat& maskSum, cv::Mat field, const float* weights)
{
    cv::Mat across(field.size(), CV_32FC1);
    cv::Mat smooth(field.size(), CV_32FC1);
    sameLabelPass(labels, field, across, false, weights);
    sameLabelPass(labels, across, smooth, true, weights);

    cv::Mat masked;
    cv::multiply(smooth, segmentMask, masked);
    cv::Mat valueSum;
    cv::boxFilter(masked, valueSum, CV_32F, cv::Size(kFillBox, kFillBox),
                  cv::Point(-1, -1), false, cv::BORDER_REPLICATE);
    for (int y = 0; y < field.rows; ++y) {
        const unsigned short* labelRow = labels.ptr<unsigned short>(y);
        const float* smoothRow = smooth.ptr<float>(y);
        const float* valueRow = valueSum.ptr<float>(y);
        const float* countRow = maskSum.ptr<float>(y);
        float* fieldRow = field.ptr<float>(y);
        for (int x = 0; x < field.cols; ++x) {
            if (labelRow[x] > kLastLevelValue)
                fieldRow[x] = smoothRow[x];
            else
                fieldRow[x] =
                    countRow[x] > 0.0f ? valueRow[x] / countRow[x] : 0.0f;
        }
    }
}

} // namespace

void smoothWithinSegments(const CvMat* labelMap, CvMat* velx, CvMat* vely)
{
    float weights[2 * kRadius + 1];
    for (int k = -kRadius; k <= kRadius; ++k)
        weights[k + kRadius] =
            float(std::exp(-k * k / (2.0 * kSigma * kSigma)));

    const cv::Mat labels = cv::cvarrToMat(labelMap);
    cv::Mat segmentMask;
    cv::compare(labels, cv::Scalar(kLastLevelValue), segmentMask, cv::CMP_GT);
    segmentMask.convertTo(segmentMask, CV_32F, 1.0 / 255.0);
    cv::Mat maskSum;
    cv::boxFilter(segmentMask, maskSum, CV_32F, cv::Size(kFillBox, kFillBox),
                  cv::Point(-1, -1), false, cv::BORDER_REPLICATE);

    smoothOne(labels, segmentMask, maskSum, cv::cvarrToMat(velx), weights);
    smoothOne(labels, segmentMask, maskSum, cv::cvarrToMat(vely), weights);
}

} // namespace ulk
