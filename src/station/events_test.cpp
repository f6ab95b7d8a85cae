// The event stream between the ports and their readers.

#include "station/events.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace quillon::station {
namespace {

std::string Port(const Event& event) {
  return VisitEvent(event, Handlers{
                               [](const MessageEvent& e) { return e.port.value_or(""); },
                               [](const WarningEvent& e) { return e.port; },
                               [](const PhaseEvent& e) { return e.port; },
                               [](const ProgressEvent& e) { return e.port; },
                               [](const PhaseEndEvent& e) { return e.port; },
                               [](const ResultEvent& e) { return e.result.port; },
                               [](const SummaryEvent&) { return std::string(); },
                               [](const WaitingEvent& e) { return e.port; },
                               [](const BoardEvent& e) { return e.port; },
                               [](const StationSummaryEvent&) { return std::string(); },
                               [](const HaltEvent&) { return std::string("station"); },
                               [](const NoticeEvent& e) { return e.port.value_or(""); },
                               [](const QuestionEvent&) { return std::string(); },
                               [](const RecordServerEvent&) { return std::string(); },
                               [](const OutputEvent&) { return std::string(); },
                           });
}

// A subscriber that answers an event with one of its own (a printer noting a halt, a record
// keeper publishing what it wrote) neither deadlocks nor jumps the queue: every subscriber sees
// the answer after the event that caused it.
TEST(EventStreamTest, ASubscriberThatPublishesIsHeardAfterTheEventItAnswers) {
  EventStream events;
  std::vector<std::string> first, second;
  events.Subscribe([&](const Event& event) {
    first.push_back(Port(event));
    if (std::holds_alternative<BoardEvent>(event)) events.Publish(WaitingEvent{"answer"});
  });
  events.Subscribe([&](const Event& event) { second.push_back(Port(event)); });
  events.Publish(BoardEvent{"A", 1, {}});
  events.Publish(WaitingEvent{"B"});
  const std::vector<std::string> expected{"A", "answer", "B"};
  EXPECT_EQ(first, expected);
  EXPECT_EQ(second, expected);
}

// Ports publish from threads of their own: each subscriber sees one event at a time (it needs
// no lock of its own), each port's events in its order, and all subscribers the same order.
TEST(EventStreamTest, EveryPortsEventsReachEverySubscriberInOneOrder) {
  EventStream events;
  std::vector<std::string> first, second;
  std::atomic<int> inside{0};
  std::atomic<bool> overlapped{false};
  events.Subscribe([&](const Event& event) {
    if (inside.fetch_add(1) != 0) overlapped = true;
    first.push_back(Port(event) + std::to_string(std::get<ProgressEvent>(event).done));
    inside.fetch_sub(1);
  });
  events.Subscribe([&](const Event& event) {
    second.push_back(Port(event) + std::to_string(std::get<ProgressEvent>(event).done));
  });
  std::vector<std::thread> ports;
  for (const std::string port : {"A", "B", "C", "D"}) {
    ports.emplace_back([&events, port] {
      for (int done = 1; done <= 500; ++done) events.Publish(ProgressEvent{port, done, 500, 0});
    });
  }
  for (auto& port : ports) port.join();
  EXPECT_FALSE(overlapped);
  ASSERT_EQ(first.size(), 2000u);
  EXPECT_EQ(first, second);
  for (const std::string port : {"A", "B", "C", "D"}) {
    int last = 0;
    for (const auto& seen : first) {
      if (seen.substr(0, 1) != port) continue;
      EXPECT_EQ(std::stoi(seen.substr(1)), last + 1);
      last = std::stoi(seen.substr(1));
    }
    EXPECT_EQ(last, 500);
  }
}

}  // namespace
}  // namespace quillon::station
