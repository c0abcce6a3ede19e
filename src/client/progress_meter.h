// ProgressMeter: the one-line display of a running transfer on a terminal:
// the share done, a bar, the bytes, the rate and the time left.
//
// Times are seconds on any steady clock, passed in, so the meter itself reads
// no clock. The rate is measured over the last few seconds, so the time left
// follows a transfer that speeds up or slows down.
#pragma once

#include <cstdint>
#include <deque>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>

namespace vextora::client {

class ProgressMeter {
public:
    // `out` (a terminal) must outlive the meter; `columns` is its width.
    ProgressMeter(std::ostream& out, std::string label, int columns);

    // Redraws at most ten times a second, and whenever the transfer reaches
    // its size. `total` 0 means the size is not known.
    void update(std::uint64_t done, std::uint64_t total, double now);
    // Draws the last state, if anything was drawn, and ends the line: for a
    // transfer that completed (`outcome` empty), with the average rate since
    // the first update and the time taken; otherwise with the rate so far and
    // `outcome` ("cancelled", "failed") in place of the time, so a transfer
    // that did not complete never looks as if it had.
    void finish(double now, std::string_view outcome = {});

    // Bytes a second over the recent samples; 0 before two samples.
    double rate() const;

    // The line for these figures, never wider than columns - 1 (the last
    // column would wrap on some terminals). `last` is the closing field:
    // the time left, or the time taken.
    static std::string render(std::string_view label, std::uint64_t done, std::uint64_t total,
                              double rate, std::string_view last, int columns);

private:
    std::ostream& out_;
    std::string label_;
    int columns_;
    std::deque<std::pair<double, std::uint64_t>> samples_;
    std::uint64_t done_ = 0;
    std::uint64_t total_ = 0;
    double started_ = 0;
    double lastDraw_ = -1;
    bool drawn_ = false;
};

// "512 B", "1.0 KiB", "12.3 MiB", "1.0 GiB".
std::string formatBytes(std::uint64_t bytes);
// "0:07", "12:34", "1:02:03".
std::string formatDuration(double seconds);

}  // namespace vextora::client
