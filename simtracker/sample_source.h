// The stream of samples of one server connection: the gaze model (seeded with
// the scenario's seed, so every connection sees the same sequence), a
// replayed file or, in mouse mode, the pointer, cut off at the scenario's sample limit. Owned by one server
// session and used on its thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "simtracker/csv_replay.h"
#include "simtracker/gaze_model.h"
#include "simtracker/pointer_gaze.h"
#include "simtracker/scenario.h"

namespace okulon::sim {

class SampleSource {
public:
    // replay: null for the gaze model. pointer: read in mouse mode (scenario.mouse).
    SampleSource(const Scenario& scenario, std::shared_ptr<const CsvReplay> replay, PointerReader pointer = {});

    // False once the stream has ended (limit reached, or the file's end without looping).
    bool Next(SimSample& sample);

    uint64_t Produced() const { return m_produced; }

private:
    std::optional<GazeModel> m_model;
    std::optional<PointerGaze> m_pointer;
    std::shared_ptr<const CsvReplay> m_replay;
    bool m_loop;
    uint64_t m_limit;
    uint64_t m_produced = 0;
    size_t m_replayIndex = 0;
};

}  // namespace okulon::sim
