// The engine's vector paths: the choice of path, and each kernel on every
// path the processor has against the plain code, byte for byte.
#include <gtest/gtest.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <cstring>
#include <random>
#include <vector>

#include "engine/contour_visitors.h"
#include "engine/dense_field.h"
#include "engine/dense_field_kernels.h"
#include "engine/motion.h"
#include "engine/vector_paths.h"

using namespace ulk;

namespace {

// The paths this processor has, the plain code first.
std::vector<VectorPath> supportedPaths()
{
    std::vector<VectorPath> paths;
    for (const VectorPath path : kVectorPaths)
        if (vectorPathSupported(path))
            paths.push_back(path);
    return paths;
}

bool sameBytes(const cv::Mat& a, const cv::Mat& b)
{
    return a.size() == b.size() && a.type() == b.type() &&
           std::memcmp(a.data, b.data, a.total() * a.elemSize()) == 0;
}

TEST(VectorPaths, ScopedPathIsTakenAndRestored)
{
    EXPECT_TRUE(vectorPathSupported(VectorPath::Scalar));
    EXPECT_TRUE(vectorPathSupported(fastestVectorPath()));
    EXPECT_EQ(activeVectorPath(), fastestVectorPath());
    for (const VectorPath path : supportedPaths()) {
        const ScopedVectorPath outer(path);
        EXPECT_EQ(activeVectorPath(), path) << vectorPathName(path);
        {
            const ScopedVectorPath inner(VectorPath::Scalar);
            EXPECT_EQ(activeVectorPath(), VectorPath::Scalar);
        }
        EXPECT_EQ(activeVectorPath(), path) << vectorPathName(path);
    }
    EXPECT_EQ(activeVectorPath(), fastestVectorPath());
    // A path the processor lacks leaves the fastest in force.
    for (const VectorPath path : kVectorPaths) {
        if (vectorPathSupported(path))
            continue;
        const ScopedVectorPath missing(path);
        EXPECT_EQ(activeVectorPath(), fastestVectorPath());
    }
}

// One random frame of segments for the dense field: a label map of blobs
// and stripes of random labels (some of no segment), records with random
// rectangles (some past the border, some empty) and points, some invalid,
// some listed twice, some all equally far from a node.
struct RandomField {
    CvMemStorage* storage = cvCreateMemStorage(0);
    CvSeq* segments =
        cvCreateSeq(0, sizeof(CvSeq), sizeof(SegmentRecord), storage);
    CvSeq* points = cvCreateSeq(0, sizeof(CvSeq), sizeof(TrackPoint), storage);
    cv::Mat labels, grey;

    RandomField(std::mt19937* rng, int width, int height)
        : labels(height, width, CV_16UC1), grey(height, width, CV_8UC1)
    {
        const auto uniform = [rng](int low, int high) {
            return std::uniform_int_distribution<int>(low, high)(*rng);
        };
        const int count = uniform(1, 12);
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x)
                labels.at<unsigned short>(y, x) = static_cast<unsigned short>(
                    65 + (x / uniform(1, 9) + y / 7) % (count + 2));
        cv::randu(grey, 0, 256);
        for (int s = 0; s < count; ++s) {
            std::vector<TrackPoint*> list;
            const int n = uniform(0, 14);
            for (int k = 0; k < n; ++k) {
                TrackPoint p = {uniform(0, width - 1), uniform(0, height - 1),
                                uniform(-10, 10), uniform(-10, 10),
                                static_cast<unsigned char>(uniform(0, 5) != 0)};
                if (k == 1 && uniform(0, 2) == 0) // equally far as the first
                    p.y = list[0]->y, p.x = list[0]->x;
                TrackPoint* stored =
                    reinterpret_cast<TrackPoint*>(cvSeqPush(points, &p));
                list.insert(list.end(), uniform(1, 2), stored);
            }
            SegmentRecord r = {};
            r.label = 65 + uniform(0, count + 1);
            r.rectX = uniform(-4, width);
            r.rectY = uniform(-4, height);
            r.rectWidth = uniform(-1, width);
            r.rectHeight = uniform(-1, height);
            r.points =
                cvCreateSeq(0, sizeof(CvSeq), sizeof(TrackPoint*), storage);
            for (TrackPoint* p : list)
                cvSeqPush(r.points, &p);
            cvSeqPush(segments, &r);
        }
    }
    ~RandomField() { cvReleaseMemStorage(&storage); }

    // Both maps and the records' counts and greys after the stage, on maps
    // that held startX and startY.
    std::vector<cv::Mat> run(OtherPixels others, float startX = -3.5f,
                             float startY = 7.25f)
    {
        cv::Mat velx(labels.size(), CV_32FC1, cv::Scalar(startX));
        cv::Mat vely(labels.size(), CV_32FC1, cv::Scalar(startY));
        CvMat l = cvMat(labels), g = cvMat(grey), x = cvMat(velx),
              y = cvMat(vely);
        fillDenseField(segments, &l, &g, &x, &y, others);
        cv::Mat stats(1, 2 * segments->total, CV_32SC1);
        for (int s = 0; s < segments->total; ++s) {
            SegmentRecord r;
            std::memcpy(&r, cvGetSeqElem(segments, s), sizeof(r));
            stats.at<int>(0, 2 * s) = r.pixelCount;
            stats.at<int>(0, 2 * s + 1) = r.meanGrey;
        }
        return {velx, vely, stats};
    }
};

TEST(VectorPaths, DenseFieldGivesThePlainBytesOnEveryPath)
{
    std::mt19937 rng(3);
    for (int trial = 0; trial < 300; ++trial) {
        const int width = 1 + int(rng() % 70), height = 1 + int(rng() % 40);
        RandomField field(&rng, width, height);
        for (const OtherPixels others :
             {OtherPixels::Keep, OtherPixels::Zero}) {
            std::vector<cv::Mat> plain;
            {
                const ScopedVectorPath scalar(VectorPath::Scalar);
                plain = field.run(others);
                // Cleared, it is the field written over zeros.
                const auto over = field.run(OtherPixels::Keep, 0.0f, 0.0f);
                for (size_t k = 0;
                     others == OtherPixels::Zero && k < over.size(); ++k)
                    ASSERT_TRUE(sameBytes(over[k], plain[k])) << trial;
            }
            for (const VectorPath path : supportedPaths()) {
                const ScopedVectorPath onPath(path);
                const std::vector<cv::Mat> got = field.run(others);
                for (size_t k = 0; k < got.size(); ++k)
                    ASSERT_TRUE(sameBytes(got[k], plain[k]))
                        << "trial " << trial << " path " << vectorPathName(path)
                        << " output " << k;
            }
        }
    }
}

TEST(VectorPaths, NodeVelocityOfAvx2IsThePlainOne)
{
    if (!vectorPathSupported(VectorPath::Avx2))
        GTEST_SKIP() << "no AVX2";
    std::mt19937 rng(5);
    for (int trial = 0; trial < 3000; ++trial) {
        const int m = int(rng() % 21);
        const int reach = trial % 3 == 0 ? 8 : kNodeVectorReach / 2;
        std::vector<int> px(m), py(m), vx(m), vy(m);
        for (int k = 0; k < m; ++k) {
            px[k] = int(rng() % reach);
            py[k] = int(rng() % reach);
            vx[k] = int(rng() % 41) - 20;
            vy[k] = int(rng() % 41) - 20;
        }
        const int nodeX = int(rng() % reach), nodeY = int(rng() % reach);
        std::vector<long long> distance(size_t(m) + 1);
        std::vector<int> distance32(size_t(m) + 8);
        std::vector<double> products(2 * size_t(m) + 8);
        const NodeVelocity plain =
            nodeVelocity(px.data(), py.data(), vx.data(), vy.data(), m, nodeX,
                         nodeY, distance.data());
        const NodeVelocity vector =
            nodeVelocityAvx2(px.data(), py.data(), vx.data(), vy.data(), m,
                             nodeX, nodeY, distance32.data(), products.data());
        ASSERT_EQ(std::memcmp(&plain, &vector, sizeof(plain)), 0)
            << "trial " << trial << " m " << m;
    }
}

} // namespace

namespace {

// Every point of noise, blurred noise and flat frames (whose windows make
// empty cells and equal ones) moves alike on every path, and so do points on
// integral images of 16-bit frames, whose cell sums pass the range of the
// vector division.
TEST(VectorPaths, PointMotionIsThePlainOneOnEveryPath)
{
    std::mt19937 rng(9);
    for (int trial = 0; trial < 24; ++trial) {
        const int width = 40 + int(rng() % 60), height = 40 + int(rng() % 60);
        const int depth = trial % 4 == 3 ? CV_16U : CV_8U;
        cv::Mat older(height, width, depth), newer(height, width, depth);
        cv::randu(older, 0, trial % 4 == 3 ? 65536 : 256);
        if (trial % 4 == 1)
            cv::blur(older, older, cv::Size(5, 5));
        if (trial % 4 == 2) { // empty cells, and equal cells of large sums
            older(cv::Rect(0, 0, width / 2, height)).setTo(0);
            older(cv::Rect(width / 2, 0, width / 4, height)).setTo(200);
        }
        // The newer frame is the older one moved right.
        const int shift = 1 + trial % 7;
        newer.setTo(0);
        older.colRange(0, width - shift).copyTo(newer.colRange(shift, width));
        cv::Mat sumA, sumB;
        cv::integral(older, sumA, CV_64F);
        cv::integral(newer, sumB, CV_64F);
        sumA.convertTo(sumA, CV_32S);
        sumB.convertTo(sumB, CV_32S);
        CvMat a = cvMat(sumA), b = cvMat(sumB);
        for (int k = 0; k < 40; ++k) {
            const TrackPoint start = {int(rng() % width), int(rng() % height),
                                      0, 0, 0};
            TrackPoint plain = start;
            {
                const ScopedVectorPath scalar(VectorPath::Scalar);
                estimatePointMotion(&plain, &a, &b, width, height);
            }
            for (const VectorPath path : supportedPaths()) {
                const ScopedVectorPath onPath(path);
                TrackPoint got = start;
                estimatePointMotion(&got, &a, &b, width, height);
                ASSERT_EQ(std::memcmp(&got, &plain, sizeof(got)), 0)
                    << "trial " << trial << " point " << k << " path "
                    << vectorPathName(path);
            }
        }
    }
}

} // namespace

namespace {

// The vector division against the plain one where it is closest to a whole
// quotient: every sum against itself and its neighbours, and random pairs.
TEST(VectorPaths, ContrastOfAvx2IsThePlainOne)
{
    if (!vectorPathSupported(VectorPath::Avx2))
        GTEST_SKIP() << "no AVX2";
    std::mt19937 rng(13);
    std::vector<int> p, q;
    for (int n = 0; n <= 65535; ++n) {
        for (const int other : {n, n - 1, n + 1, n / 2, n / 3, 2 * n}) {
            if (other < 0 || other > 65535)
                continue;
            p.push_back(n);
            q.push_back(other);
        }
    }
    for (int k = 0; k < 200000; ++k) {
        p.push_back(int(rng() % 65536));
        q.push_back(int(rng() % (k % 2 ? 65536 : 16321)));
    }
    p.resize((p.size() + 7) / 8 * 8, 0);
    q.resize(p.size(), 0);
    for (size_t k = 0; k < p.size(); k += 8) {
        short got[8];
        boxContrastsAvx2(&p[k], &q[k], got);
        for (size_t i = 0; i < 8; ++i)
            ASSERT_EQ(got[i], boxContrast(p[k + i], q[k + i]))
                << p[k + i] << " against " << q[k + i];
    }
}

} // namespace

namespace {

TEST(VectorPaths, BoxOfAvx2IsThePlainOne)
{
    if (!vectorPathSupported(VectorPath::Avx2))
        GTEST_SKIP() << "no AVX2";
    std::mt19937 rng(17);
    for (int trial = 0; trial < 2000; ++trial) {
        std::vector<CvPoint> points(rng() % 20);
        const long long spread = trial % 2 ? 100 : 1 << 30;
        for (CvPoint& p : points)
            p = cvPoint(
                int(static_cast<long long>(rng() % (2 * spread)) - spread),
                int(static_cast<long long>(rng() % (2 * spread)) - spread));
        int plainMin[2] = {int(rng() % 50), int(rng() % 50)};
        int plainMax[2] = {plainMin[0] + int(rng() % 50), plainMin[1]};
        int vectorMin[2] = {plainMin[0], plainMin[1]};
        int vectorMax[2] = {plainMax[0], plainMax[1]};
        {
            const ScopedVectorPath scalar(VectorPath::Scalar);
            extendBox(points.data(), points.size(), plainMin, plainMax);
        }
        extendBoxAvx2(points.data(), points.size(), vectorMin, vectorMax);
        ASSERT_TRUE(vectorMin[0] == plainMin[0] &&
                    vectorMin[1] == plainMin[1] &&
                    vectorMax[0] == plainMax[0] && vectorMax[1] == plainMax[1])
            << "trial " << trial;
    }
}

} // namespace
