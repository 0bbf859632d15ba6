// RecordQueue: the unbounded first-in-first-out queue of one data stream
// (gaze of one eye type, pupil sizes, eye events, or a stream this tracker
// never fills). The extension object owns one per stream as a member.
//
// Who calls what:
// - Push runs on the thread that delivers the tracker's gaze callbacks. It is
//   safe from several threads at once (a tracking worker that is being
//   replaced may still deliver a last record while its successor starts).
// - Clear, Count and Fetch run on the host's thread; Count takes no lock.
// Every operation is atomic with respect to every other on the same queue:
// each takes the queue's lock once for its decisive step, and a Fetch decides
// which records it delivers and removes them in that one step, so no record
// pushed meanwhile is removed uncopied and none is delivered twice.
//
// Storage: records live in fixed-size chunks of about 8 KiB (no per-record
// node; a GazeRecord costs 24 bytes plus 1/340 of a chunk header). Push
// appends in constant time; only when the newest chunk is full does it need
// another one, which it takes from a cache of one spare chunk or allocates
// outside the lock. A failed allocation drops the record; nothing throws.
//
// What the lock covers, and why the host cannot hold it long: a Fetch
// unlinks the chunks it consumes completely under the lock but copies them
// into the host's array only after releasing it; under the lock it copies at
// most the part of one chunk it consumes partially. So a Fetch of any size
// holds the lock for one chunk's copy plus a step per chunk it unlinks (one
// per 340 gaze records), and a concurrent Push waits at most that long.
// Chunks that a Fetch has unlinked belong to it alone, so the producer's
// emptying (keep-all off) and a Clear can never free them under its copy.
// Freeing happens outside the lock too.
//
// Trade-off: every operation, Push included, takes the lock once, so a push
// costs one uncontended lock round trip more than a lock-free ring would
// (bench/README.md has the figures). A lock-free single-producer ring could
// not be emptied by the host and by a keep-all-off push while the other side
// runs, nor take a second producer, without the same atomic operations; the
// lock keeps each operation one simple step that is atomic by construction.
//
// Emptying (Clear, or a Push with keep-all off) releases the storage: Clear
// frees every chunk, the spare included; a keep-all-off Push keeps the one
// chunk it writes into, so a stream that keeps only its newest record runs
// without allocating. A Fetch that drains the newest chunk rewinds it, and
// a Fetch that unlinked chunks keeps one of them as the spare, so a host that
// keeps up with the tracker also causes no allocation in steady state.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <type_traits>

#include "extension/queue_lock.h"

namespace okulon {

// Lock: anything with noexcept Lock() and Unlock(); QueueLock in the product,
// other locks only in the benchmarks that weigh the lock's cost.
template <class Record, class Lock = QueueLock>
class RecordQueue {
    static_assert(std::is_trivially_copyable<Record>::value,
                  "records are handed to the host byte for byte");

public:
    // Records per chunk: a chunk with its header fills 8 KiB less a typical
    // allocator header, so it is one block of a round size.
    static constexpr std::size_t kChunkBytes = 8192 - 16;
    static constexpr std::size_t kChunkHeaderBytes = 16;
    static constexpr std::size_t kChunkCapacity = (kChunkBytes - kChunkHeaderBytes) / sizeof(Record);
    static_assert(kChunkCapacity >= 1, "record too large for a chunk");

    RecordQueue() noexcept = default;
    ~RecordQueue() { Clear(); }
    RecordQueue(const RecordQueue&) = delete;
    RecordQueue& operator=(const RecordQueue&) = delete;

    // Appends the record at the newest end; with keepAll false the queue is
    // emptied first, so it then holds this record only.
    void Push(const Record& record, bool keepAll) noexcept;

    // Removes every record and releases the storage.
    void Clear() noexcept;

    // Number of queued records, at most INT32_MAX.
    int32_t Count() const noexcept;

    // Copies the min(requested, Count()) oldest records, oldest first, to out
    // and removes them; returns that number. requested <= 0 fetches nothing.
    int32_t Fetch(Record* out, int32_t requested) noexcept;

private:
    struct Chunk {
        Chunk* next;
        uint32_t read;   // index of the oldest record still queued
        uint32_t write;  // index one past the newest record
        Record records[kChunkCapacity];
    };

    // Owns a chain of chunks that left the queue; frees them when it goes out
    // of scope, which callers arrange to happen after the lock is released.
    class ChunkList {
    public:
        ChunkList() noexcept = default;
        ~ChunkList() {
            while (m_first != nullptr) {
                Chunk* next = m_first->next;
                delete m_first;
                m_first = next;
            }
        }
        ChunkList(const ChunkList&) = delete;
        ChunkList& operator=(const ChunkList&) = delete;

        Chunk* First() const noexcept { return m_first; }

        void Append(Chunk* chunk) noexcept {
            chunk->next = nullptr;
            AppendChain(chunk, chunk);
        }

        // first..last must be linked through next; last->next is cut.
        void AppendChain(Chunk* first, Chunk* last) noexcept {
            last->next = nullptr;
            if (m_last != nullptr) {
                m_last->next = first;
            } else {
                m_first = first;
            }
            m_last = last;
        }

        Chunk* PopFront() noexcept {
            Chunk* chunk = m_first;
            if (chunk != nullptr) {
                m_first = chunk->next;
                if (m_first == nullptr) {
                    m_last = nullptr;
                }
                chunk->next = nullptr;
            }
            return chunk;
        }

    private:
        Chunk* m_first = nullptr;
        Chunk* m_last = nullptr;
    };

    void LinkNewTailLocked(Chunk* chunk) noexcept {
        chunk->next = nullptr;
        chunk->read = 0;
        chunk->write = 0;
        if (m_tail != nullptr) {
            m_tail->next = chunk;
        } else {
            m_head = chunk;
        }
        m_tail = chunk;
    }

    // Empties the queue but keeps its oldest chunk, rewound, as the only one.
    // Any chunk still linked is safe to reuse: a Fetch copies outside the lock
    // only from chunks it has unlinked.
    void EmptyKeepingOneChunkLocked(ChunkList& discarded) noexcept {
        if (m_head == nullptr) {
            return;
        }
        if (m_head != m_tail) {
            discarded.AppendChain(m_head->next, m_tail);
        }
        m_head->next = nullptr;
        m_head->read = 0;
        m_head->write = 0;
        m_tail = m_head;
        SetCountLocked(0);
    }

    void SetCountLocked(std::size_t count) noexcept { m_count.store(count, std::memory_order_release); }
    std::size_t CountLocked() const noexcept { return m_count.load(std::memory_order_relaxed); }

    // Holds m_lock for one scope.
    class [[nodiscard]] ScopedLock {
    public:
        explicit ScopedLock(Lock& lock) noexcept : m_held(lock) { m_held.Lock(); }
        ~ScopedLock() { m_held.Unlock(); }
        ScopedLock(const ScopedLock&) = delete;
        ScopedLock& operator=(const ScopedLock&) = delete;

    private:
        Lock& m_held;
    };

    mutable Lock m_lock;
    Chunk* m_head = nullptr;   // oldest chunk, null when no chunk is held
    Chunk* m_tail = nullptr;   // newest chunk, the only one Push writes into
    // Records between m_head->read and m_tail->write. Changed only under the
    // lock; read without it by Count, so a host polling the count never makes
    // the producer wait.
    std::atomic<std::size_t> m_count{0};
    Chunk* m_spare = nullptr;  // one unlinked chunk kept for the next Push
};

template <class Record, class Lock>
void RecordQueue<Record, Lock>::Push(const Record& record, bool keepAll) noexcept {
    // Declared before the lock guard, so they free their chunks after it.
    ChunkList discarded;
    ChunkList fresh;
    for (int attempt = 0; attempt < 2; ++attempt) {
        {
            ScopedLock guard(m_lock);
            if (!keepAll) {
                EmptyKeepingOneChunkLocked(discarded);
            }
            if (m_tail == nullptr || m_tail->write == kChunkCapacity) {
                Chunk* chunk = fresh.PopFront();
                if (chunk == nullptr) {
                    chunk = m_spare;
                    m_spare = nullptr;
                }
                if (chunk != nullptr) {
                    LinkNewTailLocked(chunk);
                }
            }
            if (m_tail != nullptr && m_tail->write < kChunkCapacity) {
                std::memcpy(&m_tail->records[m_tail->write], &record, sizeof(Record));
                ++m_tail->write;
                SetCountLocked(CountLocked() + 1);
                if (m_spare == nullptr) {
                    m_spare = fresh.PopFront();
                }
                if (m_spare == nullptr) {
                    m_spare = discarded.PopFront();
                }
                return;
            }
        }
        // Allocate without the lock so the host never waits for the allocator.
        Chunk* chunk = new (std::nothrow) Chunk;
        if (chunk == nullptr) {
            return;  // out of memory: this record is dropped
        }
        fresh.Append(chunk);
    }
}

template <class Record, class Lock>
void RecordQueue<Record, Lock>::Clear() noexcept {
    ChunkList released;
    ScopedLock guard(m_lock);
    if (m_head != nullptr) {
        released.AppendChain(m_head, m_tail);
    }
    if (m_spare != nullptr) {
        released.Append(m_spare);
    }
    m_head = nullptr;
    m_tail = nullptr;
    m_spare = nullptr;
    SetCountLocked(0);
}

template <class Record, class Lock>
int32_t RecordQueue<Record, Lock>::Count() const noexcept {
    constexpr std::size_t kMax = static_cast<std::size_t>(std::numeric_limits<int32_t>::max());
    return static_cast<int32_t>(std::min(m_count.load(std::memory_order_acquire), kMax));
}

template <class Record, class Lock>
int32_t RecordQueue<Record, Lock>::Fetch(Record* out, int32_t requested) noexcept {
    if (requested <= 0) {
        return 0;
    }
    ChunkList taken;  // consumed whole: copied and freed after the lock
    std::size_t takenRecords = 0;
    std::size_t delivered = 0;
    {
        ScopedLock guard(m_lock);
        std::size_t remaining = std::min(static_cast<std::size_t>(requested), CountLocked());
        while (remaining > 0 && m_head != nullptr) {
            Chunk* chunk = m_head;
            const std::size_t available = chunk->write - chunk->read;
            if (chunk != m_tail && available <= remaining) {
                m_head = chunk->next;
                taken.Append(chunk);
                takenRecords += available;
                remaining -= available;
                delivered += available;
                continue;
            }
            // The last chunk this fetch touches: copied here, under the lock,
            // because the producer may still append to it.
            const std::size_t part = std::min(available, remaining);
            if (part == 0) {
                break;  // only an empty newest chunk is left
            }
            std::memcpy(out + takenRecords, &chunk->records[chunk->read], part * sizeof(Record));
            chunk->read += static_cast<uint32_t>(part);
            delivered += part;
            remaining -= part;
            if (chunk->read == chunk->write) {
                // Drained newest chunk: rewind it rather than free it.
                chunk->read = 0;
                chunk->write = 0;
            }
        }
        SetCountLocked(CountLocked() - delivered);
    }

    std::size_t position = 0;
    for (Chunk* chunk = taken.First(); chunk != nullptr; chunk = chunk->next) {
        const std::size_t size = chunk->write - chunk->read;
        std::memcpy(out + position, &chunk->records[chunk->read], size * sizeof(Record));
        position += size;
    }
    if (taken.First() != nullptr) {
        ScopedLock guard(m_lock);
        if (m_spare == nullptr) {
            m_spare = taken.PopFront();
        }
    }
    return static_cast<int32_t>(delivered);
}

}  // namespace okulon
