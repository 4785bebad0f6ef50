// The main loop against a scripted queue: order of translate and dispatch,
// the 50 ms hold of message 1329 (and of no other), and the end on quit.
#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <string>
#include <vector>

#include "daemon/message_loop.h"
#include "platform/clock.h"

namespace {

struct Script {
  std::deque<uint32_t> queue;  // message numbers; the quit message ends it
  std::vector<std::string> log;

  MessageLoopOps ops(std::function<void(uint32_t)> pause) {
    return MessageLoopOps{
        .getMessage =
            [this](ce::Message& message) {
              if (queue.empty()) return false;
              message = ce::Message{.message = queue.front()};
              queue.pop_front();
              log.push_back("get " + std::to_string(message.message));
              return message.message != ce::WM_QUIT;
            },
        .translate = [this](const ce::Message& m) { log.push_back("translate " + std::to_string(m.message)); },
        .dispatch =
            [this](const ce::Message& m) {
              log.push_back("dispatch " + std::to_string(m.message));
              return intptr_t{0};
            },
        .pause = std::move(pause),
    };
  }
};

}  // namespace

TEST(MessageLoop, HoldsMessage1329AloneBeforeHandlingItAndEndsOnQuit) {
  Script script;
  script.queue = {ce::WM_TIMER, kHeldMessage, 1330, ce::WM_QUIT, 77};
  runMessageLoop(script.ops([&](uint32_t ms) { script.log.push_back("pause " + std::to_string(ms)); }));
  const std::vector<std::string> want = {
      "get 275",  "translate 275",  "dispatch 275",                  //
      "get 1329", "pause 50",       "translate 1329", "dispatch 1329",  //
      "get 1330", "translate 1330", "dispatch 1330",                 //
      "get 18",
  };
  EXPECT_EQ(script.log, want);
  EXPECT_EQ(script.queue.size(), 1u) << "nothing is taken after the quit message";
}

TEST(MessageLoop, Message1329IsDispatchedNoSoonerThan50msAfterItIsTaken) {
  using Clock = std::chrono::steady_clock;
  Clock::time_point taken{}, dispatched{};
  bool gave = false;
  MessageLoopOps ops{
      .getMessage =
          [&](ce::Message& message) {
            if (gave) return false;
            gave = true;
            message = ce::Message{.message = kHeldMessage};
            taken = Clock::now();
            return true;
          },
      .translate = [](const ce::Message&) {},
      .dispatch =
          [&](const ce::Message&) {
            dispatched = Clock::now();
            return intptr_t{0};
          },
      .pause = [](uint32_t ms) { ce::pauseMs(ms); },
  };
  runMessageLoop(ops);
  EXPECT_GE(dispatched - taken, std::chrono::milliseconds(50));
}
