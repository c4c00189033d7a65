// A stand-in for chip family C's effect feature unit: a CUacFeatureUnit
// (what the effect unit is for a unit without the vendor effect controls),
// installed in the family's creator slot for a scope.
#pragma once

#include "adapter/model/uac1_chip_hals.h"
#include "topology/uac1_feature_unit.h"

namespace uac1fakes {

class CFakeEffectFeatureUnit : public CUacFeatureUnit {
public:
    using CUacFeatureUnit::CUacFeatureUnit;
};

class ScopedChipCFeatureUnit {
public:
    ScopedChipCFeatureUnit();
    ~ScopedChipCFeatureUnit();
    ScopedChipCFeatureUnit(const ScopedChipCFeatureUnit&) = delete;
    ScopedChipCFeatureUnit& operator=(const ScopedChipCFeatureUnit&) = delete;

private:
    PFN_MAKE_ENTITY m_pPrevious;
};

}  // namespace uac1fakes
