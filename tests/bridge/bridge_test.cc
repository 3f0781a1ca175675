// The bridge seen from the Dart side: what a delivery returns, what the VM
// receives, and the exact bytes on the process's streams.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "dart_side.h"
#include "scenario.h"

namespace {

using namespace norvale_test;

// Echoes every message from INBOX to REPLY until it gets b"stop"; says
// b"ready" first. A message b"raise" makes the handler raise.
constexpr const char kEchoProgram[] = R"(
import os, threading, norvale
reply = int(os.environ["REPLY_PORT"])
inbox = int(os.environ["INBOX_PORT"])
done = threading.Event()
def on_message(payload):
    if payload == b"stop":
        done.set()
    elif payload == b"raise":
        raise ValueError("handler failed on purpose")
    else:
        norvale.send_bytes(reply, payload)
norvale.set_enqueue_handler_func(inbox, on_message)
norvale.send_bytes(reply, b"ready")
done.wait()
)";

struct EchoSession {
  int64_t reply = new_port();
  int64_t inbox = 4242;
  int64_t exit = new_port();

  bool start() {
    bind_vm();
    RunRequest request;
    request.source(kEchoProgram)
        .env("REPLY_PORT", std::to_string(reply))
        .env("INBOX_PORT", std::to_string(inbox))
        .exit_port(exit);
    return request.run_async() == 0 && wait_bytes(reply) == "ready";
  }
  std::optional<int64_t> stop() {
    deliver(inbox, "stop");
    return wait_int(exit);
  }
};

std::string all_byte_values(size_t size) {
  std::string s(size, '\0');
  for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>(i * 7 + 3);
  return s;
}

NORVALE_SCENARIO(echo_payloads) {
  EchoSession session;
  SCENARIO_CHECK(session.start());
  for (size_t size : {size_t{0}, size_t{1}, size_t{64}, size_t{4096}, size_t{1} << 20}) {
    std::string payload = all_byte_values(size);
    SCENARIO_CHECK(deliver(session.inbox, payload) == 0);
    standin_dart_message message{};
    SCENARIO_CHECK(standin_dart_vm_wait_message(session.reply, 10000, &message));
    SCENARIO_CHECK(message.type == Dart_CObject_kTypedData);
    SCENARIO_CHECK(message.element_type == Dart_TypedData_kUint8);
    SCENARIO_CHECK(message.length == static_cast<intptr_t>(size));
    SCENARIO_CHECK(std::string(reinterpret_cast<char*>(message.bytes), size) == payload);
    standin_dart_message_clear(&message);
  }
  SCENARIO_CHECK(session.stop() == 0);
  return 0;
}

TEST(Delivery, PayloadsCrossBothWaysAsUint8TypedDataIntact) {
  auto result = run_scenario("echo_payloads");
  EXPECT_EQ(result.exit_code(), 0) << result.err;
  EXPECT_EQ(result.err, "");
}

NORVALE_SCENARIO(concurrent_deliveries) {
  EchoSession session;
  SCENARIO_CHECK(session.start());
  constexpr int kThreads = 4, kEach = 250;
  std::vector<std::thread> threads;
  std::vector<int> failures(kThreads);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        if (deliver(session.inbox, std::to_string(t * kEach + i)) != 0) ++failures[t];
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (int f : failures) SCENARIO_CHECK(f == 0);
  std::vector<bool> seen(kThreads * kEach);
  for (int i = 0; i < kThreads * kEach; ++i) {
    auto bytes = wait_bytes(session.reply);
    SCENARIO_CHECK(bytes.has_value());
    int n = std::stoi(*bytes);
    SCENARIO_CHECK(!seen[n]);
    seen[n] = true;
  }
  SCENARIO_CHECK(standin_dart_vm_pending(session.reply) == 0);
  SCENARIO_CHECK(session.stop() == 0);
  return 0;
}

TEST(Delivery, ConcurrentDartThreadsEachGetTheirReplyOnce) {
  auto result = run_scenario("concurrent_deliveries");
  EXPECT_EQ(result.exit_code(), 0) << result.err;
}

NORVALE_SCENARIO(delivery_results) {
  std::string payload = "x";
  SCENARIO_CHECK(deliver(1, payload) == -2);
  SCENARIO_CHECK(norvale_is_python_initialized() == 0);
  EchoSession session;
  SCENARIO_CHECK(session.start());
  SCENARIO_CHECK(norvale_is_python_initialized() == 1);
  std::fputs("--unregistered--\n", stderr);
  SCENARIO_CHECK(deliver(session.inbox + 1, payload) == -1);
  std::fputs("--null data--\n", stderr);
  SCENARIO_CHECK(Norvale_EnqueueMessage(session.inbox, nullptr, 5) == -1);
  SCENARIO_CHECK(Norvale_EnqueueMessage(session.inbox, nullptr, 0) == 0);
  SCENARIO_CHECK(wait_bytes(session.reply) == "");
  std::fputs("--negative length--\n", stderr);
  SCENARIO_CHECK(Norvale_EnqueueMessage(session.inbox,
                                        reinterpret_cast<const uint8_t*>(payload.data()), -1) ==
                 -1);
  std::fputs("--raising handler--\n", stderr);
  SCENARIO_CHECK(deliver(session.inbox, "raise") == 0);
  std::fputs("--end--\n", stderr);
  SCENARIO_CHECK(standin_dart_vm_pending(session.reply) == 0);
  SCENARIO_CHECK(session.stop() == 0);
  SCENARIO_CHECK(norvale_is_python_initialized() == 0);
  SCENARIO_CHECK(deliver(session.inbox, payload) == -2);
  return 0;
}

TEST(Delivery, ResultsAndWhatEachFailurePrints) {
  auto result = run_scenario("delivery_results");
  ASSERT_EQ(result.exit_code(), 0) << result.err;
  auto between = [&](const std::string& from, const std::string& to) {
    size_t a = result.err.find(from), b = result.err.find(to);
    return a == std::string::npos || b == std::string::npos
               ? std::string("<missing>")
               : result.err.substr(a + from.size(), b - a - from.size());
  };
  EXPECT_EQ(between("--unregistered--\n", "--null data--\n"), "");
  EXPECT_EQ(between("--null data--\n", "--negative length--\n"), "");
  std::string negative = between("--negative length--\n", "--raising handler--\n");
  EXPECT_NE(negative.find("SystemError"), std::string::npos) << negative;
  std::string raised = between("--raising handler--\n", "--end--\n");
  EXPECT_EQ(raised.rfind("Traceback (most recent call last):\n", 0), 0u) << raised;
  EXPECT_NE(raised.find("ValueError: handler failed on purpose\n"), std::string::npos);
  EXPECT_EQ(result.out, "");
}

NORVALE_SCENARIO(handlers_cleared_between_sessions) {
  EchoSession first;
  SCENARIO_CHECK(first.start());
  SCENARIO_CHECK(first.stop() == 0);
  bind_vm();
  int64_t ready = new_port();
  RunRequest second;
  second.source(R"(
import os, threading, norvale
norvale.send_bytes(int(os.environ["READY"]), b"up")
threading.Event().wait(0.5)
)")
      .env("READY", std::to_string(ready))
      .exit_port(first.exit);
  SCENARIO_CHECK(second.run_async() == 0);
  SCENARIO_CHECK(wait_bytes(ready) == "up");
  SCENARIO_CHECK(deliver(first.inbox, "x") == -1);
  SCENARIO_CHECK(wait_int(first.exit) == 0);
  return 0;
}

TEST(Delivery, ANewSessionStartsWithoutTheOldHandlers) {
  auto result = run_scenario("handlers_cleared_between_sessions");
  EXPECT_EQ(result.exit_code(), 0) << result.err;
}

// Eight Dart threads deliver while four Python threads send, for a bounded
// time; the program reports how often its handler ran when told to stop.
constexpr const char kTwoWayLoad[] = R"(
import os, threading, norvale
out = int(os.environ["OUT_PORT"])
report = int(os.environ["REPORT_PORT"])
calls = 0
stop = threading.Event()
def on_message(payload):
    global calls
    if payload == b"stop":
        stop.set()
    else:
        assert payload == bytes(range(payload[0], payload[0] + 16)), payload
        calls += 1
norvale.set_enqueue_handler_func(9, on_message)
sent = [0] * 4
def sender(k):
    while not stop.is_set():
        n = sent[k]
        body = n.to_bytes(8, "little") * 8
        norvale.send_bytes(out, bytes([k]) + body)
        sent[k] = n + 1
senders = [threading.Thread(target=sender, args=(k,)) for k in range(4)]
for t in senders:
    t.start()
norvale.send_bytes(report, b"ready")
stop.wait()
for t in senders:
    t.join()
norvale.send_bytes(report, f"{calls} {' '.join(map(str, sent))}".encode())
)";

NORVALE_SCENARIO(two_way_load) {
  bind_vm();
  int64_t out = new_port(), report = new_port(), exit = new_port();
  SCENARIO_CHECK(RunRequest().source(kTwoWayLoad).env("OUT_PORT", std::to_string(out))
                     .env("REPORT_PORT", std::to_string(report)).exit_port(exit)
                     .run_async() == 0);
  SCENARIO_CHECK(wait_bytes(report) == "ready");
  std::atomic<bool> stop{false};
  std::atomic<long> delivered{0}, failed{0};
  std::vector<std::thread> dart_threads;
  for (int t = 0; t < 8; ++t) {
    dart_threads.emplace_back([&, t] {
      uint8_t payload[16];
      for (uint8_t i = 0; !stop.load(); ++i) {
        uint8_t first = static_cast<uint8_t>(i % 200 + t);
        for (uint8_t k = 0; k < 16; ++k) payload[k] = static_cast<uint8_t>(first + k);
        (Norvale_EnqueueMessage(9, payload, 16) == 0 ? delivered : failed).fetch_add(1);
      }
    });
  }
  std::this_thread::sleep_for(std::chrono::seconds(2));
  stop.store(true);
  for (auto& thread : dart_threads) thread.join();
  SCENARIO_CHECK(deliver(9, "stop") == 0);
  auto counts = wait_bytes(report);
  SCENARIO_CHECK(counts.has_value());
  long calls = 0, sent[4] = {};
  SCENARIO_CHECK(std::sscanf(counts->c_str(), "%ld %ld %ld %ld %ld", &calls, &sent[0], &sent[1],
                             &sent[2], &sent[3]) == 5);
  SCENARIO_CHECK(failed.load() == 0);
  SCENARIO_CHECK(calls == delivered.load() && calls > 0);
  // Every posted message arrived once, in each sender's order, intact.
  long next[4] = {};
  for (;;) {
    auto message = wait_bytes(out, 0.0);
    if (!message) break;
    SCENARIO_CHECK(message->size() == 65);
    int k = static_cast<uint8_t>((*message)[0]);
    SCENARIO_CHECK(k < 4);
    uint64_t n = 0;
    std::memcpy(&n, message->data() + 1, 8);
    SCENARIO_CHECK(static_cast<long>(n) == next[k]);
    for (int copy = 1; copy < 8; ++copy) {
      SCENARIO_CHECK(std::memcmp(message->data() + 1, message->data() + 1 + 8 * copy, 8) == 0);
    }
    ++next[k];
  }
  for (int k = 0; k < 4; ++k) SCENARIO_CHECK(next[k] == sent[k] && sent[k] > 0);
  SCENARIO_CHECK(wait_int(exit) == 0);
  std::fprintf(stderr, "delivered %ld, sent %ld %ld %ld %ld\n", delivered.load(), sent[0],
               sent[1], sent[2], sent[3]);
  return 0;
}

TEST(Load, EightDartThreadsAndFourPythonSendersLoseAndCorruptNothing) {
  auto result = run_scenario("two_way_load");
  EXPECT_EQ(result.exit_code(), 0) << result.err;
}

NORVALE_SCENARIO(stream_bytes) {
  SCENARIO_CHECK(norvale_install_stdio_redirect() == -1);
  RunRequest request;
  request.source(R"(
import sys
assert sys.stdout.write("") == 0
assert sys.stdout.write("\u00e9") == 1
sys.stderr.write("to stderr ")
print("line")
try:
    sys.stdout.write(123)
except TypeError:
    pass
else:
    raise AssertionError("only text is written")
)");
  return request.run_sync();
}

TEST(Streams, PythonOutputReachesTheProcessStreamsUnchanged) {
  auto result = run_scenario("stream_bytes");
  EXPECT_EQ(result.exit_code(), 0) << result.err;
  EXPECT_EQ(result.out, "\xc3\xa9line\n");
  EXPECT_EQ(result.err, "to stderr ");
}

NORVALE_SCENARIO(stdout_buffered_stderr_flushed) {
  RunRequest request;
  request.source(R"(
import os, sys
sys.stdout.write("still in the buffer")
sys.stderr.write("written at once")
os._exit(0)
)");
  return request.run_sync();
}

// As python3: standard output waits in its buffer unless PYTHONUNBUFFERED
// asks otherwise; standard error goes out at once.
TEST(Streams, StandardErrorIsFlushedAtOnceStandardOutputWhenUnbuffered) {
  for (const bool unbuffered : {false, true}) {
    SCOPED_TRACE(unbuffered ? "PYTHONUNBUFFERED=1" : "buffered");
    norvale_test::ChildOptions options;
    options.env["PYTHONUNBUFFERED"] =
        unbuffered ? std::optional<std::string>("1") : std::nullopt;
    auto result = run_scenario("stdout_buffered_stderr_flushed", options);
    EXPECT_EQ(result.exit_code(), 0) << result.err;
    EXPECT_EQ(result.out, unbuffered ? "still in the buffer" : "");
    EXPECT_EQ(result.err, "written at once");
  }
}

NORVALE_SCENARIO(stdout_flushed_by_the_program) {
  RunRequest request;
  request.source(R"(
import os, sys
sys.stdout.write("flushed by the program")
sys.stdout.flush()
sys.stdout.write(", this not")
os._exit(0)
)");
  return request.run_sync();
}

// What multiprocessing relies on before a fork child ends with os._exit.
TEST(Streams, FlushingStandardOutputWritesWhatIsBuffered) {
  norvale_test::ChildOptions options;
  options.env["PYTHONUNBUFFERED"] = std::nullopt;
  auto result = run_scenario("stdout_flushed_by_the_program", options);
  EXPECT_EQ(result.exit_code(), 0) << result.err;
  EXPECT_EQ(result.out, "flushed by the program");
}

}  // namespace
