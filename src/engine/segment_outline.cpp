#include "engine/segment_outline.h"

#include "engine/contour_visitors.h"

#include <opencv2/imgproc/imgproc_c.h>

namespace ulk {

void outlineSegment(const CvMat* labelMap, int x, int y, CvMemStorage* scratch,
                    SegmentOutline* out, const unsigned char* masks)
{
    CvSeq* outline = nullptr;
    extractOutline(labelMap, x, y, scratch, &outline, out->rect, masks);
    CvSeq* polygon =
        (CvSeq*)cvApproxPoly(outline, sizeof(CvContour), scratch,
                             CV_POLY_APPROX_DP, kPolygonAccuracy, 1);
    out->vertices.resize(size_t(polygon->total));
    cvCvtSeqToArray(polygon, out->vertices.data(), CV_WHOLE_SEQ);
    cvClearMemStorage(scratch);
}

} // namespace ulk
