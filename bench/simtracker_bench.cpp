// Throughput of the simulated tracker: how many samples per second the model
// makes, the decoder cuts, and the whole path server -> TCP -> client delivers.
#include <benchmark/benchmark.h>

#include <vector>

#include "simtracker/frame_decoder.h"
#include "simtracker/gaze_model.h"
#include "simtracker/monotonic_clock.h"
#include "simtracker/sim_client.h"
#include "simtracker/sim_server.h"

namespace okulon::sim {
namespace {

void BM_GazeModelNext(benchmark::State& state) {
    GazeModel model(1, 1000);
    for (auto _ : state) {
        SimSample sample = model.Next();
        benchmark::DoNotOptimize(sample);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_GazeModelNext);

void BM_FrameDecoderSamples(benchmark::State& state) {
    std::vector<uint8_t> stream;
    Message sample;
    sample.type = MessageType::kSample;
    for (int i = 0; i < 1024; ++i) {
        sample.sequence = static_cast<uint64_t>(i);
        EncodeMessage(sample, stream);
    }
    for (auto _ : state) {
        FrameDecoder decoder;
        decoder.Append(stream.data(), stream.size());
        Message message;
        int count = 0;
        while (decoder.Next(message) == FrameDecoder::Result::kMessage) ++count;
        benchmark::DoNotOptimize(count);
    }
    state.SetItemsProcessed(state.iterations() * 1024);
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(stream.size()));
}
BENCHMARK(BM_FrameDecoderSamples);

struct Counter {
    SimClient* client;
    int64_t wanted;
    int64_t received = 0;
    static void Callback(int32_t reason, TrackerRecord*, void* context) {
        auto* self = static_cast<Counter*>(context);
        if (reason == kTrackerReasonSample && ++self->received >= self->wanted) self->client->RequestStop();
    }
};

// One Start per iteration, stopped after a fixed number of records; the
// records held over at each stop are delivered first by the next Start.
void BM_ServerToClientFlatOut(benchmark::State& state) {
    Scenario scenario;
    scenario.port = 0;
    scenario.rate = Scenario::kFlatOut;
    scenario.lifetimeSeconds = 600;
    SimServer server(scenario);
    if (!server.Start(nullptr)) {
        state.SkipWithError("server did not start");
        return;
    }
    SimClient client(&MonotonicMicros);
    if (client.Connect("127.0.0.1", server.Port(), 3) != 0) {
        state.SkipWithError("client did not connect");
        return;
    }
    const int64_t perRun = 20000;
    for (auto _ : state) {
        Counter counter{&client, perRun};
        if (client.Start(&Counter::Callback, &counter, 0) != 0) {
            state.SkipWithError("start failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * perRun);
    client.Disconnect();
    server.Stop();
}
BENCHMARK(BM_ServerToClientFlatOut)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace okulon::sim

BENCHMARK_MAIN();
