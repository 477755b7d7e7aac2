// The steps every frame goes through in the frame loop: the grey
// conversion, the flow, the picture and the per-frame lines on standard
// output.
#ifndef OF_ULK_FRAME_STEPS_H
#define OF_ULK_FRAME_STEPS_H

#include "cvoptflowulk.h"
#include "image_holder.h"

#include <opencv2/core.hpp>

#include <string>

namespace ulk::viewer {

// What the picture of a frame shows.
struct PictureMode {
    bool stuffInfo = false; // the diagnostic overlay of the engine's run
    bool addFields = false; // the colour of the sum of the last two fields
};

// Turns one frame into grey, a CV_8UC1 image of the size the source
// declared. Returns "" on success, else the message (one line, ending in a
// newline) that ends the run: a frame of another size or of a pixel format
// without a grey conversion must not reach the engine. frameNumber counts
// from 1; shownSource names the source as messages show it.
std::string frameToGrey(const cv::Mat& frame, cv::Mat& grey, long frameNumber,
                        const std::string& shownSource);

// Computes the flow from the older to the newer grey image into velx and
// vely (CV_32FC1, same size) with the given storage; info receives the
// engine's records when it is not null. Engine errors are thrown as
// cv::Exception.
void computeFlow(const cv::Mat& older, const cv::Mat& newer, cv::Mat& velx,
                 cv::Mat& vely, CvMemStorage* storage, StuffInfo* info,
                 bool refined);

// The picture of one frame, painted into result (CV_8UC3, frame size).
// The overlay of the engine's records is drawn over what result held and
// its segment and tracking-point counts are printed.
void paintOverlay(const StuffInfo& info, viz::ImageHolder& result);
// The colour of one field (velx, vely).
void paintColour(const cv::Mat& velx, const cv::Mat& vely,
                 viz::ImageHolder& result);
// The colour of the sum of two fields, first + second, which is kept in
// (sumX, sumY).
void paintColourOfSum(const cv::Mat& firstX, const cv::Mat& firstY,
                      const cv::Mat& secondX, const cv::Mat& secondY,
                      cv::Mat& sumX, cv::Mat& sumY, viz::ImageHolder& result);

// Prints the film position line of a frame read at this position.
void printPosition(double milliseconds);

// Prints why the run ends on standard error, after what was printed.
void printProblem(const std::string& message);

} // namespace ulk::viewer

#endif
