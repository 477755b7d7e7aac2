// Helpers shared by the tests.
#ifndef OF_ULK_TESTS_SUPPORT_H
#define OF_ULK_TESTS_SUPPORT_H

#include <opencv2/core.hpp>

#include <string>

// Runs fn and expects it to throw cv::Exception with this code, function
// name and message (compared exactly).
#define EXPECT_CV_ERROR(statement, expectedCode, expectedFunc, expectedMsg) \
    do {                                                                    \
        bool thrown_ = false;                                               \
        try {                                                               \
            statement;                                                      \
        } catch (const cv::Exception& e_) {                                 \
            thrown_ = true;                                                 \
            EXPECT_EQ(e_.code, (expectedCode));                             \
            EXPECT_EQ(e_.func, std::string(expectedFunc));                  \
            EXPECT_EQ(e_.err, std::string(expectedMsg));                    \
        }                                                                   \
        EXPECT_TRUE(thrown_) << "no cv::Exception from " #statement;        \
    } while (0)

// A fresh directory under the build tree for one test's files.
std::string testTempDir(const std::string& name);

// Folder of the shared real test material, or "" when it is absent.
std::string sharedDataDir();

#endif
