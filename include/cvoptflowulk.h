/* cvoptflowulk: segmentation-based dense optical flow in the style of the
 * OpenCV C API.
 *
 * The engine segments the newer of two grey frames into grey-level regions,
 * takes the vertices of each region's outline polygon as tracking points,
 * matches integral-image contrast descriptors between the frames and spreads
 * the point velocities over the segments. Every public function converts its
 * array arguments with cvGetMat, checks them in a fixed order and reports a
 * caller's mistake through cvError (OpenCV 4 turns that into a thrown
 * cv::Exception) with the source file name "cvoptflowulk".
 */
#ifndef CVOPTFLOWULK_H
#define CVOPTFLOWULK_H

#include <opencv2/core/core_c.h>
#include <opencv2/core/types_c.h>

/* ------------------------------------------------------------------------
 * Records
 * ------------------------------------------------------------------------ */

#pragma pack(push, 1)

/* One tracking point: a vertex of a segment outline polygon and its
 * whole-pixel displacement from the older frame to the newer one. */
typedef struct TrackPoint {
    int x;               /* column of the point */
    int y;               /* row of the point */
    int vx;              /* horizontal displacement, pixels */
    int vy;              /* vertical displacement, pixels */
    unsigned char valid; /* 1: velocity usable, 0: match rejected, (0, 0) */
} TrackPoint;

/* One segment of the newer frame. Its pixels carry `label` in the IdxMap.
 * The rectangle spans rectX..rectX+rectWidth, rectY..rectY+rectHeight, both
 * ends included (width and height are extents, not pixel counts). `points`
 * is a sequence of TrackPoint* into StuffInfo::trackPoints; a point may
 * stand in it more than once. */
typedef struct SegmentRecord {
    int label;              /* 65 upward, in raster order of the seed pixel */
    unsigned char meanGrey; /* truncated mean of the preprocessed frame */
    int pixelCount;         /* labelled pixels inside the block area */
    int rectX;
    int rectY;
    int rectWidth;
    int rectHeight;
    int startX; /* seed pixel: outline walks of the segment start here */
    int startY;
    CvSeq* points;
    unsigned char reserved;
} SegmentRecord;

#pragma pack(pop)

/* What one engine call did. The matrix header comes first, so a StuffInfo
 * pointer is itself a valid CvMat argument for the IdxMap. Everything it
 * points to lives in the memory storage passed to the engine and stays
 * valid until that storage is cleared, released or used by the next call.
 * The IdxMap takes one piece of the storage, 2 x rows x cols bytes rounded
 * up to 8, so the storage's block size must hold it beside the block's
 * header: blocks of cvCreateMemStorage(0) hold the map of at most about
 * 32,000 pixels (180 x 180), and a call with a StuffInfo on a larger frame
 * raises CV_StsOutOfRange before it touches the storage. */
typedef struct StuffInfo {
    CvMat idxMap;       /* CV_16UC1 label map, continuous, frame size */
    CvSeq* segments;    /* SegmentRecord elements, ascending labels */
    CvSeq* trackPoints; /* TrackPoint elements, in creation order */
} StuffInfo;

/* ------------------------------------------------------------------------
 * Optical flow
 * ------------------------------------------------------------------------ */

/* Computes the dense velocity field from srcA (older, CV_8UC1) to srcB
 * (newer, CV_8UC1) into velx and vely (CV_32FC1, same size), in pixels per
 * frame pair, x to the right and y downward. The storage is cleared first
 * and receives every per-call result; with a non-null stuffInfo the call
 * fills it with the IdxMap, the segments and the tracking points (owned by
 * the storage). A failed argument check raises one cvError and changes
 * nothing. The checks, in order: each array converts (CV_StsBackTrace); the
 * storage is not null (CV_StsNullPtr); the sources, then the destinations,
 * have one type (CV_StsUnmatchedFormats); all four have one size
 * (CV_StsUnmatchedSizes); the types are CV_8UC1 and CV_32FC1
 * (CV_StsUnsupportedFormat); the sources, and the destinations, have one row
 * step (CV_BadStep); velx and vely share no element (CV_StsBadArg, "velx
 * and vely must not overlap"); the storage's block size holds the largest
 * piece that the call takes from it beside the block's own header
 * (CV_StsOutOfRange): a sequence header (112 bytes with the header on
 * 64-bit systems) or, with a stuffInfo, the IdxMap (see StuffInfo). srcA
 * and srcB may be the same array.
 * A storage serves one call at a time, together with the storages that
 * share its blocks: a storage made by cvCreateChildMemStorage takes its
 * blocks from its parent, so a storage without a parent and all the
 * storages made from it, at any depth, form one family. Once its arguments
 * pass, a call claims its storage's family until it returns; a call that
 * finds the family claimed by a call on another thread raises CV_StsBadArg
 * ("the storage is in use by another call") and changes nothing. Calls on
 * storages of different families run in parallel. While a call runs, its
 * storage's family must not be used otherwise (cleared, released,
 * allocated from or read), and nothing else may use velx, vely or
 * stuffInfo.
 * Each calling thread keeps the call's working buffers (about 13 bytes per
 * pixel, 15 when OpenCV runs on more than one thread, for the frame size of
 * its latest call) until the thread ends or calls
 * cvReleaseOpticalFlowULKBuffers, so that the next call at that size finds
 * them ready. A thread that ran the refined mode with
 * CV_ULK_REFINE_VARIATIONAL also keeps one solver per pyramid level with
 * the solver's buffers (about 70 bytes per pixel of the frame with
 * the default settings). */
CVAPI(void)
cvCalcOpticalFlowULK(CvArr* srcA, CvArr* srcB, CvArr* velx, CvArr* vely,
                     CvMemStorage* storage, StuffInfo* stuffInfo);

/* Hands back the working buffers that the flow entries keep for the
 * calling thread; the thread's next call makes new ones. For a thread that
 * stays alive after a large call, such as a pool thread or an interpreter's
 * main thread. Never fails. */
CVAPI(void) cvReleaseOpticalFlowULKBuffers(void);

/* Refinements of cvCalcOpticalFlowULKRefined, combined with bitwise or.
 * 0 selects none of them and gives exactly the field of
 * cvCalcOpticalFlowULK. */
enum {
    /* Point search on quarter- and half-size frames first, its result as
     * the starting offset at full size, then each point also tries the
     * velocities of the points near it: motions up to 40 pixels instead of
     * 10, found to the whole pixel. */
    CV_ULK_REFINE_COARSE_TO_FINE = 1,
    /* Sub-pixel point velocities from a parabola through the match costs
     * around the best whole-pixel match. */
    CV_ULK_REFINE_SUBPIXEL = 2,
    /* Smoothing that stays inside segments and fills pixels of no segment
     * from their neighbours, instead of one Gaussian over the whole map. */
    CV_ULK_REFINE_SEGMENT_SMOOTH = 4,
    /* Variational refinement on the two frames with OpenCV's
     * cv::VariationalRefinement, coarse to fine on a pyramid of its own
     * (see CvULKRefineParams), with the engine's field offered on the
     * coarse levels; the engine's final Gaussian is then left out. Frames
     * whose shorter side is below the coarsest level's are not refined. */
    CV_ULK_REFINE_VARIATIONAL = 8,
    /* Every refinement that is known; any other bit is an error. */
    CV_ULK_REFINE_ALL = 15
};

/* The refined mode of the programs (of_ulk /hq, of_ulk_export --refined):
 * the refinements that lowered the endpoint error on the accuracy tool.
 * Segment-aware smoothing did not and is left out. The flags entry takes
 * the other settings from cvULKRefineParams(). */
#define CV_ULK_REFINED_DEFAULT                                                 \
    (CV_ULK_REFINE_COARSE_TO_FINE | CV_ULK_REFINE_SUBPIXEL |                   \
     CV_ULK_REFINE_VARIATIONAL)

/* Settings of the refined mode: the refinements and the variational
 * pyramid's shape and weights. cvULKRefineParams() gives the values of
 * CV_ULK_REFINED_DEFAULT; change fields of that record rather than filling
 * one from scratch, so that fields added later keep their defaults.
 *
 * The variational pyramid (CV_ULK_REFINE_VARIATIONAL) works on frames
 * reduced by area averaging: its finest level is finestScale times the
 * frame's size, each coarser level pyramidScale times the next finer one,
 * down to the last level whose shorter side keeps coarsestSide pixels. It
 * starts at the coarsest level from no motion and on every level, coarse
 * to fine, runs cv::VariationalRefinement (outerIterations fixed-point
 * iterations of innerIterations SOR sweeps relaxed by omega, weights
 * alpha, delta, gamma) on the field enlarged from the level below. On the
 * levels no larger than fuseScale times the frame, each pixel first takes
 * the engine's own field instead where that moves the newer frame onto the
 * older one with a local error below half the pyramid's own. Frames whose
 * shorter side is below coarsestSide are left as the engine's field; when
 * the finest level is smaller than coarsestSide, the full size is the one
 * level. */
typedef struct CvULKRefineParams {
    int flags;           /* CV_ULK_REFINE_* values, as for the flags entry */
    double pyramidScale; /* 0.5 to 0.95: size of a level to the next finer */
    int coarsestSide;    /* 4 to 1024: least shorter side of a level, px */
    double finestScale;  /* 0.1 to 1: finest level's size to the frame's */
    double alpha;        /* 0.01 to 1000: smoothness weight */
    double delta;        /* 0 to 1000: brightness constancy weight */
    double gamma;        /* 0 to 1000: gradient constancy weight */
    int outerIterations; /* 1 to 100: fixed-point iterations per level */
    int innerIterations; /* 1 to 100: SOR sweeps per fixed-point one */
    double omega;        /* 1 to 1.99: SOR over-relaxation factor */
    double fuseScale;    /* 0 to 1: the engine's field is offered on levels
                            no larger than this (0: never) */
} CvULKRefineParams;

/* The record of CV_ULK_REFINED_DEFAULT: its flags and the pyramid's
 * default shape and weights. Never fails. */
CVAPI(CvULKRefineParams) cvULKRefineParams(void);

/* cvCalcOpticalFlowULK with refinements: the same arguments, checked in the
 * same order with the same errors (reported for this function's name), and
 * then flags, a combination of the CV_ULK_REFINE_* values; a bit outside
 * CV_ULK_REFINE_ALL raises CV_StsOutOfRange ("Unknown refinement flags")
 * and changes nothing. The storage is claimed after the flags pass, as in
 * cvCalcOpticalFlowULK. Flags 0 give the bytes of cvCalcOpticalFlowULK.
 * With refinements every pixel of velx and vely is written (nothing of
 * their previous contents remains); with CV_ULK_REFINE_VARIATIONAL the
 * field belongs to the pixels of srcA. A stuffInfo holds the same IdxMap,
 * segments and tracking points as cvCalcOpticalFlowULK would give, the
 * point velocities those of the refined search rounded to whole pixels.
 * Storage and ownership are those of cvCalcOpticalFlowULK; reduced copies
 * of the frames live on the heap during the call only. */
CVAPI(void)
cvCalcOpticalFlowULKRefined(CvArr* srcA, CvArr* srcB, CvArr* velx, CvArr* vely,
                            CvMemStorage* storage, StuffInfo* stuffInfo,
                            int flags);

/* cvCalcOpticalFlowULKRefined with every setting of the refined mode in
 * params (see CvULKRefineParams); cvCalcOpticalFlowULKRefined(..., flags)
 * is this call with cvULKRefineParams() whose flags are replaced. The same
 * array checks come first, reported for this function's name; then a null
 * params raises CV_StsNullPtr ("Null refinement parameters"); then the
 * fields are checked in the record's order, and the first one out of its
 * range raises CV_StsOutOfRange ("Unknown refinement flags" for flags,
 * else "<field> must lie in [<low>, <high>]"; NaN is out of every range).
 * A failed check changes nothing. The storage is claimed after the checks.
 * Flags 0 give the bytes of cvCalcOpticalFlowULK whatever the other
 * fields hold. */
CVAPI(void)
cvCalcOpticalFlowULKRefinedEx(CvArr* srcA, CvArr* srcB, CvArr* velx,
                              CvArr* vely, CvMemStorage* storage,
                              StuffInfo* stuffInfo,
                              const CvULKRefineParams* params);

/* ------------------------------------------------------------------------
 * Contour tools
 * ------------------------------------------------------------------------ */

/* Value of element (x, y) of a one-channel map as an int; 0 for every
 * position outside the map. The map may be a view into a larger array: rows
 * are found by the map's row step. Accepts CV_8UC1, CV_8SC1 (read
 * unsigned), CV_16UC1 (read signed), CV_16SC1, CV_32SC1, CV_32FC1 and
 * CV_64FC1 (truncated toward zero; values beyond the int range give INT_MIN
 * or INT_MAX, NaN gives 0); any other type at an in-range position raises
 * CV_StsUnsupportedFormat and yields 0. A null map raises CV_StsNullPtr and
 * yields 0. */
CVAPI(int) cvGetSegIndex(const CvMat* map, int x, int y);

/* Direction codes handed to a ContourFunc: 0 left, then clockwise on the
 * screen in 45 degree steps (2 up, 4 right, 6 down); 9 for no direction. */
typedef bool (*ContourFunc)(int x, int y, int label, int direction,
                            void* userData);

/* Walks the outline of the 8-connected region of idxMap that holds the value
 * at (x, y), keeping the outside on the left (outer outlines clockwise on the
 * screen, holes counter-clockwise), and calls func for every step. idxMap is
 * read as cvGetSegIndex reads it, whatever its row step. Returns
 * true when the walk closed, false when func stopped it or it made no
 * progress. A null func or idxMap raises CV_StsNullPtr and yields false. */
CVAPI(bool)
cvDoForEachContourPoint(ContourFunc func, const CvMat* idxMap, int x, int y,
                        void* userData);

/* Sequence-search comparison for tracking points: 0 ("same point") when the
 * two records' leading (x, y) pairs are at most 8 pixels apart (squared
 * distance <= 64), -1 otherwise, for any int coordinates. For unsorted
 * search only. */
CVAPI(int) cvCmpTrackPoints(const void* a, const void* b, void* userData);

/* ------------------------------------------------------------------------
 * Drawing
 * ------------------------------------------------------------------------ */

/* Paints a StuffInfo into a CV_8UC3 image at least as large as its IdxMap:
 * segment fills in their mean grey, outlines, and each tracking point as a
 * green circle with a cyan line of twice its motion. Pixels that no pass
 * paints keep their content. Raises CV_StsBackTrace, CV_StsNullPtr,
 * CV_StsUnsupportedFormat or CV_StsUnmatchedSizes and draws nothing on a bad
 * argument. */
CVAPI(void) cvDrawOpticalFlowStuffInfo(CvArr* image, StuffInfo* stuffInfo);

#endif /* CVOPTFLOWULK_H */
