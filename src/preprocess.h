// Preprocessing and level quantisation: the first stage of the engine.
#ifndef OF_ULK_PREPROCESS_H
#define OF_ULK_PREPROCESS_H

#include "engine.h"

// Levels are g / kLevelWidth + 1 for grey values g of the preprocessed frame.
const int kLevelWidth = 26;

// Clears the storage and creates the working objects in order: workImage,
// integralA, integralB, the segment and tracking-point sequences, the
// labelMap data (from the storage when withStuffInfo, else from the heap)
// and the walkMap data (heap), with their headers. Sizes come from src.
void createWorkObjects(const CvMat* src, CvMemStorage* storage,
                       bool withStuffInfo, FlowWork* work);

// Threshold to zero at 10, histogram equalisation and a 5 x 5 Gaussian of
// srcB into workImage; integral images of the unprocessed srcA and srcB.
void preprocessFrames(const CvMat* srcA, const CvMat* srcB, FlowWork* work);

// Writes the level of every workImage pixel into both 16-bit maps.
void quantiseLevels(const CvMat* workImage, CvMat* labelMap, CvMat* walkMap);

// Frees the walkMap data, the labelMap data unless the storage owns it, and
// releases integralB, integralA and workImage, in that order. Safe to call
// on partly created or already released work.
void releaseWorkObjects(FlowWork* work);

#endif
