// How every benchmark is measured. Each case comes as up to three benchmarks, run side by side in
// one process (bench/run starts one per case):
//   <case>         what the system does for the event;
//   <case>.host    the host floor: the same work of the simulated platform (sandboxed file reads
//                  and replaces, the property-list codec, the same message sends), without the
//                  system's own logic;
//   <case>.kernel  the kernel floor: plain open/read/close (and the atomic replace) on the same
//                  files.
// The system's share is case minus host, the platform's is host minus kernel.
//
// Times come from Google Benchmark. Instruction counts come from running the same benchmarks
// under callgrind (valgrind --tool=callgrind --collect-atstart=no): then each measured loop is
// collected alone, after a few iterations that warm it up, and dumped under "<name> <iterations>"
// for bench/run to read back; under callgrind each benchmark runs a fixed number of iterations,
// once. Outside valgrind the markers cost a few instructions, and the timed loop has none.
#pragma once

#include <benchmark/benchmark.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#else
#define RUNNING_ON_VALGRIND 0
#define CALLGRIND_TOGGLE_COLLECT
#define CALLGRIND_ZERO_STATS
#define CALLGRIND_DUMP_STATS_AT(label) static_cast<void>(label)
#endif

namespace harbrite::bench {

// Whether this process runs under valgrind: then instructions are counted and times mean nothing.
inline bool counting() {
  static const bool underValgrind = RUNNING_ON_VALGRIND != 0;
  return underValgrind;
}

// Iterations run, uncounted, before counting starts: the first calls bind symbols and fill the
// caches the steady state has.
inline constexpr std::int64_t kWarmUp = 3;

// Reports when a run began, on the machine's monotonic clock, as "started_ns": bench/run puts the
// runs of a case and of its floors back in the order they ran, and compares each with its
// neighbours in time.
inline void markStart(benchmark::State& state) {
  state.counters["started_ns"] =
      static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                              std::chrono::steady_clock::now().time_since_epoch())
                              .count());
}

// Collects instructions while on; report() writes what was collected under a label.
class InstructionCounter {
 public:
  void on() {
    if (!on_) CALLGRIND_TOGGLE_COLLECT;
    on_ = true;
  }
  void off() {
    if (on_) CALLGRIND_TOGGLE_COLLECT;
    on_ = false;
  }
  static void report(const std::string& name, std::int64_t iterations) {
    const std::string label = name + " " + std::to_string(iterations);
    CALLGRIND_DUMP_STATS_AT(label.c_str());
  }

 private:
  bool on_ = false;
};

// One benchmark's loop.
class Loop {
 public:
  Loop(benchmark::State& state, std::string name) : state_(state), name_(std::move(name)) {}

  benchmark::State& state() { return state_; }
  const std::string& name() const { return name_; }

  // Runs `body` once per iteration.
  template <class Body>
  void run(Body&& body) {
    if (!counting()) {
      markStart(state_);
      for (auto _ : state_) body();
      return;
    }
    std::int64_t done = 0;
    CALLGRIND_ZERO_STATS;
    for (auto _ : state_) {
      if (done++ == kWarmUp) {
        started_ = true;
        counter_.on();
      }
      body();
    }
    counter_.off();
    if (started_) InstructionCounter::report(name_, done - kWarmUp);
  }

  // Work inside an iteration that is neither timed nor counted: setting the next one up.
  void pause() {
    state_.PauseTiming();
    counter_.off();
  }
  void resume() {
    if (started_) counter_.on();
    state_.ResumeTiming();
  }

 private:
  benchmark::State& state_;
  std::string name_;
  InstructionCounter counter_;
  bool started_ = false;
};

// Registers a benchmark that runs `body(loop)`; under callgrind it runs `counted` iterations
// after the warm-up, once.
template <class Body>
benchmark::internal::Benchmark* measured(const std::string& name, std::int64_t counted, Body body) {
  auto* b = benchmark::RegisterBenchmark(name.c_str(), [name, body](benchmark::State& state) {
    Loop loop(state, name);
    body(loop);
  });
  if (counting()) b->Iterations(kWarmUp + counted)->Repetitions(1);
  return b;
}

// Measures work done once per start-up, in a process of its own each time, as SpringBoard loads
// the engine once: forked from this process, which boots nothing itself, so that no start-up
// meets the classes and libraries of the ones before it (harbrite-sim, too, runs each boot in a
// process of its own). In the child, `start()` sets the start-up up and hands back the work to
// measure; only that work is timed (by the clock around it: pausing the benchmark's timers costs
// more than a short call) or, under callgrind, counted. Each iteration is one start-up.
//
// A start-up's time varies more than a loop's (a fresh process meets cold caches and faults its
// pages in), and a few are far slower than the rest: besides the mean, which Google Benchmark
// reports, the run reports the median start-up as "median_ns", which bench/run uses.
template <class Start>
void perStartUp(Loop& loop, Start start) {
  benchmark::State& state = loop.state();
  std::vector<std::int64_t> times;
  times.reserve(static_cast<std::size_t>(state.max_iterations));
  markStart(state);
  for (auto _ : state) {
    int report[2];
    if (::pipe(report) != 0) {
      state.SkipWithError("cannot make a pipe");
      return;
    }
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child == 0) {
      ::close(report[0]);
      std::int64_t nanoseconds = -1;
      try {
        auto work = start();
        InstructionCounter counter;
        if (counting()) CALLGRIND_ZERO_STATS;
        counter.on();
        const auto begin = std::chrono::steady_clock::now();
        work();
        const auto end = std::chrono::steady_clock::now();
        counter.off();
        if (counting()) InstructionCounter::report(loop.name(), 1);
        nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(end - begin).count();
      } catch (...) {
      }
      const bool sent = ::write(report[1], &nanoseconds, sizeof nanoseconds) ==
                        static_cast<ssize_t>(sizeof nanoseconds);
      ::_exit(sent ? 0 : 1);
    }
    ::close(report[1]);
    std::int64_t nanoseconds = -1;
    const bool read = child > 0 && ::read(report[0], &nanoseconds, sizeof nanoseconds) ==
                                       static_cast<ssize_t>(sizeof nanoseconds);
    ::close(report[0]);
    if (child > 0) ::waitpid(child, nullptr, 0);
    if (!read || nanoseconds < 0) {
      state.SkipWithError("a start-up failed");
      return;
    }
    state.SetIterationTime(static_cast<double>(nanoseconds) / 1e9);
    times.push_back(nanoseconds);
  }
  if (!times.empty()) {
    std::nth_element(times.begin(), times.begin() + static_cast<std::ptrdiff_t>(times.size() / 2),
                     times.end());
    state.counters["median_ns"] = static_cast<double>(times[times.size() / 2]);
  }
}

// Registers a benchmark whose `body(loop)` measures with perStartUp: `starts` start-ups per
// repetition, each timed alone (three, once, under callgrind).
template <class Body>
benchmark::internal::Benchmark* measuredPerStartUp(const std::string& name, std::int64_t starts,
                                                   Body body) {
  auto* b = benchmark::RegisterBenchmark(name.c_str(), [name, body](benchmark::State& state) {
    Loop loop(state, name);
    body(loop);
  });
  b->UseManualTime()->Iterations(counting() ? 3 : starts);
  if (counting()) b->Repetitions(1);
  return b;
}

}  // namespace harbrite::bench
