#include "simtracker/sample_source.h"

namespace okulon::sim {

SampleSource::SampleSource(const Scenario& scenario, std::shared_ptr<const CsvReplay> replay)
    : m_replay(std::move(replay)), m_loop(scenario.replayLoop), m_limit(scenario.sampleLimit) {
    if (!m_replay) {
        // Flat out has no rate of its own: the model then moves at 1000 Hz of model time.
        m_model.emplace(scenario.seed, scenario.rate == Scenario::kFlatOut ? 1000 : scenario.rate);
    }
}

bool SampleSource::Next(SimSample& sample) {
    if (m_limit != 0 && m_produced >= m_limit) {
        return false;
    }
    if (m_model) {
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
