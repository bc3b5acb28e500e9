#include "mqtt/Settling.h"

#include <algorithm>

namespace kmqtt {

void Settling::Restart(Clock::time_point Now) {
    started_ = true;
    sentAt_ = newsAt_ = Now;
    ackedAt_ = {};
    pending_.clear();
    heard_.clear();
}

void Settling::Expect(int Mid) {
    if (Mid != 0) pending_.insert(Mid);
}

void Settling::Again(int Mid, Clock::time_point Now) {
    if (Mid == 0) return;
    pending_.insert(Mid);
    sentAt_ = Now;
}

void Settling::Acked(int Mid, Clock::time_point Now) {
    if (pending_.erase(Mid) != 0 && pending_.empty()) ackedAt_ = Now;
}

void Settling::Heard(const std::string& Topic, Clock::time_point Now) {
    if (heard_.size() < kTopics && heard_.insert(Topic).second) newsAt_ = Now;
}

Settling::Clock::time_point Settling::QuietAt() const {
    const auto quiet = std::max<Clock::duration>(kQuiet, 4 * (ackedAt_ - sentAt_));
    return std::max(ackedAt_, newsAt_) + quiet;
}

}  // namespace kmqtt
