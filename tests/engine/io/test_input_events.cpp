#include <pty.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include "engine/io/input_events.h"
#include "engine/io/interrupts.h"
#include "engine/io/key_script.h"
#include "engine/io/terminal_keys.h"

namespace {

using engine::io::input_events;
using engine::io::parse_key_script;
using event_list = std::vector<std::pair<uint32_t, uint32_t>>;  // type, key

// Every event a poll hands the renderer now, until none is pending (at most 8).
event_list drain(input_events& events) {
  event_list out;
  qorOutput_event event{};
  while (out.size() < 8 && events.next(event)) out.emplace_back(event.type, event.key);
  return out;
}

// A good list is read by the input events' test below, in iteration order.
TEST(key_script, names_the_bad_pair_of_a_bad_list) {
  EXPECT_TRUE(parse_key_script("").empty());
  for (const char* bad : {"3", "3:", ":r", "x:1", "0:1", "3:ab", "3:1,", "2.5:1",
                          "3: ", "99999999999:1", "3:1,4:xy"}) {
    try {
      parse_key_script(bad);
      ADD_FAILURE() << "accepted " << bad;
    } catch (const std::invalid_argument& error) {
      const std::string text = bad, pair = text.substr(text.find_last_of(',') + 1);
      EXPECT_NE(std::string(error.what()).find("'" + pair + "'"), std::string::npos)
          << error.what();
    }
  }
}

// Typed keys first, then scripted keys once due, one per poll, in iteration order and, within
// one iteration, in the order given; a typed or scripted end (q or Escape) overtakes whatever is
// queued and is answered at every later poll.
TEST(input_events, typed_then_due_scripted_keys_and_the_end_before_all) {
  input_events events;
  events.set_script(parse_key_script("3:1,1::,3:s,12:esc"));
  events.type_key('r');
  EXPECT_EQ(drain(events), (event_list{{qor_event_key, 'r'}, {qor_event_key, ':'}}));
  events.set_iteration(2);
  EXPECT_EQ(drain(events), event_list{});
  events.set_iteration(3);
  EXPECT_EQ(drain(events), (event_list{{qor_event_key, '1'}, {qor_event_key, 's'}}));
  events.set_iteration(12);
  EXPECT_EQ(drain(events), event_list(8, {qor_event_end, 0}));
  for (uint32_t key : {uint32_t('q'), uint32_t(27)}) {
    input_events typed, scripted;
    typed.type_key('s');
    typed.type_key(key);
    scripted.set_script({{1, key}});
    EXPECT_EQ(drain(typed), event_list(8, {qor_event_end, 0})) << key;
    EXPECT_EQ(drain(scripted), event_list(8, {qor_event_end, 0})) << key;
  }
}

// Polls `done` for up to two seconds.
template <typename F>
bool eventually(F&& done) {
  for (int i = 0; i < 400; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

// Raw keys from a terminal: single keys without Enter, settings put back by the exit handler and
// when the reader ends.
TEST(terminal_keys, single_keys_without_enter_and_the_settings_put_back) {
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  input_events events;
  EXPECT_FALSE(engine::io::terminal_keys(ends[0], events).active());  // a pipe is not read
  close(ends[0]);
  close(ends[1]);

  // A pseudo-terminal stands in for the user's terminal.
  int master = -1, slave = -1;
  ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0) << "no pseudo-terminal";
  const auto local_modes = [slave] {
    struct termios settings {};
    tcgetattr(slave, &settings);
    return settings.c_lflag;
  };
  const tcflag_t before = local_modes();
  {
    engine::io::terminal_keys keys(slave, events);
    ASSERT_TRUE(keys.active());
    EXPECT_EQ(local_modes() & (ICANON | ECHO | ISIG), tcflag_t(ISIG));  // Ctrl-C works
    // A second reader would save the changed settings as the ones to restore.
    EXPECT_THROW(engine::io::terminal_keys(slave, events), std::logic_error);

    qorOutput_event event{};
    ASSERT_EQ(write(master, "r", 1), 1);  // no newline
    ASSERT_TRUE(eventually([&] { return events.next(event); }));
    EXPECT_EQ(event.key, uint32_t('r'));
    ASSERT_EQ(write(master, "\033[A", 3), 3);  // an arrow key is no key at all
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(events.next(event));
    ASSERT_EQ(write(master, "\033", 1), 1);  // a lone Escape ends
    ASSERT_TRUE(eventually([&] { return events.next(event); }));
    EXPECT_EQ(event.type, qor_event_end);

    engine::io::restore_terminal();  // what the exit handler calls
    EXPECT_EQ(local_modes(), before);
  }
  EXPECT_EQ(local_modes(), before);
  close(master);
  close(slave);
}

// Runs in a child process: each step that goes wrong exits with its own status.
void interrupt_three_times() {
  std::atomic<int> ends{0}, stops{0};
  engine::io::interrupts handler([&] { ++ends; }, [&] { ++stops; });
  kill(getpid(), SIGINT);
  if (!eventually([&] { return ends >= 1; }) || stops != 0) std::_Exit(10);
  kill(getpid(), SIGINT);
  if (!eventually([&] { return stops >= 1; }) || ends != 1) std::_Exit(11);
  kill(getpid(), SIGINT);
  std::this_thread::sleep_for(std::chrono::seconds(2));
  std::_Exit(12);  // the third should have left at once
}

// Ending the handler wakes its thread with a signal of its own, which is no Ctrl-C.
TEST(interrupts, ending_the_handler_calls_neither_action) {
  std::atomic<int> ends{0}, stops{0};
  for (int round = 0; round < 20; ++round) {
    engine::io::interrupts handler([&] { ++ends; }, [&] { ++stops; });
    if (round % 2 == 1) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  EXPECT_EQ(std::pair(ends.load(), stops.load()), std::pair(0, 0));
}

TEST(interrupts_death, first_ctrl_c_ends_the_render_second_stops_it_third_leaves) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(interrupt_three_times(), ::testing::ExitedWithCode(130), "");
}

}  // namespace
