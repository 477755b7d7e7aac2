// The refined mode's settings: their defaults and their ranges.
#ifndef OF_ULK_REFINE_PARAMS_H
#define OF_ULK_REFINE_PARAMS_H

#include <string>

#include "cvoptflowulk.h"

namespace ulk {

// The record of CV_ULK_REFINED_DEFAULT (see cvULKRefineParams).
CvULKRefineParams defaultRefineParams();

// One numeric field of CvULKRefineParams and its range, ends included.
// Exactly one of real and whole is set.
struct RefineField {
    const char* name; // as in the record
    double CvULKRefineParams::*real;
    int CvULKRefineParams::*whole;
    double low;
    double high;

    double get(const CvULKRefineParams& params) const
    {
        return real ? params.*real : double(params.*whole);
    }
    void set(CvULKRefineParams* params, double value) const
    {
        if (real)
            params->*real = value;
        else
            params->*whole = int(value);
    }
};

// The numeric fields in the record's order, which is the order of the
// checks.
extern const RefineField kRefineFields[];
extern const int kRefineFieldCount;

// The first problem of params in the record's order, as the message of its
// CV_StsOutOfRange error ("Unknown refinement flags", "<field> must lie in
// [<low>, <high>]"); empty when every field is in range. NaN is out of
// every range.
std::string refineParamsProblem(const CvULKRefineParams& params);

} // namespace ulk

#endif
