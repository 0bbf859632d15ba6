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
// Nothing takes a lock or does a read-modify-write. The producer never waits
// for the host; the host waits at most while an emptying push (below) makes
// its few stores.
//
// Why that is safe. The producer writes only its own fields and the shared
// words it publishes; the consumer writes only its own fields and the ring of
// spare chunks it hands back. Every operation is atomic with respect to every
// other:
// - Keep-all records go to a ring of fixed-size chunks. The producer writes a
//   record into its slot, then publishes the new ring end with a release
//   store. The consumer reads only slots below the end it acquired, and the
//   producer never writes a slot again until the consumer has handed its chunk
//   back, so a record is never read while written.
// - A push with keep-all off empties the queue without touching the
//   consumer's side: it puts its record into the latest-record slot and
//   declares every ring record before the current ring end discarded (the
//   ring floor). The slot, its generation and the floor change together under
//   a sequence counter (odd while they change), so the consumer sees either
//   the state before that push or after it, never a mix, and a slot copy that
//   the producer overwrote meanwhile is retried.
// - The consumer takes one consistent snapshot (floor, ring end, slot
//   generation, slot record) per operation. What it delivers, counts or
//   clears is decided by that snapshot; it then moves its own read position
//   past what it removed. A push that comes after the snapshot belongs after
//   the operation, and nothing it adds can be removed uncopied.
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

template <class Record>
class RecordQueue {
    static_assert(std::is_trivially_copyable<Record>::value,
                  "records are handed to the host byte for byte");
    static_assert(sizeof(Record) % sizeof(uint64_t) == 0 && alignof(Record) <= alignof(uint64_t),
                  "the latest-record slot copies whole 8-byte words");

    struct ChunkHeader {
        std::atomic<ChunkHeader*> next{nullptr};  // linked by the producer
        uint64_t first = 0;                       // ring position of the chunk's first record
        uint64_t limit = 0;                       // one past its last ring position
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

    void PushReplacingAll(const Record& record) noexcept {
        uint64_t words[kSlotWords];
        std::memcpy(words, &record, sizeof(Record));
        const uint32_t sequence = m_producerSequence;
        m_sequence.store(sequence + 1, std::memory_order_relaxed);
        // Release stores: none becomes visible before the odd count (a
        // seqlock's write side; plain stores on x86).
        for (std::size_t i = 0; i < kSlotWords; ++i) {
            m_slot[i].store(words[i], std::memory_order_release);
        }
        m_ringFloor.store(m_producerRingEnd, std::memory_order_release);
        m_slotGeneration.store(++m_producerSlotGeneration, std::memory_order_release);
        m_producerSequence = sequence + 2;
        m_sequence.store(sequence + 2, std::memory_order_release);
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
    // also the latest record when it is one the consumer has not taken.
    Snapshot TakeSnapshot(Record* slotOut) const noexcept {
        for (unsigned attempt = 0;; ++attempt) {
            const uint32_t before = m_sequence.load(std::memory_order_acquire);
            if ((before & 1u) == 0) {
                Snapshot snapshot;
                // Acquire loads: the check below cannot move before them (a
                // seqlock's read side; plain loads on x86).
                snapshot.slotGeneration = m_slotGeneration.load(std::memory_order_acquire);
                snapshot.ringFloor = m_ringFloor.load(std::memory_order_acquire);
                snapshot.ringEnd = m_ringEnd.load(std::memory_order_acquire);
                uint64_t words[kSlotWords];
                const bool copySlot = slotOut != nullptr && snapshot.slotGeneration != m_takenSlotGeneration;
                if (copySlot) {
                    for (std::size_t i = 0; i < kSlotWords; ++i) {
                        words[i] = m_slot[i].load(std::memory_order_acquire);
                    }
                }
                if (m_sequence.load(std::memory_order_relaxed) == before) {
                    if (copySlot) {
                        std::memcpy(slotOut, words, sizeof(Record));
                    }
                    return snapshot;
                }
            }
            // The producer is inside an emptying push, a few stores long;
            // yield in case it was preempted there.
            if (attempt >= 64) {
                std::this_thread::yield();
            }
        }
    }

    // Consumer. First ring position still queued under the snapshot.
    uint64_t RingStart(const Snapshot& snapshot) const noexcept {
        return std::max(m_ringRead, snapshot.ringFloor);
    }

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
    std::atomic<uint32_t> m_sequence{0};         // odd while an emptying push runs
    std::atomic<uint64_t> m_ringEnd{0};          // ring positions below it are written
    std::atomic<uint64_t> m_ringFloor{0};        // ring positions below it are discarded
    std::atomic<uint64_t> m_slotGeneration{0};   // counts emptying pushes
    std::atomic<uint64_t> m_slot[kSlotWords] = {};  // the record of the last emptying push

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
    std::atomic<uint32_t> m_sparesHandedBack{0};
    alignas(64) uint32_t m_producerSparesTaken = 0;
    std::atomic<uint32_t> m_sparesTaken{0};
};

template <class Record>
RecordQueue<Record>::~RecordQueue() {
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

template <class Record>
void RecordQueue<Record>::Clear() noexcept {
    const Snapshot snapshot = TakeSnapshot(nullptr);
    m_takenSlotGeneration = snapshot.slotGeneration;
    m_ringRead = snapshot.ringEnd;
    ReleaseChunksBefore(m_ringRead);
}

template <class Record>
int32_t RecordQueue<Record>::Count() const noexcept {
    const Snapshot snapshot = TakeSnapshot(nullptr);
    const uint64_t count = (snapshot.ringEnd - RingStart(snapshot)) + (SlotHoldsUntaken(snapshot) ? 1 : 0);
    constexpr uint64_t kMax = static_cast<uint64_t>(std::numeric_limits<int32_t>::max());
    return static_cast<int32_t>(std::min(count, kMax));
}

template <class Record>
int32_t RecordQueue<Record>::Fetch(Record* out, int32_t requested) noexcept {
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
