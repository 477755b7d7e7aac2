#include "core_share.h"

#include <opencv2/core/utility.hpp>

#include <algorithm>

namespace ulk::frontend {

int engineThreadsPerWorker(int workers, int cores)
{
    return std::max(1, cores / std::max(1, workers));
}

CoreShare::CoreShare(int workers, int cores) : before_(cv::getNumThreads())
{
    if (cores <= 0)
        cores = cv::getNumberOfCPUs();
    const int threads = engineThreadsPerWorker(workers, cores);
    if (threads != before_)
        cv::setNumThreads(threads);
}

CoreShare::~CoreShare()
{
    if (cv::getNumThreads() != before_)
        cv::setNumThreads(before_);
}

} // namespace ulk::frontend
