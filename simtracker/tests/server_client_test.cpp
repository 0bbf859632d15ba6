#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <atomic>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "simtracker/monotonic_clock.h"
#include "simtracker/sim_client.h"
#include "simtracker/sim_error_codes.h"
#include "simtracker/sim_server.h"
#include "simtracker/time_sync_client.h"

namespace okulon::sim {
namespace {

constexpr int kWaitMs = 10000;

Scenario TestScenario() {
    Scenario scenario;
    scenario.port = 0;
    scenario.lifetimeSeconds = 120;  // a stuck test must not leave the server behind
    scenario.idleExitSeconds = 0;
    return scenario;
}

// Receives the callbacks of one Start; stopWhen decides (after each callback) whether to stop.
struct Collector {
    SimClient* client = nullptr;
    std::vector<TrackerRecord> records;
    std::vector<int64_t> arrivals;  // local clock when each record was delivered
    int idles = 0;
    int idlesBetween = 0;  // idle callbacks since the last record
    int maxIdlesBetween = 0;
    std::function<bool(const Collector&)> stopWhen;

    static void Callback(int32_t reason, TrackerRecord* record, void* context) {
        auto* self = static_cast<Collector*>(context);
        if (reason == kTrackerReasonSample) {
            self->records.push_back(*record);
            self->arrivals.push_back(MonotonicMicros());
            self->idlesBetween = 0;
        } else {
            ASSERT_EQ(reason, kTrackerReasonIdle);
            ++self->idles;
            ++self->idlesBetween;
            self->maxIdlesBetween = std::max(self->maxIdlesBetween, self->idlesBetween);
        }
        if (self->stopWhen && self->stopWhen(*self)) self->client->RequestStop();
    }

    int32_t Run(SimClient& target) {
        client = &target;
        return target.Start(&Collector::Callback, this, 0);
    }
};

int64_t TimeOf(const TrackerRecord& record) { return TimeInMicroseconds(record.timeSeconds, record.timeMicroseconds); }

class ServerClientTest : public ::testing::Test {
protected:
    void StartServer(const Scenario& scenario) {
        m_server = std::make_unique<SimServer>(scenario);
        std::string error;
        ASSERT_TRUE(m_server->Start(&error)) << error;
        ASSERT_NE(m_server->Port(), 0);
    }
    int32_t Connect(SimClient& client) { return client.Connect("127.0.0.1", m_server->Port(), 3); }

    std::unique_ptr<SimServer> m_server;
};

TEST_F(ServerClientTest, StartDeliversRecordsUntilStopAndTheServerCountsTheSame) {
    StartServer(TestScenario());
    SimClient client(&MonotonicMicros);
    ASSERT_EQ(Connect(client), 0);
    Collector collector;
    collector.stopWhen = [](const Collector& c) { return c.records.size() == 200; };
    ASSERT_EQ(collector.Run(client), 0);
    EXPECT_EQ(collector.records.size(), 200u);
    // What came after the stop was kept, not lost: received = delivered + held = sent.
    EXPECT_EQ(client.ServerSentAtLastStop(), client.ReceivedSamples());
    EXPECT_EQ(client.DeliveredSamples() + client.HeldSamples(), client.ReceivedSamples());
    ASSERT_TRUE(m_server->WaitUntil(
        [&](const std::vector<ConnectionReport>& reports, const std::vector<CalibrationCall>&) {
            return reports.size() == 1 && reports[0].stops == 1;
        },
        kWaitMs));
    const ConnectionReport report = m_server->Connections()[0];
    EXPECT_EQ(report.samplesSent, client.ReceivedSamples());
    EXPECT_EQ(report.mode, 3);
    EXPECT_EQ(report.starts, 1u);
    // At 1000 Hz the records are one millisecond apart on the local clock.
    for (size_t i = 1; i < collector.records.size(); ++i) {
        ASSERT_EQ(TimeOf(collector.records[i]) - TimeOf(collector.records[i - 1]), 1000) << i;
    }
    EXPECT_EQ(client.Disconnect(), 0);
}

TEST_F(ServerClientTest, RecordsInFlightAtAStopComeFirstAtTheNextStartSoNoneIsLostOrRepeated) {
    Scenario scenario = TestScenario();
    scenario.rate = Scenario::kFlatOut;  // many records in flight when the stop is noticed
    scenario.sampleLimit = 30000;
    StartServer(scenario);
    SimClient client(&MonotonicMicros);
    ASSERT_EQ(Connect(client), 0);

    Collector first;
    first.stopWhen = [](const Collector& c) { return c.records.size() == 100; };
    ASSERT_EQ(first.Run(client), 0);
    Collector rest;
    rest.stopWhen = [](const Collector& c) { return c.idles > 0 && c.records.size() > 0; };
    // Until the stream has ended and gone quiet.
    while (client.ReceivedSamples() < scenario.sampleLimit || client.HeldSamples() > 0 || rest.idles == 0) {
        rest.idles = 0;
        ASSERT_EQ(rest.Run(client), 0);
    }
    std::vector<TrackerRecord> all = first.records;
    all.insert(all.end(), rest.records.begin(), rest.records.end());
    ASSERT_EQ(all.size(), scenario.sampleLimit);
    for (size_t i = 1; i < all.size(); ++i) ASSERT_GE(TimeOf(all[i]), TimeOf(all[i - 1])) << i;
    EXPECT_EQ(m_server->Connections()[0].samplesSent, scenario.sampleLimit);
}

TEST_F(ServerClientTest, SilentTrackerGetsIdleCallbacksSoTheStopIsNoticed) {
    Scenario scenario = TestScenario();
    scenario.sampleLimit = 5;
    StartServer(scenario);
    SimClient client(&MonotonicMicros);
    ASSERT_EQ(Connect(client), 0);
    Collector collector;
    collector.stopWhen = [](const Collector& c) { return c.idles >= 3 && c.records.size() == 5; };
    ASSERT_EQ(collector.Run(client), 0);
    EXPECT_EQ(collector.records.size(), 5u);
    EXPECT_GE(collector.idles, 3);
}

TEST_F(ServerClientTest, StallSendsNothingForAWhileThenGoesOn) {
    Scenario scenario = TestScenario();
    scenario.stallAfter = 20;
    scenario.stallMs = 300;
    StartServer(scenario);
    SimClient client(&MonotonicMicros);
    ASSERT_EQ(Connect(client), 0);
    Collector collector;
    collector.stopWhen = [](const Collector& c) { return c.records.size() == 40; };
    ASSERT_EQ(collector.Run(client), 0);
    EXPECT_GE(collector.maxIdlesBetween, 1);
    // The gap shows in the record times too.
    EXPECT_GE(TimeOf(collector.records[20]) - TimeOf(collector.records[19]), 300000);
}

// A tracker clock hours ahead of this computer's and running fast: offsets
// and drifts far beyond a real tracker's, so no mix-up can hide in rounding.
Scenario SkewedClockScenario() {
    Scenario scenario = TestScenario();
    scenario.clockOffsetMicros = 3600LL * 1000000 * 5;
    scenario.clockDriftPpm = 500;
    return scenario;
}

TEST_F(ServerClientTest, RecordTimesAreOnTheTrackerClockAndNeverInTheFuture) {
    StartServer(SkewedClockScenario());
    SimClient client(&MonotonicMicros);
    ASSERT_EQ(Connect(client), 0);
    Collector collector;
    collector.stopWhen = [](const Collector& c) { return c.records.size() == 300; };
    ASSERT_EQ(collector.Run(client), 0);
    // The server's clock is this process's, so the tracker time at each
    // arrival is known exactly: no record lies after it, the quickest just before.
    int64_t smallestLag = INT64_MAX;
    for (size_t i = 0; i < collector.records.size(); ++i) {
        const int64_t lag = m_server->TrackerTimeAt(collector.arrivals[i]) - TimeOf(collector.records[i]);
        EXPECT_GE(lag, 0) << i;
        smallestLag = std::min(smallestLag, lag);
    }
    EXPECT_LT(smallestLag, 5000);
    for (const TrackerRecord& record : collector.records) {
        ASSERT_GE(record.timeMicroseconds, 0);
        ASSERT_LT(record.timeMicroseconds, 1000000);
    }
}

TEST_F(ServerClientTest, TimeExchangesFollowTheTrackerClockAsItDrifts) {
    StartServer(SkewedClockScenario());
    TimeSyncClient timeClient(&MonotonicMicros);
    ASSERT_TRUE(timeClient.Connect("127.0.0.1", m_server->Port(), 1000));
    ClockEstimate estimate;
    // Over 1.5 s the offset moves by 750 us: each exchange must catch up with it.
    const int64_t first = MonotonicMicros();
    while (MonotonicMicros() - first < 1500000) {
        SyncPoint point;
        ASSERT_TRUE(timeClient.Measure(8, 1000, point));
        estimate.Add(point);
        const int64_t now = MonotonicMicros();
        const int64_t driftSince = (now - point.local) * 500 / 1000000 + 1;
        EXPECT_LE(std::llabs(estimate.TrackerAt(now) - m_server->TrackerTimeAt(now)),
                  estimate.Uncertainty() + driftSince)
            << "round trip " << point.roundTrip;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_TRUE(m_server->Connections().empty()) << "a time connection is no client";
}

TEST_F(ServerClientTest, SystemChecksAnswerTheScenariosCodesInTurn) {
    Scenario scenario = TestScenario();
    scenario.systemCheck = {0, 13, 2};
    StartServer(scenario);
    SimClient client(&MonotonicMicros);
    ASSERT_EQ(Connect(client), 0);
    EXPECT_EQ(client.SystemCheck(), 0);
    EXPECT_EQ(client.SystemCheck(), 13);
    EXPECT_EQ(client.SystemCheck(), 2);
    EXPECT_EQ(client.SystemCheck(), 2);  // the last one repeats
    scenario.systemCheck = {1};
    m_server->SetScenario(scenario);
    EXPECT_EQ(client.SystemCheck(), 1);
    EXPECT_TRUE(client.IsConnected());  // a check's answer is not a lost connection
    EXPECT_EQ(m_server->Connections()[0].systemChecks, 5u);
}

TEST_F(ServerClientTest, CalibrationCallsAreRecordedWithAllTheirArguments) {
    StartServer(TestScenario());
    SimClient client(&MonotonicMicros);
    ASSERT_EQ(Connect(client), 0);
    EXPECT_EQ(client.CalibCalculate(), kTrackerErrorCalibrationFailed);  // no points yet
    EXPECT_EQ(client.CalibClear(), 0);
    EXPECT_EQ(client.CalibAddPoint(0.1f, 0.9f, 6, 0, 0, 0), 0);
    EXPECT_EQ(client.CalibAddPoint(0.5f, 0.5f, 6, 7, -8, 9), 0);
    EXPECT_EQ(client.CalibAddPoint(1.5f, 0.5f, 6, 0, 0, 0), kSimErrorInvalidArgument);
    EXPECT_EQ(client.CalibCalculate(), 0);
    const auto calls = m_server->CalibrationCalls();
    ASSERT_EQ(calls.size(), 6u);
    EXPECT_EQ(calls[1].kind, CalibrationCallKind::kClear);
    EXPECT_EQ(calls[2].kind, CalibrationCallKind::kAddPoint);
    EXPECT_EQ(calls[2].x, 0.1f);
    EXPECT_EQ(calls[2].y, 0.9f);
    EXPECT_EQ(calls[2].mode, 6);
    EXPECT_EQ(calls[3].reserved[0], 7);
    EXPECT_EQ(calls[3].reserved[1], -8);
    EXPECT_EQ(calls[3].reserved[2], 9);
    EXPECT_EQ(calls[4].status, kSimErrorInvalidArgument);
    EXPECT_EQ(calls[5].kind, CalibrationCallKind::kCalculate);
    EXPECT_EQ(calls[5].status, 0);
    EXPECT_EQ(calls[5].connectionId, client.ConnectionId());
}

TEST_F(ServerClientTest, CalibrationFailsWithTheScenariosCode) {
    Scenario scenario = TestScenario();
    scenario.calibFail = kTrackerErrorCalibrationFailed;
    StartServer(scenario);
    SimClient client(&MonotonicMicros);
    ASSERT_EQ(Connect(client), 0);
    ASSERT_EQ(client.CalibClear(), 0);
    ASSERT_EQ(client.CalibAddPoint(0.5f, 0.5f, 6, 0, 0, 0), 0);
    EXPECT_EQ(client.CalibCalculate(), kTrackerErrorCalibrationFailed);
}

TEST_F(ServerClientTest, RefusedConnectionFailsAsUnreachableAndTheNextOneSucceeds) {
    Scenario scenario = TestScenario();
    scenario.refuse = 1;
    StartServer(scenario);
    SimClient client(&MonotonicMicros);
    EXPECT_EQ(Connect(client), kSimErrorServerUnreachable);
    EXPECT_EQ(m_server->RefusedConnections(), 1u);
    EXPECT_EQ(client.SystemCheck(), kTrackerErrorNotConnected);
    EXPECT_EQ(Connect(client), 0);
    EXPECT_EQ(client.SystemCheck(), 0);
}

TEST_F(ServerClientTest, TheRequestHookRefusesAHelloOrARequestWithItsCodeAndSeesEveryRequest) {
    StartServer(TestScenario());
    std::mutex mutex;
    std::vector<MessageType> seen;
    m_server->SetRequestHook([&](uint32_t connectionId, MessageType request) -> int32_t {
        std::lock_guard<std::mutex> lock(mutex);
        seen.push_back(request);
        if (connectionId == 1 && request == MessageType::kHello) return kTrackerErrorCalibrationFailed;
        if (request == MessageType::kCalibAddPoint) return kTrackerErrorConnectionLost;
        return 0;
    });
    SimClient client(&MonotonicMicros);
    EXPECT_EQ(Connect(client), kTrackerErrorCalibrationFailed);
    EXPECT_FALSE(client.IsConnected());
    ASSERT_EQ(Connect(client), 0);
    EXPECT_EQ(client.CalibAddPoint(0.5f, 0.5f, 6, 0, 0, 0), kTrackerErrorConnectionLost);
    EXPECT_TRUE(m_server->CalibrationCalls().empty()) << "a refused request is not handled";
    EXPECT_EQ(client.SystemCheck(), 0);
    m_server->Stop();  // no session can run the hook after this
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(std::count(seen.begin(), seen.end(), MessageType::kHello), 2);
    EXPECT_NE(std::find(seen.begin(), seen.end(), MessageType::kSystemCheck), seen.end());
}

TEST_F(ServerClientTest, FailedStartKeepsTheConnectionUsable) {
    Scenario scenario = TestScenario();
    scenario.startFail = 12;
    StartServer(scenario);
    SimClient client(&MonotonicMicros);
    ASSERT_EQ(Connect(client), 0);
    Collector collector;
    EXPECT_EQ(collector.Run(client), 12);
    EXPECT_TRUE(collector.records.empty());
    EXPECT_EQ(client.SystemCheck(), 0);
}

TEST_F(ServerClientTest, DroppedConnectionEndsStartWithCodeTwoAfterEveryRecordSent) {
    Scenario scenario = TestScenario();
    scenario.dropAfter = 150;
    StartServer(scenario);
    SimClient client(&MonotonicMicros);
    ASSERT_EQ(Connect(client), 0);
    Collector collector;
    EXPECT_EQ(collector.Run(client), kTrackerErrorConnectionLost);
    EXPECT_EQ(collector.records.size(), 150u);
    EXPECT_EQ(client.SystemCheck(), kTrackerErrorConnectionLost);
    EXPECT_EQ(client.Disconnect(), 0);  // harmless after a loss
    EXPECT_EQ(client.SystemCheck(), kTrackerErrorNotConnected);
    ASSERT_TRUE(m_server->WaitUntil([](const std::vector<ConnectionReport>& r,
                                       const std::vector<CalibrationCall>&) { return r.size() == 1 && !r[0].open; },
                                    kWaitMs));
    EXPECT_TRUE(m_server->Connections()[0].dropped);
    EXPECT_EQ(m_server->Connections()[0].samplesSent, 150u);
}

TEST_F(ServerClientTest, ServerThatDisappearsMakesStartReturnInsteadOfHanging) {
    StartServer(TestScenario());
    SimClient client(&MonotonicMicros);
    ASSERT_EQ(Connect(client), 0);
    std::atomic<bool> delivering{false};
    std::thread stopper([&] {
        while (!delivering) std::this_thread::yield();
        m_server->Stop();
    });
    Collector collector;
    collector.stopWhen = [&](const Collector&) {
        delivering = true;
        return false;
    };
    EXPECT_EQ(collector.Run(client), kTrackerErrorConnectionLost);
    stopper.join();
    EXPECT_EQ(client.Disconnect(), 0);
}

TEST_F(ServerClientTest, CallsOutOfOrderAreRefusedWithTheirCodes) {
    StartServer(TestScenario());
    SimClient client(&MonotonicMicros);
    Collector collector;
    EXPECT_EQ(collector.Run(client), kTrackerErrorNotConnected);
    EXPECT_EQ(client.Disconnect(), kTrackerErrorNotConnected);
    EXPECT_EQ(client.RequestStop(), kSimErrorNotDelivering);
    EXPECT_EQ(client.Connect(nullptr, m_server->Port(), 3), kSimErrorInvalidArgument);
    EXPECT_EQ(client.Connect("127.0.0.1", 0, 3), kSimErrorInvalidArgument);
    EXPECT_EQ(client.Connect("127.0.0.1", 70000, 3), kSimErrorInvalidArgument);
    ASSERT_EQ(Connect(client), 0);
    EXPECT_EQ(Connect(client), kSimErrorAlreadyConnected);
    EXPECT_EQ(client.Start(nullptr, nullptr, 0), kSimErrorInvalidArgument);
    // Inside the callback only a stop is allowed.
    int32_t nestedCheck = 0;
    int32_t nestedStart = 0;
    collector.stopWhen = [&](const Collector&) {
        nestedCheck = client.SystemCheck();
        nestedStart = client.Start(&Collector::Callback, nullptr, 0);
        return true;
    };
    EXPECT_EQ(collector.Run(client), 0);
    EXPECT_EQ(nestedCheck, kSimErrorNotDelivering);
    EXPECT_EQ(nestedStart, kSimErrorNotDelivering);
}

TEST_F(ServerClientTest, ClosedPortFailsToConnectAsUnreachable) {
    StartServer(TestScenario());
    const uint16_t port = m_server->Port();
    m_server->Stop();
    SimClient client(&MonotonicMicros);
    EXPECT_EQ(client.Connect("127.0.0.1", port, 3), kSimErrorServerUnreachable);
}

TEST_F(ServerClientTest, ASecondServerOnATakenPortSaysThePortIsInUse) {
    StartServer(TestScenario());
    Scenario scenario = TestScenario();
    scenario.port = m_server->Port();
    SimServer second(scenario);
    std::string error;
    EXPECT_FALSE(second.Start(&error));
    EXPECT_TRUE(second.PortInUse());
    EXPECT_NE(std::string::npos, error.find("the port is in use")) << error;
}

TEST_F(ServerClientTest, TwoConnectionsOnTwoThreadsStreamAtOnceAndSeeTheSameSeededSamples) {
    StartServer(TestScenario());
    std::vector<TrackerRecord> received[2];
    int32_t results[2] = {-1, -1};
    std::atomic<int> running{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&, t] {
            SimClient client(&MonotonicMicros);
            if (Connect(client) != 0) return;
            Collector collector;
            bool counted = false;
            // Both must be delivering at the same time before either stops.
            collector.stopWhen = [&](const Collector& c) {
                if (!counted) {
                    counted = true;
                    ++running;
                }
                return running == 2 && c.records.size() >= 300;
            };
            results[t] = collector.Run(client);
            received[t] = collector.records;
            client.Disconnect();
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(results[0], 0);
    EXPECT_EQ(results[1], 0);
    ASSERT_GE(received[0].size(), 300u);
    ASSERT_GE(received[1].size(), 300u);
    for (size_t i = 0; i < 300; ++i) {
        ASSERT_EQ(std::memcmp(&received[0][i].first, &received[1][i].first, sizeof(TrackerEyeBlock)), 0) << i;
        ASSERT_EQ(std::memcmp(&received[0][i].second, &received[1][i].second, sizeof(TrackerEyeBlock)), 0) << i;
    }
    EXPECT_EQ(m_server->Connections().size(), 2u);
}

TEST_F(ServerClientTest, ReplayedFileArrivesRowForRow) {
    const std::string path = ::testing::TempDir() + "simtracker_server_replay.csv";
    {
        FILE* file = std::fopen(path.c_str(), "wb");
        ASSERT_NE(file, nullptr);
        std::fputs("0.1,0.2,3,0,0.3,0.4,3.5,0\n0,0,0,4,0,0,0,4\n0.5,0.5,4,0,0.5,0.5,4,2\n", file);
        std::fclose(file);
    }
    Scenario scenario = TestScenario();
    scenario.csvPath = path;
    StartServer(scenario);
    SimClient client(&MonotonicMicros);
    ASSERT_EQ(Connect(client), 0);
    Collector collector;
    collector.stopWhen = [](const Collector& c) { return c.idles > 0 && c.records.size() == 3; };
    ASSERT_EQ(collector.Run(client), 0);
    ASSERT_EQ(collector.records.size(), 3u);
    EXPECT_FLOAT_EQ(collector.records[0].first.gazeY, 0.2f);
    EXPECT_FLOAT_EQ(collector.records[0].second.pupilSize, 3.5f);
    EXPECT_EQ(collector.records[1].first.validity, 4);
    EXPECT_EQ(collector.records[1].second.validity, 4);
    EXPECT_EQ(collector.records[2].second.validity, 2);
    std::remove(path.c_str());
}

TEST_F(ServerClientTest, ServerEndsByItselfWhenItsLifetimeOrIdleLimitRunsOut) {
    Scenario lifetime = TestScenario();
    lifetime.lifetimeSeconds = 1;
    StartServer(lifetime);
    SimClient client(&MonotonicMicros);
    ASSERT_EQ(Connect(client), 0);  // an open connection does not keep it alive
    EXPECT_TRUE(m_server->WaitForEnd(kWaitMs));
    EXPECT_EQ(client.SystemCheck(), kTrackerErrorConnectionLost);

    Scenario idle = TestScenario();
    idle.idleExitSeconds = 1;
    StartServer(idle);
    SimClient second(&MonotonicMicros);
    ASSERT_EQ(Connect(second), 0);
    EXPECT_FALSE(m_server->WaitForEnd(1500));  // a client is connected
    EXPECT_EQ(second.Disconnect(), 0);
    EXPECT_TRUE(m_server->WaitForEnd(kWaitMs));
}

TEST_F(ServerClientTest, FlatOutDeliversEveryRecordTheServerSent) {
    Scenario scenario = TestScenario();
    scenario.rate = Scenario::kFlatOut;
    scenario.sampleLimit = 50000;
    StartServer(scenario);
    SimClient client(&MonotonicMicros);
    ASSERT_EQ(Connect(client), 0);
    Collector collector;
    collector.stopWhen = [&](const Collector& c) { return c.records.size() == scenario.sampleLimit && c.idles > 0; };
    ASSERT_EQ(collector.Run(client), 0);
    EXPECT_EQ(collector.records.size(), scenario.sampleLimit);
    EXPECT_EQ(client.ServerSentAtLastStop(), scenario.sampleLimit);
    EXPECT_EQ(client.HeldSamples(), 0u);
}

}  // namespace
}  // namespace okulon::sim
