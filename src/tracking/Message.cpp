#include "tracking/Message.h"

#include "tracking/SnapshotKept.h"

namespace tarvik {

Payload::Payload(Content content) : box_(std::make_shared<Box>()) {
    box_->content = std::move(content);
}

Payload Payload::Record(std::unique_ptr<CConnectionRecord> record) {
    if (!record) {
        return {};
    }
    return Payload(Content(std::move(record)));
}

Payload Payload::Record(CConnectionRecord record) {
    return Record(std::make_unique<CConnectionRecord>(std::move(record)));
}

Payload Payload::Text(std::string text) {
    return Payload(Content(std::make_unique<std::string>(std::move(text))));
}

Payload Payload::Alert(ScanAlertEvent alert) {
    return Payload(Content(std::make_unique<ScanAlertEvent>(std::move(alert))));
}

Payload Payload::Events(ConnectionEvents events) {
    return Payload(Content(std::make_unique<ConnectionEvents>(std::move(events))));
}

std::unique_ptr<CConnectionRecord> Payload::TakeRecord() {
    if (!box_) {
        return nullptr;
    }
    std::lock_guard lock(box_->mutex);
    auto* record = std::get_if<std::unique_ptr<CConnectionRecord>>(&box_->content);
    return record ? std::move(*record) : nullptr;
}

std::unique_ptr<std::string> Payload::TakeText() {
    if (!box_) {
        return nullptr;
    }
    std::lock_guard lock(box_->mutex);
    auto* text = std::get_if<std::unique_ptr<std::string>>(&box_->content);
    return text ? std::move(*text) : nullptr;
}

std::unique_ptr<ScanAlertEvent> Payload::TakeAlert() {
    if (!box_) {
        return nullptr;
    }
    std::lock_guard lock(box_->mutex);
    auto* alert = std::get_if<std::unique_ptr<ScanAlertEvent>>(&box_->content);
    return alert ? std::move(*alert) : nullptr;
}

std::unique_ptr<ConnectionEvents> Payload::TakeEvents() {
    if (!box_) {
        return nullptr;
    }
    std::lock_guard lock(box_->mutex);
    auto* events = std::get_if<std::unique_ptr<ConnectionEvents>>(&box_->content);
    return events ? std::move(*events) : nullptr;
}

Payload Payload::Kept(std::unique_ptr<SnapshotKept> kept) {
    if (!kept) {
        return {};
    }
    return Payload(Content(std::move(kept)));
}

std::unique_ptr<SnapshotKept> Payload::TakeKept() {
    if (!box_) {
        return nullptr;
    }
    std::lock_guard lock(box_->mutex);
    auto* kept = std::get_if<std::unique_ptr<SnapshotKept>>(&box_->content);
    return kept ? std::move(*kept) : nullptr;
}

}  // namespace tarvik
