#include "api/distribution_list.h"

#include "support/status.h"

namespace hv {

const DistributionRecord& DistributionList::Record(int32_t index) const {
  if (!Contains(index)) Throw(PELK_E_BAD_INDEX);
  return records_[static_cast<size_t>(index)];
}

}  // namespace hv
