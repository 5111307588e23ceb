#include "daemon/nut/command_tracking.h"

#include <QUuid>

#include "link/link_core.h"

namespace nut {
namespace {

int LinkOutcomes(int code, int device, uint32_t* accepted, uint32_t* dropped) {
    return device >= 0 && device < 4 ? CommandOutcomes(code, &MainUps[device], accepted, dropped) : 0;
}

}  // namespace

CommandTracker::CommandTracker(OutcomeFn outcomes) : outcomes_(outcomes ? outcomes : &LinkOutcomes) {}

std::string CommandTracker::Start(int device, int commandCode, qint64 nowMs) {
    Forget(nowMs);
    Entry e;
    e.device = device;
    e.code = commandCode;
    e.startMs = nowMs;
    if (!outcomes_(commandCode, device, &e.accepted, &e.dropped)) e.result = "ERR FAILED";
    std::string id = QUuid::createUuid().toString(QUuid::WithoutBraces).toStdString();
    entries_.emplace(id, e);
    order_.push_back(id);
    return id;
}

std::string CommandTracker::Status(std::string_view id, qint64 nowMs) {
    Forget(nowMs);
    const auto it = entries_.find(id);
    if (it == entries_.end()) return "ERR UNKNOWN";
    Entry& e = it->second;
    uint32_t accepted = 0, dropped = 0;
    if (std::string_view(e.result) == "PENDING" && outcomes_(e.code, e.device, &accepted, &dropped)) {
        // Counted from when it was queued: the first of that code to finish after it is taken as it.
        if (accepted != e.accepted)
            e.result = "SUCCESS";
        else if (dropped != e.dropped)
            e.result = "ERR FAILED";
    }
    return e.result;
}

void CommandTracker::Forget(qint64 nowMs) {
    while (!order_.empty()) {
        const auto it = entries_.find(order_.front());
        const bool old = it == entries_.end() || nowMs - it->second.startMs > kKeepMs;
        if (!old && order_.size() < kMaxEntries) break;
        if (it != entries_.end()) entries_.erase(it);
        order_.pop_front();
    }
}

}  // namespace nut
