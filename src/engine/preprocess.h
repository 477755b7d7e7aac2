// Preprocessing and level quantisation: the first stage of the engine.
#ifndef OF_ULK_PREPROCESS_H
#define OF_ULK_PREPROCESS_H

#include "engine/engine.h"

namespace ulk {

// Levels are g / kLevelWidth + 1 for grey values g of the preprocessed frame.
const int kLevelWidth = 26;

// Clears the storage, takes workImage, integralA and integralB from the
// thread's work buffers, creates the segment and tracking-point sequences
// and takes the labelMap data (from the storage when withStuffInfo, else
// from the work buffers) and the markMap data (work buffers), with their
// headers. Sizes come from src.
void createWorkObjects(const CvMat* src, CvMemStorage* storage,
                       bool withStuffInfo, FlowWork* work);

// Threshold to zero at 10, histogram equalisation and a 5 x 5 Gaussian of
// srcB into workImage; called outside any stripe, so that OpenCV may split
// each step over its threads.
void prepareWorkImage(const CvMat* srcB, FlowWork* work);

// The integral images of the unprocessed srcA and srcB, side by side. Only
// the motion reads them.
void integrateFrames(const CvMat* srcA, const CvMat* srcB, FlowWork* work);

// Writes the level of every workImage pixel into both 16-bit maps, so that
// the mark map holds no label that the segmentation makes.
void quantiseLevels(const CvMat* workImage, CvMat* labelMap, CvMat* markMap);

// Lets go of the working objects: the work buffers stay with the thread
// and a label map in the storage with the storage. Safe to call on partly
// created or already released work.
void releaseWorkObjects(FlowWork* work);

} // namespace ulk

#endif
