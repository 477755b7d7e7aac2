// The pipeline's workers and OpenCV's threads share the cores: each worker
// gets the cores the others leave, and the setting before comes back.
#include "core_share.h"

#include <gtest/gtest.h>

#include <opencv2/core/utility.hpp>

using namespace ulk::frontend;

TEST(CoreShare, WorkersAndEngineThreadsKeepToTheCores)
{
    EXPECT_EQ(engineThreadsPerWorker(2, 2), 1);
    EXPECT_EQ(engineThreadsPerWorker(1, 2), 2);
    EXPECT_EQ(engineThreadsPerWorker(3, 2), 1);
    EXPECT_EQ(engineThreadsPerWorker(2, 8), 4);
    EXPECT_EQ(engineThreadsPerWorker(3, 8), 2);
    EXPECT_EQ(engineThreadsPerWorker(0, 4), 4);
}

TEST(CoreShare, SetsOpenCVThreadsWhileAliveAndRestoresThem)
{
    const int before = cv::getNumThreads();
    cv::setNumThreads(1);
    {
        const CoreShare share(1, 2);
        EXPECT_EQ(cv::getNumThreads(), 2);
    }
    EXPECT_EQ(cv::getNumThreads(), 1);
    cv::setNumThreads(2);
    {
        const CoreShare share(2, 2);
        EXPECT_EQ(cv::getNumThreads(), 1);
    }
    EXPECT_EQ(cv::getNumThreads(), 2);
    cv::setNumThreads(before);
}
