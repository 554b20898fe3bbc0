// The change log: the rows changed since the content was loaded or last merged.
#include "platform/data/record_set_impl.h"

namespace zeb::platform::data {

// Keeps the log's memory for the next batch; resetContent() gives it back.
void RecordSet::Impl::clearLog() {
  for (std::uint32_t id : changed) {
    if (id < baseLimit) logged[id >> 6] &= ~(std::uint64_t{1} << (id & 63));
  }
  baseLimit = rows.count;
  logged.resize((std::size_t{baseLimit} + 63) / 64);
  changed.clear();
  baseCells.clear();
  changeCount = 0;
}

int RecordSet::changeCount() const { return impl_->changeCount; }

void RecordSet::mergeChangeLog() { impl_->clearLog(); }

void RecordSet::setLogChanges(bool on) {
  impl_->logChanges = on;
  impl_->clearLog();
}

bool RecordSet::logChanges() const { return impl_->logChanges; }

}  // namespace zeb::platform::data
