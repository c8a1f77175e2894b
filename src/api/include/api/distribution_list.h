// The distributions of a connection's last successful content query, in the answer's order.
#pragma once

#include <cstdint>
#include <vector>

#include "packets/distribution.h"

namespace hv {

class DistributionList {
 public:
  int32_t Count() const { return static_cast<int32_t>(records_.size()); }
  bool Contains(int32_t index) const { return index >= 0 && index < Count(); }
  // Throws PELK_E_BAD_INDEX unless Contains(index).
  const DistributionRecord& Record(int32_t index) const;
  void Add(DistributionRecord record) { records_.push_back(std::move(record)); }

 private:
  std::vector<DistributionRecord> records_;
};

}  // namespace hv
