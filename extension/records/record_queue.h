// RecordQueue: the unbounded first-in-first-out queue of one data stream
// (gaze of one eye type, pupil sizes, eye events, or a stream this tracker
// never fills). The extension object owns one per stream as a member.
//
// Who calls what:
// - Push runs on the thread that delivers the tracker's gaze callbacks: the
//   producer. One producer at a time. A tracking worker that is replaced hands
//   the queues on to its successor only through a happens-before edge: the
//   object waits until no callback of an earlier worker can be inside it
//   before it starts the next worker (StartTracking), so a replaced worker's
//   last callback finishes its pushes before the successor's first one.
// - Fetch, Count and Clear run on the host's thread: the consumer. Only the
//   consumer frees storage; the producer only allocates.
// Nothing takes a lock or does a read-modify-write. Neither side ever waits
// for the other: the producer never looks at the host, and the host finishes
// every call in one pass over the producer's words wherever the producer
// stands, even stopped half-way through a push (a host thread above the
// tracker thread's priority on one processor would otherwise keep it from
// finishing). The host reads again only when an emptying push began while it
// copied: once per such push, so at a tracker's rate (half a millisecond
// between samples at least) a call reads twice at most, unless the host's
// thread is preempted while it copies.
//
// What each side publishes. The producer writes only its own fields and the
// shared words below; the consumer writes only its own fields and the ring of
// spare chunks it hands back.
// - Keep-all records go to a ring of fixed-size chunks. The producer writes a
//   record into its slot, then publishes the new ring end.
// - A push with keep-all off empties the queue without touching the
//   consumer's side: it puts its record into the latest-record slot and
//   declares every ring record before the current ring end discarded (the
//   ring floor). The slot, the floor and the slot's generation (a count of
//   emptying pushes) form the newest-record state. It is kept twice, and a
//   counter names the copy the consumer may read: the producer moves the
//   counter (odd: copy 1), rewrites copy 0, moves it again (even: copy 0) and
//   rewrites copy 1. A copy is rewritten only while the counter names the
//   other one.
// - The consumer takes one snapshot per call: the counter, the newest-record
//   state from the copy it names, then the ring end, then the counter again.
//   It keeps the snapshot when the counter has not moved and reads again
//   otherwise. What it delivers, counts or clears is decided by that snapshot;
//   it then moves its own read position past what it removed. A push after
//   the snapshot belongs after the call, and nothing it adds can be removed
//   uncopied.
//
// Why the orders suffice (each line names a release store and the acquire
// load that reads it):
// 1. Ring end: release after the record's bytes; the consumer acquires it
//    and reads only slots below it, so it reads every such record whole. The
//    producer writes a slot again only in a chunk the consumer handed back.
// 2. Chunk link (next): release after the new chunk's first and limit; the
//    consumer acquires it before it looks at them or frees the chunk it
//    leaves. A chunk with a successor is never written again by the producer.
// 3. Spare ring: the consumer's count of handed-back chunks is a release
//    after its last read of the chunk and its store into the spare ring; the
//    producer acquires it before it takes the chunk and writes into it. The
//    producer's count of taken spares, release after it read the spare slot,
//    is acquired by the consumer before it reuses that slot.
// 4. Newest-record state: every producer store to the counter and the copies
//    is a release; the consumer's loads of the counter (first) and of the
//    copy are acquires, the last counter load is relaxed.
//    - Whole: a counter value naming copy c is stored after the producer's
//      last rewrite of c, so the consumer that acquires it sees c complete.
//    - Not torn: the producer rewrites c only after storing a counter value
//      that names the other copy. A copy load that returns a value of that
//      rewrite synchronises with it, so the later counter load cannot return
//      the value the consumer started with, and the snapshot is dropped. (The
//      copy loads are acquires so that the counter check cannot move before
//      them.)
//    - Floor and ring end agree: the ring end is loaded after the floor. The
//      floor was stored after every ring end up to it, and the acquire makes
//      them visible, so the ring end read is never below the floor.
// 5. Handover between producers: a happens-before edge outside the queue
//    (see above); the successor's first store comes after the predecessor's
//    last.
//
// What checks it. RecordQueueThreaded.EveryCountAndFetchIsTheQueueAtOneMoment-
// DuringTheCall compares every Count and Fetch, in keep-all, newest-only and
// mixed pushes, with a model of the queue after some push made during the
// call: a torn snapshot, a wrong floor or a missing re-check fails it within
// a second. HostCallsReturnWhileThePusherIsStoppedInsideAnEmptyingPush stops
// the producer at either rewrite, with the host above its priority on the
// same processor. Under ThreadSanitizer, the threaded tests check pairs 1-3,
// which publish plain memory. Pair 4 and the order of its loads are between
// atomics only: x86 keeps stores in order and loads in order, so no test on
// this hardware can show them broken, and ThreadSanitizer does not reorder
// atomics. tests/weak_memory/record_queue_orders_check.cpp checks them under
// the C++ memory model itself (Relacy), where a relaxed store or load in their
// place is found within a few iterations. The records in the chunks are
// plain memory there, so pairs 1-3 rest on ThreadSanitizer and the argument
// above.
//
// Order: the latest-record slot, when it holds a record the consumer has not
// taken, is older than every ring record from the floor on (pushes after an
// emptying push go to the ring), so it is delivered first.
//
// Storage: records live in chunks of about 8 KiB (a GazeRecord costs 24 bytes
// plus 1/339 of a chunk header). A keep-all push allocates only when its chunk
// is full and the consumer has not handed back a spare; a failed allocation
// drops that record and nothing throws. The consumer hands the chunks it has
// finished back to the producer (up to kSpareChunks waiting, the rest freed),
// so a host that keeps up causes no allocation in steady state, and a stream
// that keeps only its newest record never touches the ring. Emptying frees
// the finished chunks beyond those spares; the chunk the producer may still
// write stays.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <thread>
#include <type_traits>

namespace okulon {

// What a queue is built from. Tests substitute their own: a pause inside the
// emptying push (to stop the producer where the host can find it half done),
// and simulated atomics for the weak-memory check.
struct RecordQueueTraits {
    template <class T>
    using Atomic = std::atomic<T>;

    // Called by an emptying push with step 1 just before it rewrites the
    // first copy of the newest-record state, with step 2 before the second.
    static void PauseInsideEmptyingPush(int /*step*/) noexcept {}
};

template <class Record, class Traits = RecordQueueTraits>
class RecordQueue {
    static_assert(std::is_trivially_copyable<Record>::value, "records are handed to the host byte for byte");
    static_assert(sizeof(Record) % sizeof(uint64_t) == 0 && alignof(Record) <= alignof(uint64_t),
                  "the latest-record slot copies whole 8-byte words");

    template <class T>
    using Atomic = typename Traits::template Atomic<T>;

    struct ChunkHeader {
        Atomic<ChunkHeader*> next{nullptr};  // linked by the producer
        uint64_t first = 0;                  // ring position of the chunk's first record
        uint64_t limit = 0;                  // one past its last ring position
    };

public:
    // Records per chunk: a chunk fills 8 KiB less a typical allocator header,
    // so it is one block of a round size.
    static constexpr std::size_t kChunkBytes = 8192 - 16;
    static constexpr std::size_t kChunkCapacity = (kChunkBytes - sizeof(ChunkHeader)) / sizeof(Record);
    static_assert(kChunkCapacity >= 1, "record too large for a chunk");

    RecordQueue() noexcept = default;
    ~RecordQueue();
    RecordQueue(const RecordQueue&) = delete;
    RecordQueue& operator=(const RecordQueue&) = delete;

    // Producer. Appends the record at the newest end; with keepAll false the
    // queue is emptied first, so it then holds this record only.
    void Push(const Record& record, bool keepAll) noexcept {
        if (keepAll) {
            PushToRing(record);
        } else {
            PushReplacingAll(record);
        }
    }

    // Consumer. Removes every record and releases the finished chunks.
    void Clear() noexcept;

    // Consumer. Number of queued records, at most INT32_MAX.
    int32_t Count() const noexcept;

    // Consumer. Copies the min(requested, Count()) oldest records, oldest
    // first, to out and removes them; returns that number. requested <= 0
    // fetches nothing.
    int32_t Fetch(Record* out, int32_t requested) noexcept;

private:
    struct Chunk : ChunkHeader {
        Record records[kChunkCapacity];
    };

    static constexpr std::size_t kSlotWords = sizeof(Record) / sizeof(uint64_t);

    // The state an emptying push leaves, kept twice (see PushReplacingAll).
    struct LatestRecord {
        Atomic<uint64_t> slot[kSlotWords] = {};  // the record of the last emptying push
        Atomic<uint64_t> ringFloor{0};           // ring positions below it are discarded
        Atomic<uint64_t> slotGeneration{0};      // counts emptying pushes
    };

    // The producer's shared words, as the consumer sees them at one moment.
    struct Snapshot {
        uint64_t ringFloor;
        uint64_t ringEnd;
        uint64_t slotGeneration;
    };

    void PushToRing(const Record& record) noexcept {
        if (m_producerRingEnd == m_tailLimit && !LinkNewTailChunk()) {
            return;  // out of memory: this record is dropped
        }
        CopyByWords(&m_tailRecords[m_producerRingEnd - m_tailFirst], record);
        ++m_producerRingEnd;
        m_ringEnd.store(m_producerRingEnd, std::memory_order_release);
    }

    // Copies in register-sized words, each through a register. The callback
    // builds a record just before it pushes, in stores of 8 or 16 bytes; a
    // 16-byte load spanning two of them cannot be served from the store buffer
    // and waits for both to reach the cache (about 6 ns per record on the
    // benchmark machine). The empty asm keeps the compiler from merging the
    // words into such loads.
    static void CopyByWords(Record* to, const Record& from) noexcept {
        static_assert(sizeof(Record) % sizeof(uintptr_t) == 0, "records are whole words");
        const auto* source = reinterpret_cast<const unsigned char*>(&from);
        auto* target = reinterpret_cast<unsigned char*>(to);
        for (std::size_t i = 0; i < sizeof(Record) / sizeof(uintptr_t); ++i) {
            uintptr_t word;
            std::memcpy(&word, source + i * sizeof(word), sizeof(word));
            asm("" : "+r"(word));
            std::memcpy(target + i * sizeof(word), &word, sizeof(word));
        }
    }

    // Rewrites both copies of the newest-record state, one at a time; the
    // counter's low bit sends the consumer to the copy that is not changing.
    // All stores are release stores (plain stores on x86): none becomes
    // visible before the counter value that sent the consumer away from its
    // copy, and a consumer that acquires a counter value sees both copies as
    // complete as they were when the producer stored it.
    void PushReplacingAll(const Record& record) noexcept {
        uint64_t words[kSlotWords];
        std::memcpy(words, &record, sizeof(Record));
        const uint64_t generation = ++m_producerSlotGeneration;
        const uint32_t sequence = m_producerSequence;  // even: both copies agree
        m_sequence.store(sequence + 1, std::memory_order_release);
        Traits::PauseInsideEmptyingPush(1);
        StoreLatest(m_latest[0], words, generation);
        m_sequence.store(sequence + 2, std::memory_order_release);
        Traits::PauseInsideEmptyingPush(2);
        StoreLatest(m_latest[1], words, generation);
        m_producerSequence = sequence + 2;
    }

    void StoreLatest(LatestRecord& latest, const uint64_t (&words)[kSlotWords], uint64_t generation) noexcept {
        for (std::size_t i = 0; i < kSlotWords; ++i) {
            latest.slot[i].store(words[i], std::memory_order_release);
        }
        latest.ringFloor.store(m_producerRingEnd, std::memory_order_release);
        latest.slotGeneration.store(generation, std::memory_order_release);
    }

    // Producer. The tail chunk is full: continue in a spare or a new chunk.
    bool LinkNewTailChunk() noexcept {
        Chunk* chunk = nullptr;
        if (m_producerSparesTaken != m_sparesHandedBack.load(std::memory_order_acquire)) {
            chunk = m_spares[m_producerSparesTaken % kSpareChunks];
            ++m_producerSparesTaken;
            m_sparesTaken.store(m_producerSparesTaken, std::memory_order_release);
        } else {
            chunk = new (std::nothrow) Chunk;
            if (chunk == nullptr) {
                return false;
            }
        }
        chunk->next.store(nullptr, std::memory_order_relaxed);
        chunk->first = m_producerRingEnd;
        chunk->limit = m_producerRingEnd + kChunkCapacity;
        m_tail->next.store(chunk, std::memory_order_release);
        m_tail = chunk;
        m_tailRecords = chunk->records;
        m_tailFirst = chunk->first;
        m_tailLimit = chunk->limit;
        return true;
    }

    // Consumer. One consistent view of the producer's words; with slotOut,
    // also the latest record when it is one the consumer has not taken. It
    // reads the copy of the newest-record state that the counter names and
    // keeps the result when the counter has not moved meanwhile: the producer
    // rewrites that copy only after moving the counter. A producer stopped
    // anywhere therefore never holds the consumer up; only a push that starts
    // while the consumer copies makes it read again.
    Snapshot TakeSnapshot(Record* slotOut) const noexcept {
        for (unsigned attempt = 0;; ++attempt) {
            const uint32_t before = m_sequence.load(std::memory_order_acquire);
            const LatestRecord& latest = m_latest[before & 1u];
            Snapshot snapshot;
            // Acquire loads: the check below cannot move before them, and a
            // value of a later push brings that push's counter with it.
            snapshot.slotGeneration = latest.slotGeneration.load(std::memory_order_acquire);
            snapshot.ringFloor = latest.ringFloor.load(std::memory_order_acquire);
            snapshot.ringEnd = m_ringEnd.load(std::memory_order_acquire);
            uint64_t words[kSlotWords];
            const bool copySlot = slotOut != nullptr && snapshot.slotGeneration != m_takenSlotGeneration;
            if (copySlot) {
                for (std::size_t i = 0; i < kSlotWords; ++i) {
                    words[i] = latest.slot[i].load(std::memory_order_acquire);
                }
            }
            if (m_sequence.load(std::memory_order_relaxed) == before) {
                if (copySlot) {
                    std::memcpy(slotOut, words, sizeof(Record));
                }
                return snapshot;
            }
            // A pusher that leaves no gap between emptying pushes (a tracker
            // leaves half a millisecond at least) could keep the copy
            // failing; give it the processor now and then.
            if (attempt >= 64) {
                std::this_thread::yield();
            }
        }
    }

    // Consumer. First ring position still queued under the snapshot.
    uint64_t RingStart(const Snapshot& snapshot) const noexcept { return std::max(m_ringRead, snapshot.ringFloor); }

    bool SlotHoldsUntaken(const Snapshot& snapshot) const noexcept {
        return snapshot.slotGeneration != m_takenSlotGeneration;
    }

    // Consumer. Steps the head past chunks that end at or before position,
    // once the producer has moved on from them.
    void ReleaseChunksBefore(uint64_t position) noexcept {
        while (position >= m_head->limit) {
            ChunkHeader* next = m_head->next.load(std::memory_order_acquire);
            if (next == nullptr) {
                return;  // still the producer's chunk
            }
            ChunkHeader* finished = m_head;
            m_head = next;
            if (finished != &m_anchor) {
                Recycle(static_cast<Chunk*>(finished));
            }
        }
    }

    // Consumer. Hands a finished chunk back to the producer while the spare
    // ring has room; frees it otherwise.
    void Recycle(Chunk* chunk) noexcept {
        if (m_consumerSparesHandedBack - m_sparesTaken.load(std::memory_order_acquire) < kSpareChunks) {
            m_spares[m_consumerSparesHandedBack % kSpareChunks] = chunk;
            ++m_consumerSparesHandedBack;
            m_sparesHandedBack.store(m_consumerSparesHandedBack, std::memory_order_release);
        } else {
            delete chunk;
        }
    }

    // The anchor is the ring's empty first link, so neither side ever meets a
    // null head or tail.
    ChunkHeader m_anchor;

    // Producer's side: written only by the producer.
    alignas(64) ChunkHeader* m_tail = &m_anchor;
    Record* m_tailRecords = nullptr;
    uint64_t m_tailFirst = 0;
    uint64_t m_tailLimit = 0;
    uint64_t m_producerRingEnd = 0;
    uint64_t m_producerSlotGeneration = 0;
    uint32_t m_producerSequence = 0;
    // Published by the producer, read by the consumer.
    Atomic<uint32_t> m_sequence{0};  // +2 per emptying push; its low bit names the copy to read
    Atomic<uint64_t> m_ringEnd{0};   // ring positions below it are written
    LatestRecord m_latest[2];

    // Consumer's side: written only by the consumer.
    alignas(64) ChunkHeader* m_head = &m_anchor;
    uint64_t m_ringRead = 0;
    uint64_t m_takenSlotGeneration = 0;  // the slot's record up to this generation is gone

    // Finished chunks on their way back to the producer: a ring of its own,
    // filled by the consumer and emptied by the producer. Enough for a host
    // that fetches a few thousand records at a time.
    static constexpr uint32_t kSpareChunks = 8;
    alignas(64) Chunk* m_spares[kSpareChunks] = {};
    uint32_t m_consumerSparesHandedBack = 0;
    Atomic<uint32_t> m_sparesHandedBack{0};
    alignas(64) uint32_t m_producerSparesTaken = 0;
    Atomic<uint32_t> m_sparesTaken{0};
};

template <class Record, class Traits>
RecordQueue<Record, Traits>::~RecordQueue() {
    // Owner's thread; no producer or consumer runs any more.
    ChunkHeader* chunk = m_anchor.next.load(std::memory_order_acquire);
    if (m_head != &m_anchor) {
        chunk = m_head;
    }
    while (chunk != nullptr) {
        ChunkHeader* next = chunk->next.load(std::memory_order_relaxed);
        delete static_cast<Chunk*>(chunk);
        chunk = next;
    }
    const uint32_t handedBack = m_sparesHandedBack.load(std::memory_order_acquire);
    for (uint32_t spare = m_sparesTaken.load(std::memory_order_acquire); spare != handedBack; ++spare) {
        delete m_spares[spare % kSpareChunks];
    }
}

template <class Record, class Traits>
void RecordQueue<Record, Traits>::Clear() noexcept {
    const Snapshot snapshot = TakeSnapshot(nullptr);
    m_takenSlotGeneration = snapshot.slotGeneration;
    m_ringRead = snapshot.ringEnd;
    ReleaseChunksBefore(m_ringRead);
}

template <class Record, class Traits>
int32_t RecordQueue<Record, Traits>::Count() const noexcept {
    const Snapshot snapshot = TakeSnapshot(nullptr);
    const uint64_t count = (snapshot.ringEnd - RingStart(snapshot)) + (SlotHoldsUntaken(snapshot) ? 1 : 0);
    constexpr uint64_t kMax = static_cast<uint64_t>(std::numeric_limits<int32_t>::max());
    return static_cast<int32_t>(std::min(count, kMax));
}

template <class Record, class Traits>
int32_t RecordQueue<Record, Traits>::Fetch(Record* out, int32_t requested) noexcept {
    if (requested <= 0) {
        return 0;
    }
    const Snapshot snapshot = TakeSnapshot(out);
    uint64_t remaining = static_cast<uint64_t>(requested);
    std::size_t delivered = 0;
    if (SlotHoldsUntaken(snapshot)) {
        // TakeSnapshot has copied it to out[0].
        m_takenSlotGeneration = snapshot.slotGeneration;
        delivered = 1;
        --remaining;
    }
    uint64_t position = RingStart(snapshot);
    const uint64_t end = position + std::min(remaining, snapshot.ringEnd - position);
    ReleaseChunksBefore(position);
    // Positions below the snapshot's ring end lie in linked chunks.
    const ChunkHeader* chunk = m_head;
    while (position < end) {
        if (position >= chunk->limit) {
            chunk = chunk->next.load(std::memory_order_acquire);
            continue;
        }
        const Chunk* records = static_cast<const Chunk*>(chunk);
        const uint64_t count = std::min(end, chunk->limit) - position;
        std::memcpy(out + delivered, &records->records[position - chunk->first],
                    static_cast<std::size_t>(count) * sizeof(Record));
        delivered += static_cast<std::size_t>(count);
        position += count;
    }
    m_ringRead = position;
    ReleaseChunksBefore(position);
    return static_cast<int32_t>(delivered);
}

}  // namespace okulon
