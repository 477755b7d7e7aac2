// Regression fingerprints of whole engine runs: every output of the engine
// (both velocity maps, the IdxMap, the segment records with their point
// lists, the tracking points) over a short sequence of frames is reduced to
// FNV-1a hashes and compared with the values recorded in
// tests/data/regression_hashes.txt. Any change of a single output bit fails.
//
// To regenerate the recorded values deliberately, after a change that is
// meant to alter results, run
//     OF_ULK_PRINT_REGRESSION_HASHES=1 build/tests/test_engine
//     --gtest_filter='Regression*'
// and copy the printed "regression ..." lines into the file.
#include <gtest/gtest.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <unordered_map>
#include <vector>

#include "cvoptflowulk.h"
#include "engine/contour_visitors.h"
#include "engine/contour_walk.h"
#include "engine/vector_paths.h"
#include "support.h"
#include "synthetic_scene.h"

using namespace ulk;
using namespace ulk::tools;

namespace {

// Frames 0 .. kLastFrame of each source, so kLastFrame pairs per run.
const int kLastFrame = 6;
const unsigned kSceneSeed = 1;
const unsigned kTextureSeed = 5;
// What the velocity maps hold before the first call: the engine must not
// let it through into its results.
const float kStaleVelocity = 0.5f;
const char* const kPrintVariable = "OF_ULK_PRINT_REGRESSION_HASHES";

// FNV-1a, 64 bits, over a stream of bytes.
class Fnv1a {
  public:
    void add(const void* data, std::size_t size)
    {
        const unsigned char* bytes = static_cast<const unsigned char*>(data);
        for (std::size_t i = 0; i < size; ++i) {
            hash_ ^= bytes[i];
            hash_ *= 0x100000001b3ULL;
        }
    }
    void addInt(int64_t value) { add(&value, sizeof(value)); }
    uint64_t value() const { return hash_; }

  private:
    uint64_t hash_ = 0xcbf29ce484222325ULL;
};

// Hashes of everything one configuration produced over all its pairs.
struct Fingerprint {
    Fnv1a velx, vely, idxMap, segments, trackPoints;
    int segmentTotal = 0;
    int validMovingPoints = 0;
};

void addRows(Fnv1a* hash, const CvMat* map, std::size_t rowBytes)
{
    for (int y = 0; y < map->rows; ++y)
        hash->add(map->data.ptr + std::size_t(y) * map->step, rowBytes);
}

// Segments by value (no pointer, no `reserved`), their point lists as
// indices into the tracking-point sequence, and the tracking points, so
// that nothing depends on where the storage put them.
void addStuffInfo(Fingerprint* f, const StuffInfo& info)
{
    addRows(&f->idxMap, &info.idxMap,
            std::size_t(info.idxMap.cols) * sizeof(unsigned short));

    std::unordered_map<const void*, int> pointIndex;
    f->trackPoints.addInt(info.trackPoints->total);
    const std::vector<TrackPoint> points =
        seqElements<TrackPoint>(info.trackPoints);
    for (int i = 0; i < info.trackPoints->total; ++i) {
        pointIndex[cvGetSeqElem(info.trackPoints, i)] = i;
        const TrackPoint& p = points[i];
        for (int v : {p.x, p.y, p.vx, p.vy, int(p.valid)})
            f->trackPoints.addInt(v);
        if (p.valid && (p.vx != 0 || p.vy != 0))
            ++f->validMovingPoints;
    }

    f->segments.addInt(info.segments->total);
    f->segmentTotal += info.segments->total;
    for (const SegmentRecord& s : seqElements<SegmentRecord>(info.segments)) {
        for (int v : {s.label, s.pixelCount, s.rectX, s.rectY, s.rectWidth,
                      s.rectHeight, s.startX, s.startY})
            f->segments.addInt(v);
        // meanGrey has no defined value for a segment of no counted pixel.
        f->segments.addInt(s.pixelCount != 0 ? int(s.meanGrey) : -1);
        f->segments.addInt(s.points->total);
        for (const void* ref : seqElements<const void*>(s.points)) {
            const auto found = pointIndex.find(ref);
            f->segments.addInt(found == pointIndex.end() ? -1 : found->second);
        }
    }
}

// Runs the engine over consecutive frame pairs, reusing the velocity maps
// and the storage as the program does.
Fingerprint runSequence(const std::vector<cv::Mat>& frames, bool withStuffInfo,
                        CvMemStorage* storage)
{
    Fingerprint f;
    cv::Mat velx(frames[0].size(), CV_32FC1, cv::Scalar(kStaleVelocity));
    cv::Mat vely(frames[0].size(), CV_32FC1, cv::Scalar(-kStaleVelocity));
    CvMat x = cvMat(velx), y = cvMat(vely);
    StuffInfo info;
    for (std::size_t i = 1; i < frames.size(); ++i) {
        CvMat a = cvMat(frames[i - 1]), b = cvMat(frames[i]);
        cvCalcOpticalFlowULK(&a, &b, &x, &y, storage,
                             withStuffInfo ? &info : nullptr);
        addRows(&f.velx, &x, std::size_t(x.cols) * sizeof(float));
        addRows(&f.vely, &y, std::size_t(y.cols) * sizeof(float));
        if (withStuffInfo)
            addStuffInfo(&f, info);
    }
    return f;
}

std::vector<cv::Mat> sceneFrames(cv::Size size)
{
    const SyntheticScene scene(size.width, size.height, kSceneSeed);
    std::vector<cv::Mat> frames;
    for (int i = 0; i <= kLastFrame; ++i)
        frames.push_back(scene.greyFrame(i));
    return frames;
}

// A fine texture (random values on a 4-pixel grid, bilinear in between,
// in integers) cut at another offset for each frame, so that the pairs
// move by different amounts, some beyond the search's reach.
std::vector<cv::Mat> texturedFrames(cv::Size size)
{
    const int grain = 4, margin = 32;
    const cv::Point offsets[kLastFrame + 1] = {
        {0, 0}, {2, 1}, {9, -3}, {4, 5}, {-3, -8}, {1, 2}, {0, 0}};
    cv::Mat grid((size.height + 2 * margin) / grain + 2,
                 (size.width + 2 * margin) / grain + 2, CV_32SC1);
    cv::RNG(kTextureSeed).fill(grid, cv::RNG::UNIFORM, 0, 256);
    std::vector<cv::Mat> frames;
    for (const cv::Point& offset : offsets) {
        cv::Mat frame(size, CV_8UC1);
        for (int y = 0; y < size.height; ++y) {
            for (int x = 0; x < size.width; ++x) {
                const int fx = x + margin + offset.x,
                          fy = y + margin + offset.y;
                const int gx = fx / grain, gy = fy / grain;
                const int ax = fx % grain, ay = fy % grain;
                const int top = grid.at<int>(gy, gx) * (grain - ax) +
                                grid.at<int>(gy, gx + 1) * ax;
                const int bottom = grid.at<int>(gy + 1, gx) * (grain - ax) +
                                   grid.at<int>(gy + 1, gx + 1) * ax;
                frame.at<unsigned char>(y, x) = static_cast<unsigned char>(
                    (top * (grain - ay) + bottom * ay) / (grain * grain));
            }
        }
        frames.push_back(frame);
    }
    return frames;
}

// The first frames of a real clip from the shared material, or none.
std::vector<cv::Mat> clipFrames(const std::string& name)
{
    std::vector<cv::Mat> frames = sharedClipFrames(name, kLastFrame + 1);
    for (cv::Mat& frame : frames)
        cv::cvtColor(frame, frame, cv::COLOR_BGR2GRAY);
    return frames;
}

// "regression <name> <part> <hex>" lines of the golden file.
std::map<std::string, uint64_t> recordedHashes()
{
    std::ifstream in(OF_ULK_TEST_DATA "/regression_hashes.txt");
    std::map<std::string, uint64_t> hashes;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string tag, name, part, hex;
        if (fields >> tag >> name >> part >> hex && tag == "regression")
            hashes[name + " " + part] = std::strtoull(hex.c_str(), nullptr, 16);
    }
    return hashes;
}

// Where a configuration's frames come from besides a clip.
enum class Source { Scene, Texture };

struct Config {
    const char* name;
    const char* clip; // null: the synthetic scene or the texture
    cv::Size size;
    bool withStuffInfo;
    Source source = Source::Scene;
};

std::ostream& operator<<(std::ostream& os, const Config& c)
{
    return os << c.name;
}

class Regression : public ::testing::TestWithParam<Config> {
  protected:
    void TearDown() override { cvReleaseMemStorage(&storage_); }
    // Blocks large enough for the IdxMap of the largest configuration.
    CvMemStorage* storage_ = cvCreateMemStorage(1 << 21);
};

// The configuration's outputs as (part, hash) pairs, on the path in force.
std::vector<std::pair<std::string, uint64_t>>
hashedParts(const Config& c, const std::vector<cv::Mat>& frames,
            CvMemStorage* storage)
{
    const Fingerprint f = runSequence(frames, c.withStuffInfo, storage);
    std::vector<std::pair<std::string, uint64_t>> parts = {
        {"velx", f.velx.value()}, {"vely", f.vely.value()}};
    if (c.withStuffInfo) {
        parts.push_back({"idxmap", f.idxMap.value()});
        parts.push_back({"segments", f.segments.value()});
        parts.push_back({"trackpoints", f.trackPoints.value()});
        // The run must exercise every stage, not hash an empty result.
        EXPECT_GE(f.segmentTotal, kLastFrame);
        EXPECT_GT(f.validMovingPoints, 0);
    }
    return parts;
}

// Each output of the configuration hashes to its recorded value, on every
// vector path that this processor has.
TEST_P(Regression, OutputsMatchTheRecordedHashes)
{
    const Config& c = GetParam();
    SCOPED_TRACE(c.name);
    const std::vector<cv::Mat> frames =
        c.clip ? clipFrames(c.clip)
               : (c.source == Source::Texture ? texturedFrames(c.size)
                                              : sceneFrames(c.size));
    if (frames.empty())
        GTEST_SKIP() << "shared clip " << c.clip << " not available";
    ASSERT_EQ(frames[0].size(), c.size);

    if (std::getenv(kPrintVariable)) {
        for (const auto& part : hashedParts(c, frames, storage_))
            std::printf("regression %s %s %016llx\n", c.name,
                        part.first.c_str(),
                        static_cast<unsigned long long>(part.second));
        GTEST_SKIP() << "printed the current hashes";
    }
    const std::map<std::string, uint64_t> recorded = recordedHashes();
    ASSERT_FALSE(recorded.empty()) << "tests/data/regression_hashes.txt";
    int pathsRun = 0;
    for (const VectorPath path : kVectorPaths) {
        if (!vectorPathSupported(path))
            continue;
        SCOPED_TRACE(vectorPathName(path));
        const ScopedVectorPath onPath(path);
        ASSERT_EQ(activeVectorPath(), path);
        ++pathsRun;
        for (const auto& part : hashedParts(c, frames, storage_)) {
            SCOPED_TRACE(part.first);
            const auto it =
                recorded.find(std::string(c.name) + " " + part.first);
            ASSERT_NE(it, recorded.end()) << "no recorded hash";
            EXPECT_EQ(part.second, it->second)
                << std::hex << "now " << part.second << ", recorded "
                << it->second;
        }
    }
    // The plain code at least, and the fastest path.
    EXPECT_GE(pathsRun, fastestVectorPath() == VectorPath::Scalar ? 1 : 2);
}

INSTANTIATE_TEST_SUITE_P(
    Runs, Regression,
    ::testing::Values(
        Config{"scene320x240", nullptr, {320, 240}, false},
        Config{"scene320x240_stuffinfo", nullptr, {320, 240}, true},
        Config{"scene640x480", nullptr, {640, 480}, false},
        Config{"scene640x480_stuffinfo", nullptr, {640, 480}, true},
        Config{"highway320x240_stuffinfo",
               "highway_cctv_320x240.avi",
               {320, 240},
               true},
        Config{"texture320x240_stuffinfo",
               nullptr,
               {320, 240},
               true,
               Source::Texture},
        Config{"texture333x251_stuffinfo",
               nullptr,
               {333, 251},
               true,
               Source::Texture}),
    [](const ::testing::TestParamInfo<Config>& info) {
        return std::string(info.param.name);
    });

// The fingerprint holds no address: the same frames hashed from a storage
// whose blocks lie elsewhere, after a call that left other results in it,
// give the same values.
TEST(RegressionFingerprint, DoesNotDependOnWhereTheStorageLies)
{
    const std::vector<cv::Mat> frames = sceneFrames({160, 120});
    CvMemStorage* first = cvCreateMemStorage(0);
    CvMemStorage* second = cvCreateMemStorage(1 << 20);
    const Fingerprint a = runSequence(frames, true, first);
    runSequence(sceneFrames({200, 150}), true, second);
    const Fingerprint b = runSequence(frames, true, second);
    cvReleaseMemStorage(&first);
    cvReleaseMemStorage(&second);

    EXPECT_GT(a.segmentTotal, 0);
    EXPECT_EQ(a.velx.value(), b.velx.value());
    EXPECT_EQ(a.vely.value(), b.vely.value());
    EXPECT_EQ(a.idxMap.value(), b.idxMap.value());
    EXPECT_EQ(a.segments.value(), b.segments.value());
    EXPECT_EQ(a.trackPoints.value(), b.trackPoints.value());
}

// A different frame sequence changes every part of the fingerprint, so a
// recorded value cannot match by accident of an insensitive hash.
TEST(RegressionFingerprint, ChangesWithTheFrames)
{
    std::vector<cv::Mat> frames = sceneFrames({160, 120});
    CvMemStorage* storage = cvCreateMemStorage(0);
    const Fingerprint a = runSequence(frames, true, storage);
    std::swap(frames[0], frames[1]);
    const Fingerprint b = runSequence(frames, true, storage);
    cvReleaseMemStorage(&storage);

    EXPECT_NE(a.velx.value(), b.velx.value());
    EXPECT_NE(a.vely.value(), b.vely.value());
    EXPECT_NE(a.idxMap.value(), b.idxMap.value());
    EXPECT_NE(a.segments.value(), b.segments.value());
    EXPECT_NE(a.trackPoints.value(), b.trackPoints.value());
}

// ------------------------------------------------------------------------
// The walks that the engine runs on its 16-bit maps take a typed path and
// rely on the fact that every point of a walk is a member of the region.
// They are checked step by step against a literal walker that reads every
// pixel through cvGetSegIndex and tests both sides of every edge.

const int kDx[8] = {-1, -1, 0, 1, 1, 1, 0, -1};
const int kDy[8] = {0, -1, -1, -1, 0, 1, 1, 1};

struct ReferenceWalker {
    const CvMat* map;
    int label;

    bool crosses(CvPoint p, int d) const
    {
        return (cvGetSegIndex(map, p.x, p.y) == label) !=
               (cvGetSegIndex(map, p.x + kDx[d], p.y + kDy[d]) == label);
    }
    static CvPoint move(CvPoint p, int d)
    {
        return cvPoint(p.x + kDx[d], p.y + kDy[d]);
    }
    bool step(CvPoint* p, int* d, CvPoint* q, int* e) const
    {
        if (*d & 1)
            *d = (*d + 1) & 7;
        const int a = *d, l = (a - 2) & 7, fl = (a - 1) & 7;
        if (crosses(*p, a)) {
            if (crosses(*p, l) && !crosses(*p, fl)) {
                *q = move(*p, l);
                *e = (a + 2) & 7;
            } else {
                *q = move(*p, a);
                *e = (a - 4) & 7;
            }
            *d = 8;
            return false;
        }
        if (crosses(*p, fl)) {
            *p = move(*p, a);
            return true;
        }
        *q = move(*p, l);
        *e = (a + 2) & 7;
        *d = crosses(*p, l) ? 8 : 9;
        return false;
    }
    CvPoint next(CvPoint p0, int* d) const
    {
        if (label == 0)
            return p0;
        if (*d != 9 && !crosses(p0, (*d - 2) & 7))
            *d = 9;
        if (*d == 9) {
            for (int i = 0; i < 8 && *d == 9; ++i)
                if (!crosses(p0, i) && crosses(p0, (i - 2) & 7))
                    *d = i;
            if (*d == 9)
                return p0;
        }
        CvPoint p = p0, q = p0;
        int e = 0;
        do {
            if (!step(&p, d, &q, &e) && *d == 8) {
                if (crosses(q, (e - 2) & 7)) {
                    e = (e - 2) & 7;
                    p = move(q, e);
                }
                *d = (e - 2) & 7;
            }
        } while (p.x == p0.x && p.y == p0.y && *d != 9);
        return p;
    }
};

using Steps = std::vector<cv::Vec4i>; // x, y, label, direction per call

// The literal walk, stopped after `limit` calls.
bool referenceWalk(const CvMat* map, int x, int y, int limit, Steps* steps)
{
    const int label = cvGetSegIndex(map, x, y);
    while (y > 0 && cvGetSegIndex(map, x, y - 1) == label)
        --y;
    const ReferenceWalker walker{map, label};
    const CvPoint start = cvPoint(x, y);
    CvPoint previous = start;
    int d = 9;
    CvPoint p = walker.next(start, &d);
    for (;;) {
        steps->push_back({p.x, p.y, label, d});
        if (int(steps->size()) >= limit)
            return false;
        if (p.x == start.x && p.y == start.y)
            return true;
        if (p.x == previous.x && p.y == previous.y)
            return false;
        previous = p;
        p = walker.next(p, &d);
    }
}

struct StepLog {
    Steps steps;
    int limit;
};

bool logStep(int x, int y, int label, int dir, void* data)
{
    StepLog* log = static_cast<StepLog*>(data);
    log->steps.push_back({x, y, label, dir});
    return int(log->steps.size()) < log->limit;
}

// Random maps of few values, some of them 16-bit values that read back
// negative, in every type that has a typed or a generic path.
cv::Mat randomMap(std::mt19937* rng, int type)
{
    const int rows = 1 + int((*rng)() % 14), cols = 1 + int((*rng)() % 14);
    const int values[] = {0, 3, 65, 40000};
    const int used = 2 + int((*rng)() % 3);
    cv::Mat m(rows, cols, CV_32SC1);
    for (int y = 0; y < rows; ++y)
        for (int x = 0; x < cols; ++x)
            m.at<int>(y, x) = values[(*rng)() % used];
    cv::Mat typed;
    m.convertTo(typed, type);
    return typed;
}

TEST(FastPath, WalksMatchTheLiteralWalkerOnRandomMaps)
{
    std::mt19937 rng(7);
    for (int trial = 0; trial < 1500; ++trial) {
        const int type =
            std::vector<int>{CV_16UC1, CV_16SC1, CV_32SC1, CV_8UC1}[trial % 4];
        const cv::Mat m = randomMap(&rng, type);
        CvMat header = cvMat(m);
        const int limit = 8 * m.rows * m.cols + 16;
        for (int y = 0; y < m.rows; ++y) {
            for (int x = 0; x < m.cols; ++x) {
                Steps expected;
                const bool closed =
                    referenceWalk(&header, x, y, limit, &expected);
                StepLog log{{}, limit};
                const bool walked =
                    cvDoForEachContourPoint(logStep, &header, x, y, &log);
                if (walked != closed || log.steps != expected)
                    FAIL() << "trial " << trial << " type " << type
                           << " start (" << x << ", " << y << ") map\n"
                           << m;
            }
        }
    }
}

// The typed measuring walk gathers what measureSegmentPoint gathers when the
// literal walker drives it.
TEST(FastPath, MeasuringWalkMatchesTheLiteralWalker)
{
    std::mt19937 rng(11);
    for (int trial = 0; trial < 800; ++trial) {
        const cv::Mat m = randomMap(&rng, CV_16UC1);
        cv::Mat grey(m.size(), CV_8UC1);
        cv::randu(grey, 0, 256);
        CvMat header = cvMat(m);
        for (int y = 0; y < m.rows; ++y) {
            for (int x = 0; x < m.cols; ++x) {
                int minA[2] = {x, y}, maxA[2] = {x, y};
                int minB[2] = {x, y}, maxB[2] = {x, y};
                SegmentMeasure a{&header, grey.data, 0,   INT32_MAX,
                                 0,       minA,      maxA};
                SegmentMeasure b{&header, grey.data, 0,   INT32_MAX,
                                 0,       minB,      maxB};
                measureRegion(&a, x, y);

                Steps steps;
                referenceWalk(&header, x, y, 8 * m.rows * m.cols + 16, &steps);
                for (const cv::Vec4i& s : steps)
                    if (!measureSegmentPoint(s[0], s[1], s[2], s[3], &b))
                        break;
                if (a.count != b.count || a.bestLabel != b.bestLabel ||
                    a.bestDiff != b.bestDiff || minA[0] != minB[0] ||
                    minA[1] != minB[1] || maxA[0] != maxB[0] ||
                    maxA[1] != maxB[1])
                    FAIL() << "trial " << trial << " start (" << x << ", " << y
                           << ") map\n"
                           << m;
            }
        }
    }
}

} // namespace
