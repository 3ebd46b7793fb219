#include "CoreSystem/ArchiveEventQueue.h"

#include <iterator>
#include <utility>

namespace CoreSystem {

void ArchiveEventQueue::push(ArchiveEvent event) {
    const bool last = event.kind == ArchiveEvent::Kind::end;
    batchSize_ += event.bytes.size();
    batch_.push_back(std::move(event));
    if (last || batchSize_ >= batchBytes || batch_.size() >= batchEvents) {
        handOver();
    }
}

void ArchiveEventQueue::handOver() {
    std::unique_lock lock(mutex_);
    changed_.wait(
        lock, [this] { return handedOverBytes_ < byteLimit && handedOver_.size() < eventLimit; });
    handedOver_.insert(handedOver_.end(), std::make_move_iterator(batch_.begin()),
                       std::make_move_iterator(batch_.end()));
    handedOverBytes_ += batchSize_;
    batch_.clear();
    batchSize_ = 0;
    changed_.notify_all();
}

ArchiveEvent ArchiveEventQueue::pop() {
    if (taken_.empty()) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return !handedOver_.empty(); });
        taken_.swap(handedOver_);
        handedOverBytes_ = 0;
        changed_.notify_all();
    }
    ArchiveEvent event = std::move(taken_.front());
    taken_.pop_front();
    return event;
}

}  // namespace CoreSystem
