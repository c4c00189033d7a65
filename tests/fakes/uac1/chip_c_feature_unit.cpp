#include "tests/fakes/uac1/chip_c_feature_unit.h"

namespace uac1fakes {

ScopedChipCFeatureUnit::ScopedChipCFeatureUnit()
    : m_pPrevious(SetChipCFeatureUnitCreator(MakeUac1Entity<CFakeEffectFeatureUnit>)) {}

ScopedChipCFeatureUnit::~ScopedChipCFeatureUnit() { SetChipCFeatureUnitCreator(m_pPrevious); }

}  // namespace uac1fakes
