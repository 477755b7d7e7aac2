// Argument checks shared by the flow entries.
#ifndef OF_ULK_FLOW_ARGUMENTS_H
#define OF_ULK_FLOW_ARGUMENTS_H

#include "cvoptflowulk.h"

namespace ulk {

// Matrix headers of the four arrays of a flow call once they have passed
// the checks.
struct FlowArguments {
    CvMat headerA, headerB, headerX, headerY;
    CvMat* srcA = nullptr;
    CvMat* srcB = nullptr;
    CvMat* velx = nullptr;
    CvMat* vely = nullptr;
};

// Converts and checks the arguments of a flow call in their fixed order:
// the four conversions, the storage, the source and destination formats,
// the sizes, the element types, the row steps, the velocity maps' overlap
// and the storage's block size. The first failure raises its error for
// funcName and returns false; nothing is changed. The entries then check
// their own arguments (the refined entry's flags) and last, just before
// the run, claim the storage (StorageClaim).
bool checkFlowArguments(CvArr* srcA, CvArr* srcB, CvArr* velx, CvArr* vely,
                        CvMemStorage* storage, bool withStuffInfo,
                        const char* funcName, FlowArguments* args);

// The least block size of a storage that serves a call on rows x cols
// frames: room for the block's header and the largest single piece that
// the call takes from the storage, a sequence header, a sequence block
// with one element, or with a StuffInfo the IdxMap (2 x rows x cols bytes
// rounded up to 8).
long long leastStorageBlock(int rows, int cols, bool withStuffInfo);

// A storage held by one flow call from the end of its checks to the end of
// its run. Two calls on one storage would take each other's blocks, and so
// would calls on storages that share blocks: a child storage takes them
// from its parent. The claim is therefore on the root of the storage's
// parent chain; it ends with the object, however the call ends.
class StorageClaim {
  public:
    StorageClaim() = default;
    ~StorageClaim();
    StorageClaim(const StorageClaim&) = delete;
    StorageClaim& operator=(const StorageClaim&) = delete;

    // Claims storage for the call. When another call holds its root,
    // raises CV_StsBadArg ("the storage is in use by another call") for
    // funcName and returns false.
    bool take(const CvMemStorage* storage, const char* funcName);

  private:
    const CvMemStorage* root_ = nullptr;
};

} // namespace ulk

#endif
