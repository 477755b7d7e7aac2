// Fuzz target for cvDoForEachContourPoint: a random label map of one of the
// seven element types, a start pixel, and a walk that must end within a
// bound proportional to the map size, reporting only region members.
#include "cvoptflowulk.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

const int kTypes[] = {CV_8UC1,  CV_8SC1,  CV_16UC1, CV_16SC1,
                      CV_32SC1, CV_32FC1, CV_64FC1};

struct WalkCheck {
    const CvMat* map;
    long calls;
    long limit;
};

bool countAndCheck(int x, int y, int label, int direction, void* userData)
{
    WalkCheck* check = static_cast<WalkCheck*>(userData);
    if (++check->calls > check->limit) {
        std::fprintf(stderr, "walk does not end\n");
        std::abort();
    }
    if (label != 0 && cvGetSegIndex(check->map, x, y) != label) {
        std::fprintf(stderr, "walk left its region at (%d, %d)\n", x, y);
        std::abort();
    }
    if (!(direction == 0 || direction == 2 || direction == 4 ||
          direction == 6 || direction == 9)) {
        std::fprintf(stderr, "direction %d reported\n", direction);
        std::abort();
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 6)
        return 0;
    int type = kTypes[data[0] % 7];
    int cols = 1 + data[1] % 32;
    int rows = 1 + data[2] % 32;
    int labels = 1 + data[3] % 4;
    int startX = data[4] % cols;
    int startY = data[5] % rows;
    data += 6;
    size -= 6;

    CvMat* map = cvCreateMat(rows, cols, type);
    for (int y = 0; y < rows; ++y)
        for (int x = 0; x < cols; ++x) {
            size_t i = static_cast<size_t>(y) * cols + x;
            int v = size ? data[i % size] % labels : 0;
            // Negative and large values exercise the sign handling.
            if (v == 3)
                v = (type == CV_16UC1 || type == CV_8UC1) ? 200 : -5;
            cvSet2D(map, y, x, cvRealScalar(v));
        }
    WalkCheck check{map, 0, 8L * rows * cols + 16};
    cvDoForEachContourPoint(countAndCheck, map, startX, startY, &check);
    cvReleaseMat(&map);
    return 0;
}
