// Diagnostic drawing: paints the segments, outlines and tracking points of a
// StuffInfo into a colour image.
#include "api/draw_stuff_info.h"

#include "api/errors.h"
#include "engine/contour_walk.h"

#include <opencv2/imgproc/imgproc_c.h>

#include <algorithm>
#include <cstring>

namespace {

// Outline colours, blue-green-red.
const unsigned char kNoDirectionColour[3] = {0, 0, 255};
const unsigned char kOutlineColour[3] = {128, 100, 100};

// Tracking-point marks: a small circle and twice the motion vector.
const int kPointRadius = 1;
const int kMotionScale = 2;

// Fills every pixel of the record's rectangle that carries its label.
void fillSegment(const StuffInfo* info, CvMat* image,
                 const SegmentRecord& record)
{
    // Packed fields are copied to locals before std::min/max bind to them.
    const int label = record.label;
    const unsigned char g = record.meanGrey;
    const int rectX = record.rectX, rectY = record.rectY;
    const int rectRight = rectX + record.rectWidth;
    const int rectBottom = rectY + record.rectHeight;
    // Clip to the map so that no label test can reach past it.
    const int x0 = std::max(rectX, 0);
    const int y0 = std::max(rectY, 0);
    const int x1 = std::min(rectRight, info->idxMap.cols - 1);
    const int y1 = std::min(rectBottom, info->idxMap.rows - 1);
    const CvMat* map = &info->idxMap;
    for (int y = y0; y <= y1; ++y) {
        unsigned char* row = image->data.ptr + y * image->step;
        for (int x = x0; x <= x1; ++x) {
            if (cvGetSegIndex(map, x, y) == label) {
                unsigned char* pixel = row + 3 * x;
                pixel[0] = pixel[1] = pixel[2] = g;
            }
        }
    }
}

} // namespace

namespace ulk {

bool paintContourPoint(int x, int y, int label, int direction, void* userData)
{
    (void)label;
    const CvMat* image = *static_cast<CvMat**>(userData);
    // A walk started outside the map reports its start pixel as it is.
    if (x < 0 || y < 0 || x >= image->cols || y >= image->rows)
        return true;
    const unsigned char* colour =
        direction == kDirNone ? kNoDirectionColour : kOutlineColour;
    std::memcpy(image->data.ptr + y * image->step + 3 * x, colour, 3);
    return true;
}

} // namespace ulk

using ulk::getMatOrReport;
using ulk::paintContourPoint;

CV_IMPL void cvDrawOpticalFlowStuffInfo(CvArr* image, StuffInfo* stuffInfo)
{
    static const char kFunc[] = "cvDrawOpticalFlowStuffInfo";
    CvMat header;
    CvMat* mat = getMatOrReport(image, &header, kFunc);
    if (mat == nullptr)
        return;
    if (stuffInfo == nullptr) {
        ULK_RAISE(CV_StsNullPtr, kFunc, "NULL StuffInfo pointer ");
        return;
    }
    if (CV_MAT_TYPE(mat->type) != CV_8UC3) {
        ULK_RAISE(CV_StsUnsupportedFormat, kFunc,
                  "Image for drawing must have 8uC3 type");
        return;
    }
    if (mat->rows < stuffInfo->idxMap.rows ||
        mat->cols < stuffInfo->idxMap.cols) {
        ULK_RAISE(CV_StsUnmatchedSizes, kFunc,
                  "Image for drawing is smaller than the index map");
        return;
    }

    // The StuffInfo starts with the IdxMap header, so it serves as the map.
    const CvMat* map = reinterpret_cast<const CvMat*>(stuffInfo);
    CvSeq* segments = stuffInfo->segments;
    CvSeq* trackPoints = stuffInfo->trackPoints;

    // Records are packed: each one is copied out before its fields are used.
    if (segments != nullptr && segments->total > 0) {
        CvSeqReader reader;
        SegmentRecord record;

        cvStartReadSeq(segments, &reader, 0);
        for (int i = 0; i < segments->total; ++i) {
            std::memcpy(&record, reader.ptr, sizeof(record));
            CV_NEXT_SEQ_ELEM(sizeof(SegmentRecord), reader);
            fillSegment(stuffInfo, mat, record);
        }

        // Outlines go over all fills.
        cvStartReadSeq(segments, &reader, 0);
        for (int i = 0; i < segments->total; ++i) {
            std::memcpy(&record, reader.ptr, sizeof(record));
            CV_NEXT_SEQ_ELEM(sizeof(SegmentRecord), reader);
            cvDoForEachContourPoint(paintContourPoint, map, record.startX,
                                    record.startY, &mat);
        }
    }

    // Tracking-point marks go over everything.
    if (trackPoints != nullptr && trackPoints->total > 0) {
        CvSeqReader reader;
        TrackPoint point;
        cvStartReadSeq(trackPoints, &reader, 0);
        for (int i = 0; i < trackPoints->total; ++i) {
            std::memcpy(&point, reader.ptr, sizeof(point));
            CV_NEXT_SEQ_ELEM(sizeof(TrackPoint), reader);
            const CvPoint from = cvPoint(point.x, point.y);
            const CvPoint to = cvPoint(point.x + kMotionScale * point.vx,
                                       point.y + kMotionScale * point.vy);
            cvCircle(mat, from, kPointRadius, cvScalar(0.0, 255.0, 0.0, 0.0), 1,
                     8, 0);
            cvLine(mat, from, to, cvScalar(255.0, 255.0, 0.0, 0.0), 1, 8, 0);
        }
    }
}
