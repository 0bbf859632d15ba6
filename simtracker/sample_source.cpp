#include "simtracker/sample_source.h"

namespace okulon::sim {

SampleSource::SampleSource(const Scenario& scenario, std::shared_ptr<const CsvReplay> replay, PointerReader pointer)
    : m_replay(std::move(replay)), m_loop(scenario.replayLoop), m_limit(scenario.sampleLimit) {
    if (scenario.mouse) {
        m_pointer.emplace(std::move(pointer));
        m_replay.reset();
    } else if (!m_replay) {
        // Flat out has no rate of its own: the model then moves at 1000 Hz of model time.
        m_model.emplace(scenario.seed, scenario.rate == Scenario::kFlatOut ? 1000 : scenario.rate);
    }
}

bool SampleSource::Next(SimSample& sample) {
    if (m_limit != 0 && m_produced >= m_limit) {
        return false;
    }
    if (m_pointer) {
        sample = m_pointer->Next();
    } else if (m_model) {
        sample = m_model->Next();
    } else {
        const auto& samples = m_replay->Samples();
        if (m_replayIndex >= samples.size()) {
            if (!m_loop || samples.empty()) return false;
            m_replayIndex = 0;
        }
        sample = samples[m_replayIndex++];
    }
    ++m_produced;
    return true;
}

}  // namespace okulon::sim
