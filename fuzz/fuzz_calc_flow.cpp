// Fuzz target for cvCalcOpticalFlowULK: the input chooses the frame size
// (1 to 200 each way), whether a StuffInfo is asked for, and the pixels of
// both frames. Every run checks the engine's invariants.
#include "cvoptflowulk.h"

#include <opencv2/core.hpp>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>

namespace {

// Largest displacement that the matching can give, in pixels.
const float kMaxSpeed = 10.0f;

void check(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

void fillFrame(CvMat* frame, const uint8_t* data, size_t size, size_t offset)
{
    for (int y = 0; y < frame->rows; ++y)
        for (int x = 0; x < frame->cols; ++x) {
            size_t i = offset + static_cast<size_t>(y) * frame->cols + x;
            frame->data.ptr[y * frame->step + x] =
                size == 0 ? 0 : data[i % size];
        }
}

void checkStuffInfo(const StuffInfo& info, int rows, int cols)
{
    check(info.idxMap.rows == rows && info.idxMap.cols == cols, "map size");
    check(CV_MAT_TYPE(info.idxMap.type) == CV_16UC1, "map type");

    const unsigned short* map =
        reinterpret_cast<const unsigned short*>(info.idxMap.data.ptr);
    check(info.idxMap.step == cols * 2, "map is continuous");

    std::set<const void*> points;
    for (int i = 0; i < info.trackPoints->total; ++i) {
        const TrackPoint* p = reinterpret_cast<const TrackPoint*>(
            cvGetSeqElem(info.trackPoints, i));
        points.insert(p);
        check(p->x >= 0 && p->x < cols && p->y >= 0 && p->y < rows,
              "point inside the frame");
        check(p->valid == 0 || p->valid == 1, "valid flag");
        check(std::abs(p->vx) <= kMaxSpeed && std::abs(p->vy) <= kMaxSpeed,
              "point speed");
        if (p->valid == 0)
            check(p->vx == 0 && p->vy == 0, "rejected point moves");
    }

    std::set<int> recordLabels;
    int previous = 64;
    for (int i = 0; i < info.segments->total; ++i) {
        const SegmentRecord* s = reinterpret_cast<const SegmentRecord*>(
            cvGetSeqElem(info.segments, i));
        int label = s->label;
        check(label == previous + 1, "labels count up from 65");
        previous = label;
        recordLabels.insert(label);
        int x = s->startX, y = s->startY;
        check(x >= 0 && x < cols && y >= 0 && y < rows, "seed inside");
        check(map[y * cols + x] == label, "seed pixel holds the label");
        check(s->rectX >= 0 && s->rectY >= 0 && s->rectWidth >= 0 &&
                  s->rectHeight >= 0 && s->rectX + s->rectWidth < cols &&
                  s->rectY + s->rectHeight < rows,
              "rectangle inside the frame");
        check(s->rectX <= x && x <= s->rectX + s->rectWidth && s->rectY <= y &&
                  y <= s->rectY + s->rectHeight,
              "rectangle holds the seed");
        CvSeq* list = s->points;
        for (int k = 0; k < list->total; ++k) {
            const void* ref;
            std::memcpy(&ref, cvGetSeqElem(list, k), sizeof(ref));
            check(points.count(ref) == 1, "point list into trackPoints");
        }
    }

    std::set<int> mapLabels;
    for (int i = 0; i < rows * cols; ++i)
        if (map[i] >= 65)
            mapLabels.insert(map[i]);
    check(mapLabels == recordLabels, "map labels match the records");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 5)
        return 0;
    int cols = 1 + (data[0] | data[1] << 8) % 200;
    int rows = 1 + (data[2] | data[3] << 8) % 200;
    bool withInfo = data[4] & 1;
    data += 5;
    size -= 5;

    CvMat* a = cvCreateMat(rows, cols, CV_8UC1);
    CvMat* b = cvCreateMat(rows, cols, CV_8UC1);
    CvMat* vx = cvCreateMat(rows, cols, CV_32FC1);
    CvMat* vy = cvCreateMat(rows, cols, CV_32FC1);
    fillFrame(a, data, size, 0);
    fillFrame(b, data, size, static_cast<size_t>(rows) * cols);
    CvMemStorage* storage = cvCreateMemStorage(rows * cols * 2 + 4096);
    StuffInfo info;
    std::memset(&info, 0, sizeof(info));

    cvCalcOpticalFlowULK(a, b, vx, vy, storage, withInfo ? &info : nullptr);

    for (int y = 0; y < rows; ++y)
        for (int x = 0; x < cols; ++x) {
            float u = CV_MAT_ELEM(*vx, float, y, x);
            float v = CV_MAT_ELEM(*vy, float, y, x);
            check(std::isfinite(u) && std::isfinite(v), "finite velocity");
            check(std::fabs(u) <= kMaxSpeed + 1e-3f &&
                      std::fabs(v) <= kMaxSpeed + 1e-3f,
                  "velocity range");
        }
    if (withInfo) {
        checkStuffInfo(info, rows, cols);
        // The StuffInfo must not change the field.
        CvMat* ux = cvCreateMat(rows, cols, CV_32FC1);
        CvMat* uy = cvCreateMat(rows, cols, CV_32FC1);
        cvCalcOpticalFlowULK(a, b, ux, uy, storage, nullptr);
        check(cvNorm(vx, ux, CV_C) == 0.0 && cvNorm(vy, uy, CV_C) == 0.0,
              "same field without the StuffInfo");
        cvReleaseMat(&uy);
        cvReleaseMat(&ux);
    }

    cvReleaseMemStorage(&storage);
    cvReleaseMat(&vy);
    cvReleaseMat(&vx);
    cvReleaseMat(&b);
    cvReleaseMat(&a);
    return 0;
}
