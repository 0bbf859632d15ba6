// SampleHandoff: the bounded, lock-free hand-off of tracker records from the
// gaze callback to the recording's writer thread.
//
// Who calls what:
// - TryPush runs on the thread that delivers the tracker's gaze callbacks: the
//   producer, one at a time. A replaced tracking worker hands the producer
//   side on through the same happens-before edge as the record queues (the
//   object waits until no earlier callback is inside it before it starts the
//   next worker).
// - Drain runs on the writer thread: the consumer, one at a time.
// Neither side ever waits for the other. A full ring drops the record and
// counts it; the count travels with the next record that fits, so the file
// says where the gap is.
//
// Each slot carries the generation of the recording that was on when the
// record was pushed: a callback that saw one recording open may push after
// it was closed, and the next recording's writer must not take that record
// as its own.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "recording/control_queue.h"
#include "tracker/contract/tracker_records.h"

namespace okulon {

struct RecordedSample {
    TrackerRecord record;
    int32_t screenWidth;  // the conversion's size at the sample
    int32_t screenHeight;
    uint32_t generation;     // the recording it belongs to
    uint32_t droppedBefore;  // records of that recording lost just before this one
};

class SampleHandoff {
public:
    // Capacity is rounded up to a power of two.
    explicit SampleHandoff(std::size_t capacity)
        : m_mask(RoundUpToPowerOfTwo(capacity) - 1), m_slots(new RecordedSample[m_mask + 1]) {}
    SampleHandoff(const SampleHandoff&) = delete;
    SampleHandoff& operator=(const SampleHandoff&) = delete;

    std::size_t Capacity() const noexcept { return m_mask + 1; }
    std::size_t MemoryBytes() const noexcept { return sizeof(*this) + Capacity() * sizeof(RecordedSample); }

    // Producer. False when the ring is full: the record is counted as dropped.
    bool TryPush(const TrackerRecord& record, int32_t width, int32_t height, uint32_t generation) noexcept {
        const uint64_t tail = m_tail.load(std::memory_order_relaxed);
        if (generation != m_pendingGeneration.load(std::memory_order_relaxed)) {
            m_pendingGeneration.store(generation, std::memory_order_relaxed);
            m_pendingDrops.store(0, std::memory_order_relaxed);
        }
        if (tail - m_cachedHead >= Capacity()) {
            m_cachedHead = m_head.load(std::memory_order_acquire);
            if (tail - m_cachedHead >= Capacity()) {
                m_pendingDrops.store(m_pendingDrops.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
                return false;
            }
        }
        RecordedSample& slot = m_slots[tail & m_mask];
        slot.record = record;
        slot.screenWidth = width;
        slot.screenHeight = height;
        slot.generation = generation;
        slot.droppedBefore = m_pendingDrops.load(std::memory_order_relaxed);
        m_pendingDrops.store(0, std::memory_order_relaxed);
        m_tail.store(tail + 1, std::memory_order_release);
        return true;
    }

    // How many records were ever pushed; a mark in the file goes after the
    // records that were pushed before it was made.
    uint64_t PushedCount() const noexcept { return m_tail.load(std::memory_order_acquire); }

    // Consumer. Hands each record pushed before `limit` (a PushedCount) to
    // `take`, oldest first, and frees its slot. Returns how many it handed on.
    template <class Take>
    std::size_t Drain(uint64_t limit, Take&& take) noexcept {
        const uint64_t tail = m_tail.load(std::memory_order_acquire);
        const uint64_t end = limit < tail ? limit : tail;
        uint64_t head = m_head.load(std::memory_order_relaxed);
        const uint64_t start = head;
        for (; head < end; ++head) {
            take(static_cast<const RecordedSample&>(m_slots[head & m_mask]));
            m_head.store(head + 1, std::memory_order_release);
        }
        return static_cast<std::size_t>(head - start);
    }

    // Records of `generation` dropped since its last record that fitted. Read
    // by the consumer when the recording ends; the producer may still move it.
    uint32_t PendingDrops(uint32_t generation) const noexcept {
        if (m_pendingGeneration.load(std::memory_order_relaxed) != generation) return 0;
        return m_pendingDrops.load(std::memory_order_relaxed);
    }

private:
    static std::size_t RoundUpToPowerOfTwo(std::size_t value) noexcept {
        std::size_t power = 1;
        while (power < value) power <<= 1;
        return power;
    }

    const std::size_t m_mask;
    const std::unique_ptr<RecordedSample[]> m_slots;
    // Producer's side.
    alignas(64) std::atomic<uint64_t> m_tail{0};
    uint64_t m_cachedHead = 0;
    // Written by the producer only; atomic so that the consumer may read them.
    std::atomic<uint32_t> m_pendingGeneration{0};
    std::atomic<uint32_t> m_pendingDrops{0};
    // Consumer's side.
    alignas(64) std::atomic<uint64_t> m_head{0};
};

// What the object shares with the writer of each recording: the hand-off of
// samples and the queue of the other entries. Lives as long as the object or
// the last writer, whichever is later.
struct RecordingChannel {
    explicit RecordingChannel(std::size_t capacity) : samples(capacity) {}
    SampleHandoff samples;
    ControlQueue controls;
};

}  // namespace okulon
