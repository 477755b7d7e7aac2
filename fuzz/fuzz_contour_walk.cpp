// Fuzz target for cvDoForEachContourPoint: a random label map of one of the
// seven element types, a start pixel (possibly outside the map), and a walk
// that must end within a bound proportional to the map size, reporting only
// region members with the outside on their left.
#include "cvoptflowulk.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

const int kTypes[] = {CV_8UC1,  CV_8SC1,  CV_16UC1, CV_16SC1,
                      CV_32SC1, CV_32FC1, CV_64FC1};

// Neighbour offsets by direction code: 0 left, then clockwise on the
// screen in 45 degree steps.
const int kDx[8] = {-1, -1, 0, 1, 1, 1, 0, -1};
const int kDy[8] = {0, -1, -1, -1, 0, 1, 1, 1};

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
    // The walk keeps the outside on its left: the pixel to the left of a
    // reported side direction is no member.
    if (direction != 9) {
        const int left = (direction + 6) % 8;
        if (cvGetSegIndex(check->map, x + kDx[left], y + kDy[left]) == label) {
            std::fprintf(stderr, "member on the left of (%d, %d) dir %d\n", x,
                         y, direction);
            std::abort();
        }
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
    // Starts up to two pixels outside the map read label 0.
    int startX = data[4] % (cols + 4) - 2;
    int startY = data[5] % (rows + 4) - 2;
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
