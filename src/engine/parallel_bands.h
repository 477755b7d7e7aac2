// How the engine splits a stage into stripes for cv::parallel_for_.
#ifndef OF_ULK_PARALLEL_BANDS_H
#define OF_ULK_PARALLEL_BANDS_H

#include <opencv2/core/utility.hpp>

#include <algorithm>

namespace ulk {

// Stripes per thread: a few, so that a slow stripe does not hold the others
// up at the end of a stage.
const int kStripesPerThread = 4;

// The stripe count for `items` units of work of which each stripe should
// get at least minPerStripe (every stripe repeats some set-up work), with
// at most perThread stripes per thread. One stripe when OpenCV runs on one
// thread, so that nothing is split for nothing.
inline double stripeCount(int items, int minPerStripe,
                          int perThread = kStripesPerThread)
{
    const int threads = cv::getNumThreads();
    if (threads <= 1)
        return 1.0;
    const int most = std::max(items / std::max(minPerStripe, 1), 1);
    return double(std::min(most, threads * perThread));
}

} // namespace ulk

#endif
