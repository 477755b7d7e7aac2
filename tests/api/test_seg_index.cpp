#include "cvoptflowulk.h"
#include "support.h"

#include <gtest/gtest.h>

#include <climits>
#include <limits>

namespace {

struct TypeCase {
    int type;
    double stored;
    int expected;
};

// A 4 x 3 map whose element (x, y) holds 10 * y + x, except (2, 1).
cv::Mat numberedMap(int type, double special)
{
    cv::Mat m(3, 4, type);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 4; ++x)
            m(cv::Rect(x, y, 1, 1)) = cv::Scalar(10 * y + x);
    m(cv::Rect(2, 1, 1, 1)) = cv::Scalar(special);
    return paddedView(m);
}

} // namespace

TEST(SegIndex, ReadsEverySupportedTypeAtItsPosition)
{
    const TypeCase cases[] = {
        {CV_8UC1, 200, 200},
        {CV_8SC1, -1, 255},
        {CV_8SC1, 100, 100},
        {CV_16UC1, 65535, -1},
        {CV_16UC1, 32767, 32767},
        {CV_16UC1, 32768, -32768},
        {CV_16SC1, -5, -5},
        {CV_32SC1, -100000, -100000},
        {CV_32FC1, -2.7, -2},
        {CV_32FC1, 2.7, 2},
        {CV_64FC1, -2.7, -2},
        {CV_64FC1, 2.7, 2},
        {CV_64FC1, 1e6 + 0.9, 1000000},
        // Beyond the int range saturates; NaN reads 0.
        {CV_32FC1, 3e9, INT_MAX},
        {CV_32FC1, -3e9, INT_MIN},
        {CV_32FC1, std::numeric_limits<float>::infinity(), INT_MAX},
        {CV_32FC1, std::numeric_limits<double>::quiet_NaN(), 0},
        {CV_64FC1, 2147483647.9, INT_MAX},
        {CV_64FC1, -2147483648.9, INT_MIN},
        {CV_64FC1, 1e300, INT_MAX},
        {CV_64FC1, -std::numeric_limits<double>::infinity(), INT_MIN},
        {CV_64FC1, std::numeric_limits<double>::quiet_NaN(), 0},
    };
    for (const TypeCase& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "type " << c.type << " stored " << c.stored);
        cv::Mat m = numberedMap(c.type, c.stored);
        CvMat header = cvMat(m);
        for (int y = 0; y < 3; ++y)
            for (int x = 0; x < 4; ++x)
                EXPECT_EQ(cvGetSegIndex(&header, x, y),
                          x == 2 && y == 1 ? c.expected : 10 * y + x)
                    << "at " << x << ", " << y;
    }
}

TEST(SegIndex, OutsideTheMapReadsZeroForAnyType)
{
    for (int type : {CV_16UC1, CV_8UC3, CV_16UC2}) {
        SCOPED_TRACE(testing::Message() << "type " << type);
        cv::Mat m(3, 4, type, cv::Scalar::all(9));
        CvMat header = cvMat(m);
        for (cv::Point p :
             {cv::Point(-1, 0), cv::Point(0, -1), cv::Point(4, 0),
              cv::Point(0, 3), cv::Point(-1, -1), cv::Point(4, 3)})
            EXPECT_EQ(cvGetSegIndex(&header, p.x, p.y), 0) << p;
    }
}

TEST(SegIndex, UnsupportedTypesInRangeAndNullMapsAreReported)
{
    for (int type : {CV_8UC3, CV_16UC2, CV_32FC3, CV_8SC2, CV_64FC2}) {
        SCOPED_TRACE(testing::Message() << "type " << type);
        cv::Mat m(3, 4, type, cv::Scalar::all(9));
        CvMat header = cvMat(m);
        EXPECT_CV_ERROR(cvGetSegIndex(&header, 3, 2), CV_StsUnsupportedFormat,
                        "cvGetSegIndex",
                        "Format must be CV_8UC1, CV_8SC1, CV_16UC1, CV_16SC1, "
                        "CV_32SC1, CV_32FC1 or CV_64FC1");
    }
    EXPECT_CV_ERROR(cvGetSegIndex(nullptr, 0, 0), CV_StsNullPtr,
                    "cvGetSegIndex", "NULL map pointer ");
}
