#include "cli/batch.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "cli/progress.h"

namespace vorn::cli {

namespace {

// The size of all inputs that are regular files, for the time left; 0 when progress is off.
uint64_t total_size(const Args& inputs, bool progress) {
  uint64_t total = 0;
  if (!progress) return 0;
  for (const std::string_view in : inputs) {
    struct stat st {};
    if (in != STD_STREAM && ::stat(std::string(in).c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
      total += static_cast<uint64_t>(st.st_size);
    }
  }
  return total;
}

// The report of one input with every failure of the work caught: memory running out, or any
// other exception, fails this file alone.
struct Finished {
  Report report;
  uint64_t bytes = 0;
};

Finished run_one(const FileWork& work, size_t index, std::string_view name) {
  Finished f;
  try {
    work(index, f.report, f.bytes);
  } catch (const std::bad_alloc&) {
    f.report = Report{};  // frees what the work had built
    f.report.failed = true;
    f.report.out_of_memory = true;
  } catch (const std::exception& e) {
    f.report = Report{};
    try {
      f.report.error(cat({display_name(name), ": internal error: ", e.what()}));
    } catch (const std::bad_alloc&) {
      f.report.failed = true;
      f.report.out_of_memory = true;
    }
  }
  return f;
}

// Reports that may wait to be printed: the inputs one worker may be ahead of the next input to
// print, at least, and the text they may hold before workers wait (one report alone may hold
// more).
constexpr size_t MIN_WINDOW = 64;
constexpr size_t MAX_WAITING_BYTES = size_t{64} << 20;

class Batch {
 public:
  Batch(const Args& inputs, const BatchSettings& settings, const FileWork& work,
        const EmitOut& emit)
      : inputs_(inputs),
        work_(work),
        emit_(emit),
        progress_(inputs.size(), total_size(inputs, settings.progress), settings.progress),
        jobs_(std::max(1u, settings.jobs)),
        stdout_terminal_(settings.progress && is_terminal(STDOUT_FILENO)) {}

  BatchOutcome run() {
    if (jobs_ > 1 && inputs_.size() > 1) run_threads();
    // One thread, or none could be started.
    for (size_t i = emitted_; i < inputs_.size() && !outcome_.stopped; ++i) {
      progress_.show(i, bytes_, display_name(inputs_[i]));
      deliver(run_one(work_, i, inputs_[i]), i);
    }
    if (!outcome_.stopped) progress_.finish(inputs_.size(), bytes_);
    return outcome_;
  }

 private:
  // Prints one report on this thread and counts it.
  void deliver(Finished f, size_t index) {
    ++emitted_;
    bytes_ += f.bytes;
    Report& r = f.report;
    if (r.failed) ++outcome_.failed;
    // The line goes before a message, and before output that shares its terminal.
    const bool has_out = !r.out.empty() || r.out_waiting;
    if ((has_out && stdout_terminal_) || !r.err.empty() || r.out_of_memory) progress_.clear();
    if (has_out) {
      bool emitted = false;
      try {
        emitted = emit_(index, r.out);
      } catch (const std::bad_alloc&) {
        // The output of this file ran out of memory (what reached standard output stays).
        if (!r.failed) ++outcome_.failed;
        r.failed = r.out_of_memory = true;
        progress_.clear();
        emitted = true;
      }
      if (!emitted) {
        outcome_.stopped = true;
        return;
      }
    }
    print_err_text(r.err);
    if (r.out_of_memory) print_out_of_memory(inputs_[index]);
  }

  // "vorn: {name}: out of memory", written in pieces: a message made in memory could fail for
  // the same reason.
  static void print_out_of_memory(std::string_view input) {
    print_err_text("vorn: ");
    print_err_text(display_name(input));
    print_err_text(": out of memory\n");
  }

  // Workers take the next input while it is within `window` inputs of the next to print and
  // the reports waiting hold less than MAX_WAITING_BYTES (or it is the next to print, so that
  // a slow file holds up the printing but not the others); this thread prints the reports in
  // order and redraws the progress while it waits.
  void run_threads() {
    const size_t window = std::max<size_t>(MIN_WINDOW, 2 * static_cast<size_t>(jobs_));
    slots_.resize(window);
    ready_.assign(window, false);
    std::vector<std::thread> threads;
    // Joins the workers on every way out, an exception of this thread included.
    struct Joiner {
      Batch& b;
      std::vector<std::thread>& threads;
      ~Joiner() {
        b.stop();
        for (std::thread& t : threads) t.join();
      }
    } joiner{*this, threads};
    try {
      threads.reserve(jobs_);
      for (unsigned k = 0; k < std::min<size_t>(jobs_, inputs_.size()); ++k) {
        threads.emplace_back([this, window] { worker(window); });
      }
    } catch (const std::exception&) {
      // Fewer threads than asked for (std::system_error, std::bad_alloc); with none at all the
      // files are worked on by this thread alone.
    }
    if (threads.empty()) return;
    while (emitted_ < inputs_.size() && !outcome_.stopped) {
      const size_t index = emitted_;
      show_progress();
      Finished f = take(index % window);
      deliver(std::move(f), index);
      {
        std::lock_guard lock(mutex_);
        printed_ = emitted_;
      }
      // One report printed makes room for one more input: waking every waiting worker, of
      // which all but one would find no room and sleep again, is what made hundreds of threads
      // cost many times the work itself. A worker that finds more room wakes the next.
      room_.notify_one();
    }
  }

  // The report in `slot` once it is there; redraws the progress while waiting for it.
  Finished take(size_t slot) {
    std::unique_lock lock(mutex_);
    while (!ready_[slot]) {
      if (ready_cv_.wait_for(lock, std::chrono::milliseconds(100)) == std::cv_status::timeout) {
        lock.unlock();
        show_progress();
        lock.lock();
      }
    }
    ready_[slot] = false;
    Finished& f = slots_[slot];
    waiting_bytes_ -= f.report.out.size() + f.report.err.size();
    return std::move(f);
  }

  // Redraws the progress from what the workers have done (throttled by Progress).
  void show_progress() {
    if (!progress_.enabled()) return;
    size_t done, current;
    uint64_t bytes;
    {
      std::lock_guard lock(mutex_);
      done = done_;
      bytes = bytes_done_;
      current = current_;
    }
    progress_.show(done, bytes, display_name(inputs_[current]));
  }

  void stop() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    room_.notify_all();
  }

  void worker(size_t window) {
    for (;;) {
      size_t index;
      {
        std::unique_lock lock(mutex_);
        const auto may_take = [&] {
          return stopping_ || next_ >= inputs_.size() || next_ == printed_ ||
                 (next_ < printed_ + window && waiting_bytes_ < MAX_WAITING_BYTES);
        };
        room_.wait(lock, may_take);
        if (stopping_ || next_ >= inputs_.size()) {
          room_.notify_one();  // the others end too
          return;
        }
        index = next_++;
        current_ = index;
        if (may_take()) room_.notify_one();
      }
      Finished f = run_one(work_, index, inputs_[index]);
      {
        std::lock_guard lock(mutex_);
        ++done_;
        bytes_done_ += f.bytes;
        waiting_bytes_ += f.report.out.size() + f.report.err.size();
        slots_[index % window] = std::move(f);
        ready_[index % window] = true;
      }
      ready_cv_.notify_one();
    }
  }

  const Args& inputs_;
  const FileWork& work_;
  const EmitOut& emit_;
  Progress progress_;
  unsigned jobs_;
  bool stdout_terminal_;
  BatchOutcome outcome_;
  size_t emitted_ = 0;  // reports printed; this thread's own count
  uint64_t bytes_ = 0;  // input bytes of the printed reports

  // Shared with the workers, under mutex_.
  std::mutex mutex_;
  std::condition_variable ready_cv_;  // a report was put in its slot
  std::condition_variable room_;      // a report was printed, or the batch stops
  std::vector<Finished> slots_;       // input i waits in slot i % window
  std::vector<bool> ready_;
  size_t next_ = 0;     // the next input to hand out
  size_t printed_ = 0;  // emitted_, as the workers see it
  size_t done_ = 0;     // reports finished, printed or not
  size_t current_ = 0;  // the input handed out last
  uint64_t bytes_done_ = 0;
  size_t waiting_bytes_ = 0;  // text of the reports in slots_
  bool stopping_ = false;
};

}  // namespace

BatchOutcome run_batch(const Args& inputs, const BatchSettings& settings, const FileWork& work,
                       const EmitOut& emit) {
  return Batch(inputs, settings, work, emit).run();
}

int batch_status(const BatchOutcome& outcome, size_t total, bool quiet) {
  if (outcome.stopped) return STATUS_DATA_ERROR;
  if (outcome.failed == 0) return STATUS_OK;
  if (total > 1 && !quiet) {
    print_error(
        cat({std::to_string(outcome.failed), " of ", std::to_string(total), " files failed"}));
  }
  return STATUS_DATA_ERROR;
}

}  // namespace vorn::cli
