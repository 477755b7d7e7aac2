// Fuzz target for cvCalcOpticalFlowULK. The input chooses the frame size,
// whether a StuffInfo is asked for, and how the frames are made: either its
// own bytes, repeated, are the pixels of both frames (1 to 200 pixels each
// way), or a seeded generator draws a scene of up to 512 x 512 from a few
// bytes, and moves it, so that small inputs reach large frames with large
// segments. Every run checks the engine's invariants.
#include "cvoptflowulk.h"

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>

namespace {

// Largest displacement that the matching can give, in pixels.
const float kMaxSpeed = 10.0f;
// Largest side of frames made of the input's bytes: larger ones would only
// repeat the bytes.
const int kMaxByteFrameSide = 200;
// Largest side of generated frames: large enough for segments of tens of
// thousands of pixels, small enough for a few runs per second.
const int kMaxGeneratedSide = 512;
// Flag bits of the fifth byte.
const uint8_t kFlagStuffInfo = 1;
const uint8_t kFlagGenerated = 2;
// The generator's parameters follow the five header bytes.
enum GeneratorByte {
    kSeed0 = 0,  // four bytes of the generator's seed
    kShapes = 4, // number of shapes, 0 to 63
    kNoise = 5,  // noise amplitude added to both frames
    kShiftX = 6, // motion of the whole scene, -16 to 15 pixels
    kShiftY = 7, // the same downward
    kLevels = 8, // grey levels are multiples of 1 + this % 64
    kMoving = 9, // how many of the last shapes move on their own, how far
};

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

// Byte i of the generator's parameters; absent bytes read 0.
uint8_t param(const uint8_t* data, size_t size, int i)
{
    return static_cast<size_t>(i) < size ? data[i] : 0;
}

// Draws the older and the newer frame of a scene: shapes of quantised grey
// levels on a background, the whole scene shifted between the frames, the
// last few shapes also moving on their own, and noise on both.
void generateFrames(CvMat* older, CvMat* newer, const uint8_t* data,
                    size_t size)
{
    uint32_t seed = 0;
    for (int i = 0; i < 4; ++i)
        seed |= uint32_t(param(data, size, kSeed0 + i)) << (8 * i);
    cv::RNG rng(0x9E3779B97F4A7C15ull ^ seed);
    const int shapes = param(data, size, kShapes) % 64;
    const int noise = param(data, size, kNoise) / 4;
    const int shiftX = param(data, size, kShiftX) % 32 - 16;
    const int shiftY = param(data, size, kShiftY) % 32 - 16;
    const int levelStep = 1 + param(data, size, kLevels) % 64;
    const int firstMoving = shapes - param(data, size, kMoving) % 8;
    const cv::Point ownMotion(param(data, size, kMoving) / 8 % 24 - 12,
                              param(data, size, kMoving) / 8 % 7 - 3);

    // The scene is larger than the frame by the largest shift each way.
    const int margin = 16;
    const cv::Size frameSize(older->cols, older->rows);
    const cv::Size sceneSize(frameSize.width + 2 * margin,
                             frameSize.height + 2 * margin);
    auto level = [&] { return rng.uniform(0, 256) / levelStep * levelStep; };
    cv::Mat olderScene(sceneSize, CV_8UC1, cv::Scalar(level()));
    cv::Mat newerScene = olderScene.clone();
    for (int i = 0; i < shapes; ++i) {
        const int kind = rng.uniform(0, 4);
        const cv::Point p(rng.uniform(0, sceneSize.width),
                          rng.uniform(0, sceneSize.height));
        const cv::Point q(rng.uniform(0, sceneSize.width),
                          rng.uniform(0, sceneSize.height));
        const cv::Size axes(rng.uniform(1, sceneSize.width / 2 + 2),
                            rng.uniform(1, sceneSize.height / 2 + 2));
        const int thickness = rng.uniform(1, 9);
        const double angle = rng.uniform(0, 180);
        const cv::Scalar grey(level());
        const cv::Point moved = i >= firstMoving ? ownMotion : cv::Point();
        for (cv::Mat* scene : {&olderScene, &newerScene}) {
            const cv::Point d = scene == &newerScene ? moved : cv::Point();
            switch (kind) {
            case 0:
                cv::rectangle(*scene, p + d, q + d, grey, cv::FILLED);
                break;
            case 1:
                cv::circle(*scene, p + d, axes.width, grey, cv::FILLED);
                break;
            case 2:
                cv::line(*scene, p + d, q + d, grey, thickness);
                break;
            default:
                cv::ellipse(*scene, p + d, axes, angle, 0, 360, grey,
                            cv::FILLED);
                break;
            }
        }
    }

    cv::Mat a = cv::cvarrToMat(older);
    cv::Mat b = cv::cvarrToMat(newer);
    olderScene(cv::Rect(margin, margin, frameSize.width, frameSize.height))
        .copyTo(a);
    newerScene(cv::Rect(margin + shiftX, margin + shiftY, frameSize.width,
                        frameSize.height))
        .copyTo(b);
    if (noise > 0) {
        for (cv::Mat* frame : {&a, &b}) {
            cv::Mat n(frameSize, CV_16SC1);
            rng.fill(n, cv::RNG::UNIFORM, -noise, noise + 1);
            cv::Mat sum;
            cv::add(*frame, n, sum, cv::noArray(), CV_16SC1);
            sum.convertTo(*frame, CV_8UC1);
        }
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
    const bool generated = data[4] & kFlagGenerated;
    const bool withInfo = data[4] & kFlagStuffInfo;
    const int maxSide = generated ? kMaxGeneratedSide : kMaxByteFrameSide;
    int cols = 1 + (data[0] | data[1] << 8) % maxSide;
    int rows = 1 + (data[2] | data[3] << 8) % maxSide;
    data += 5;
    size -= 5;

    CvMat* a = cvCreateMat(rows, cols, CV_8UC1);
    CvMat* b = cvCreateMat(rows, cols, CV_8UC1);
    CvMat* vx = cvCreateMat(rows, cols, CV_32FC1);
    CvMat* vy = cvCreateMat(rows, cols, CV_32FC1);
    if (generated) {
        generateFrames(a, b, data, size);
    } else {
        fillFrame(a, data, size, 0);
        fillFrame(b, data, size, static_cast<size_t>(rows) * cols);
    }
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
