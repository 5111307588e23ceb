// When a side on a thread of its own (MQTT, SNMP) is handed the units' state: shortly after the
// link's syncs, coalesced, and on a steady tick, so that staleness shows without news.
#pragma once

#include <QObject>
#include <QTimer>

#include <functional>
#include <utility>

namespace nut {

class OfferPacer : public QObject {
public:
    OfferPacer(int coalesceMs, std::function<void()> offer, QObject* parent = nullptr)
        : QObject(parent), coalesceMs_(coalesceMs), offer_(std::move(offer)) {
        coalesce_.setSingleShot(true);
        connect(&coalesce_, &QTimer::timeout, this, [this] { offer_(); });
        connect(&tick_, &QTimer::timeout, this, [this] { offer_(); });
    }

    void Start(int tickMs) { tick_.start(tickMs); }
    void Stop() {
        coalesce_.stop();
        tick_.stop();
    }
    // After the link's sync; several within the coalescing time make one offer.
    void Sync() {
        if (!coalesce_.isActive()) coalesce_.start(coalesceMs_);
    }

private:
    int coalesceMs_;
    std::function<void()> offer_;
    QTimer coalesce_, tick_;
};

}  // namespace nut
