// ControlQueue: the entries of a recording that do not come from the gaze
// callback (tracking started and stopped, marks, a lost connection), from the
// host's thread and the tracking worker to the writer thread.
//
// Any thread may Post; only the writer takes. Posting is one compare-and-swap
// on a list head and taking swaps the whole list out, so neither side ever
// waits for the other and the writer never holds up the host.
// Ownership: the queue owns the entries posted and not yet taken; TakeAll
// hands them over in the order they were posted.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

namespace okulon {

enum class ControlKind { kStart, kStop, kMark, kDisconnect };

struct ControlEntry {
    ControlKind kind = ControlKind::kMark;
    uint32_t generation = 0;     // the recording it belongs to (see SampleHandoff)
    uint64_t samplesBefore = 0;  // SampleHandoff::PushedCount when it was made
    int64_t trackerUs = 0;
    int64_t pcUs = 0;
    int32_t code = 0;  // kDisconnect: the system check's code
    std::string text;  // kMark: UTF-8
    std::unique_ptr<ControlEntry> next;
};

class ControlQueue {
public:
    ControlQueue() = default;
    ControlQueue(const ControlQueue&) = delete;
    ControlQueue& operator=(const ControlQueue&) = delete;
    ~ControlQueue() { std::unique_ptr<ControlEntry> rest(m_head.exchange(nullptr, std::memory_order_acquire)); }

    void Post(std::unique_ptr<ControlEntry> entry) noexcept {
        ControlEntry* raw = entry.release();
        ControlEntry* head = m_head.load(std::memory_order_relaxed);
        do {
            static_cast<void>(raw->next.release());
            raw->next.reset(head);
        } while (!m_head.compare_exchange_weak(head, raw, std::memory_order_release, std::memory_order_relaxed));
    }

    // Everything posted so far, oldest first (a list linked through next).
    std::unique_ptr<ControlEntry> TakeAll() noexcept {
        std::unique_ptr<ControlEntry> newestFirst(m_head.exchange(nullptr, std::memory_order_acquire));
        std::unique_ptr<ControlEntry> oldestFirst;
        while (newestFirst) {
            std::unique_ptr<ControlEntry> rest = std::move(newestFirst->next);
            newestFirst->next = std::move(oldestFirst);
            oldestFirst = std::move(newestFirst);
            newestFirst = std::move(rest);
        }
        return oldestFirst;
    }

private:
    std::atomic<ControlEntry*> m_head{nullptr};
};

}  // namespace okulon
