#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
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
using engine::io::scripted_key;

std::vector<std::pair<int, uint32_t>> pairs(const std::vector<scripted_key>& keys) {
  std::vector<std::pair<int, uint32_t>> out;
  for (const auto& key : keys) out.emplace_back(key.iteration, key.key);
  return out;
}

TEST(key_script, reads_pairs_in_iteration_order_keeping_ties_in_list_order) {
  using list = std::vector<std::pair<int, uint32_t>>;
  EXPECT_EQ(pairs(parse_key_script("3:1,5:r")), (list{{3, '1'}, {5, 'r'}}));
  EXPECT_EQ(pairs(parse_key_script("7:s,2:-,7:0,2:9")),
            (list{{2, '-'}, {2, '9'}, {7, 's'}, {7, '0'}}));
  EXPECT_EQ(pairs(parse_key_script("12:esc")), (list{{12, 27}}));
  EXPECT_EQ(pairs(parse_key_script("1::")), (list{{1, ':'}}));
  EXPECT_TRUE(parse_key_script("").empty());
}

TEST(key_script, rejects_malformed_pairs_naming_them) {
  for (const char* text : {"3", "3:", ":r", "x:1", "0:1", "-2:1", "3:ab", "3:1,", "3:1,,4:2",
                           "2.5:1", "3: ", "99999999999:1"}) {
    SCOPED_TRACE(text);
    EXPECT_THROW(parse_key_script(text), std::invalid_argument);
  }
  try {
    parse_key_script("3:1,4:xy");
    ADD_FAILURE() << "accepted a two-letter key";
  } catch (const std::invalid_argument& error) {
    EXPECT_NE(std::string(error.what()).find("'4:xy'"), std::string::npos) << error.what();
  }
}

TEST(input_events, nothing_pending_answers_false) {
  input_events events;
  qorOutput_event event{99, 99};
  EXPECT_FALSE(events.next(event));
  EXPECT_EQ(event.type, 99u);
}

TEST(input_events, typed_keys_come_in_order_and_q_or_escape_end_the_render) {
  input_events events;
  events.type_key('1');
  events.type_key('r');
  qorOutput_event event{};
  ASSERT_TRUE(events.next(event));
  EXPECT_EQ(event.type, qor_event_key);
  EXPECT_EQ(event.key, uint32_t('1'));
  ASSERT_TRUE(events.next(event));
  EXPECT_EQ(event.key, uint32_t('r'));
  EXPECT_FALSE(events.next(event));

  for (uint32_t ending : {uint32_t('q'), uint32_t(27)}) {
    input_events other;
    other.type_key('s');
    other.type_key(ending);
    // The end overtakes keys still queued, and keeps being answered.
    ASSERT_TRUE(other.next(event));
    EXPECT_EQ(event.type, qor_event_end);
    ASSERT_TRUE(other.next(event));
    EXPECT_EQ(event.type, qor_event_end);
  }
}

TEST(input_events, scripted_keys_wait_for_their_iteration_one_per_poll) {
  input_events events;
  events.set_script(parse_key_script("1:2,3:1,3:s"));
  qorOutput_event event{};
  ASSERT_TRUE(events.next(event));  // iteration 1 at the start
  EXPECT_EQ(event.key, uint32_t('2'));
  EXPECT_FALSE(events.next(event));

  events.set_iteration(2);
  EXPECT_FALSE(events.next(event));
  events.set_iteration(3);
  ASSERT_TRUE(events.next(event));
  EXPECT_EQ(event.type, qor_event_key);
  EXPECT_EQ(event.key, uint32_t('1'));
  ASSERT_TRUE(events.next(event));
  EXPECT_EQ(event.key, uint32_t('s'));
  EXPECT_FALSE(events.next(event));
}

TEST(input_events, a_typed_key_goes_before_a_due_scripted_one) {
  input_events events;
  events.set_script(parse_key_script("1:5"));
  events.type_key('7');
  qorOutput_event event{};
  ASSERT_TRUE(events.next(event));
  EXPECT_EQ(event.key, uint32_t('7'));
  ASSERT_TRUE(events.next(event));
  EXPECT_EQ(event.key, uint32_t('5'));
}

TEST(input_events, a_scripted_q_ends_like_a_typed_one) {
  input_events events;
  events.set_script(parse_key_script("2:q"));
  qorOutput_event event{};
  EXPECT_FALSE(events.next(event));
  events.set_iteration(2);
  ASSERT_TRUE(events.next(event));
  EXPECT_EQ(event.type, qor_event_end);
  EXPECT_TRUE(events.end_requested());
}

TEST(input_events, a_passed_deadline_ends_the_render_at_the_next_poll) {
  input_events events;
  qorOutput_event event{};
  events.set_deadline(input_events::clock::now() + std::chrono::hours(1));
  EXPECT_FALSE(events.next(event));
  events.set_deadline(input_events::clock::now() - std::chrono::milliseconds(1));
  EXPECT_FALSE(events.end_requested());  // noticed when the renderer polls
  ASSERT_TRUE(events.next(event));
  EXPECT_EQ(event.type, qor_event_end);
}

// A pseudo-terminal stands in for the user's terminal.
struct pseudo_terminal {
  pseudo_terminal() {
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) master = slave = -1;
  }
  ~pseudo_terminal() {
    if (master >= 0) close(master);
    if (slave >= 0) close(slave);
  }
  tcflag_t local_modes() const {
    struct termios settings {};
    tcgetattr(slave, &settings);
    return settings.c_lflag;
  }
  int master = -1, slave = -1;
};

// Waits a little for the reader thread to turn bytes into events.
bool next_within(input_events& events, qorOutput_event& event) {
  for (int i = 0; i < 200; ++i) {
    if (events.next(event)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

TEST(terminal_keys, a_pipe_is_not_read) {
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  input_events events;
  {
    engine::io::terminal_keys keys(ends[0], events);
    EXPECT_FALSE(keys.active());
  }
  close(ends[0]);
  close(ends[1]);
}

TEST(terminal_keys, single_keys_without_enter_and_the_settings_put_back) {
  pseudo_terminal terminal;
  ASSERT_GE(terminal.master, 0) << "no pseudo-terminal";
  const tcflag_t before = terminal.local_modes();
  ASSERT_NE(before & ICANON, 0u);

  input_events events;
  {
    engine::io::terminal_keys keys(terminal.slave, events);
    ASSERT_TRUE(keys.active());
    EXPECT_EQ(terminal.local_modes() & (ICANON | ECHO), 0u);
    EXPECT_NE(terminal.local_modes() & ISIG, 0u);  // Ctrl-C still interrupts

    // A second reader while one is active would save the changed settings as the original ones.
    input_events other;
    EXPECT_THROW(engine::io::terminal_keys(terminal.slave, other), std::logic_error);

    ASSERT_EQ(write(terminal.master, "r", 1), 1);  // no newline
    qorOutput_event event{};
    ASSERT_TRUE(next_within(events, event));
    EXPECT_EQ(event.type, qor_event_key);
    EXPECT_EQ(event.key, uint32_t('r'));

    // An arrow key's escape sequence is no key at all.
    ASSERT_EQ(write(terminal.master, "\033[A", 3), 3);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(events.next(event));

    ASSERT_EQ(write(terminal.master, "\033", 1), 1);
    ASSERT_TRUE(next_within(events, event));
    EXPECT_EQ(event.type, qor_event_end);
  }
  EXPECT_EQ(terminal.local_modes(), before);
}

TEST(terminal_keys, restore_terminal_puts_the_settings_back_while_reading) {
  pseudo_terminal terminal;
  ASSERT_GE(terminal.master, 0) << "no pseudo-terminal";
  const tcflag_t before = terminal.local_modes();
  input_events events;
  engine::io::terminal_keys keys(terminal.slave, events);
  ASSERT_NE(terminal.local_modes(), before);
  engine::io::restore_terminal();  // what the exit and fatal-signal handlers call
  EXPECT_EQ(terminal.local_modes(), before);
}

TEST(terminal_keys_death, a_fatal_signal_restores_the_terminal_before_dying) {
  // Forked, not re-run: the child must change this test's own pseudo-terminal.
  GTEST_FLAG_SET(death_test_style, "fast");
  pseudo_terminal terminal;
  ASSERT_GE(terminal.master, 0) << "no pseudo-terminal";
  const tcflag_t before = terminal.local_modes();
  EXPECT_EXIT(
      {
        input_events events;
        engine::io::terminal_keys keys(terminal.slave, events);
        std::raise(SIGTERM);
      },
      ::testing::KilledBySignal(SIGTERM), "");
  EXPECT_EQ(terminal.local_modes(), before);
}

// Waits for a count that a signal thread raises.
bool reaches(const std::atomic<int>& value, int wanted) {
  for (int i = 0; i < 400 && value.load() < wanted; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return value.load() >= wanted;
}

// Runs in a child process: each step that goes wrong exits with its own code.
void interrupt_three_times() {
  std::atomic<int> ends{0};
  std::atomic<int> stops{0};
  engine::io::interrupts handler([&] { ++ends; }, [&] { ++stops; });
  kill(getpid(), SIGINT);
  if (!reaches(ends, 1) || stops != 0) std::_Exit(10);
  kill(getpid(), SIGINT);
  if (!reaches(stops, 1) || ends != 1) std::_Exit(11);
  kill(getpid(), SIGINT);
  std::this_thread::sleep_for(std::chrono::seconds(2));
  std::_Exit(12);  // the third should not have let us get here
}

TEST(interrupts_death, first_ctrl_c_ends_the_render_second_stops_it_third_leaves) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(interrupt_three_times(), ::testing::ExitedWithCode(130), "");
}

}  // namespace
