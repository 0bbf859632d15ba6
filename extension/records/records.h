// The fixed-layout records that the host fetches (little-endian, 8-byte aligned).
// Platform-free: the queues and the gaze conversion use them natively too; the
// DLL checks at compile time that the host library's structs match them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace okulon {

struct GazeRecord {
    int64_t time;  // microseconds on the tracker clock
    double x;      // pixels from the screen centre, right positive
    double y;      // pixels from the screen centre, up positive
};

struct PupilRecord {
    int64_t time;
    double firstPupil;
    double secondPupil;
    uint8_t reserved[8];  // always zero
};

enum EyeEventKind : int32_t { kBothEyesLost = 0, kBothEyesFound = 1 };

struct EyeEventRecord {
    int64_t time;
    double x;  // average of both eyes
    double y;
    int32_t kind;
    uint8_t reserved[4];  // always zero
};

// Streams this tracker never fills; only the sizes matter.
template <std::size_t Size>
struct OpaqueRecord {
    alignas(8) uint8_t bytes[Size];
};
using SaccadeEventRecord = OpaqueRecord<32>;
using FixationEventRecord = OpaqueRecord<32>;
using AoiEventRecord = OpaqueRecord<16>;
using SpareRecord = OpaqueRecord<8>;

static_assert(sizeof(GazeRecord) == 24 && alignof(GazeRecord) == 8);
static_assert(offsetof(GazeRecord, time) == 0);
static_assert(offsetof(GazeRecord, x) == 8);
static_assert(offsetof(GazeRecord, y) == 16);

static_assert(sizeof(PupilRecord) == 32 && alignof(PupilRecord) == 8);
static_assert(offsetof(PupilRecord, time) == 0);
static_assert(offsetof(PupilRecord, firstPupil) == 8);
static_assert(offsetof(PupilRecord, secondPupil) == 16);
static_assert(offsetof(PupilRecord, reserved) == 24);

static_assert(sizeof(EyeEventRecord) == 32 && alignof(EyeEventRecord) == 8);
static_assert(offsetof(EyeEventRecord, time) == 0);
static_assert(offsetof(EyeEventRecord, x) == 8);
static_assert(offsetof(EyeEventRecord, y) == 16);
static_assert(offsetof(EyeEventRecord, kind) == 24);
static_assert(offsetof(EyeEventRecord, reserved) == 28);

static_assert(sizeof(SaccadeEventRecord) == 32);
static_assert(sizeof(FixationEventRecord) == 32);
static_assert(sizeof(AoiEventRecord) == 16);
static_assert(sizeof(SpareRecord) == 8);

// Data-stream bits of the data mask.
constexpr uint32_t kStreamGaze = 0x01;
constexpr uint32_t kStreamPupil = 0x02;
constexpr uint32_t kStreamEyeEvents = 0x20;

// Eye types: 0 both eyes averaged, 1 second eye block, 2 first eye block.
constexpr int32_t kEyeTypeCount = 3;

}  // namespace okulon
