#include "client/progress_meter.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace vextora::client {

namespace {

constexpr double REDRAW_SECONDS = 0.1;
constexpr double RATE_WINDOW_SECONDS = 3.0;

}  // namespace

std::string formatBytes(std::uint64_t bytes) {
    if (bytes < 1024) return std::to_string(bytes) + " B";
    static const char* const UNITS[] = {"KiB", "MiB", "GiB", "TiB"};
    double value = static_cast<double>(bytes) / 1024;
    int unit = 0;
    // Rounding may give 1024.0; then the next unit reads better.
    while (value >= 1023.95 && unit < 3) {
        value /= 1024;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %s", value, UNITS[unit]);
    return text;
}

std::string formatDuration(double seconds) {
    auto whole = static_cast<long long>(std::llround(std::max(seconds, 0.0)));
    long long hours = whole / 3600, minutes = whole / 60 % 60, secs = whole % 60;
    char text[32];
    if (hours > 0)
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", hours, minutes, secs);
    else
        std::snprintf(text, sizeof text, "%lld:%02lld", minutes, secs);
    return text;
}

ProgressMeter::ProgressMeter(std::ostream& out, std::string label, int columns)
    : out_(out), label_(std::move(label)), columns_(columns) {}

double ProgressMeter::rate() const {
    if (samples_.size() < 2) return 0;
    double span = samples_.back().first - samples_.front().first;
    if (span <= 0) return 0;
    return static_cast<double>(samples_.back().second - samples_.front().second) / span;
}

void ProgressMeter::update(std::uint64_t done, std::uint64_t total, double now) {
    if (samples_.empty()) started_ = now;
    done_ = done;
    total_ = total;
    samples_.emplace_back(now, done);
    while (samples_.size() > 2 && now - samples_.front().first > RATE_WINDOW_SECONDS)
        samples_.pop_front();
    bool complete = total > 0 && done >= total;
    if (!complete && lastDraw_ >= 0 && now - lastDraw_ < REDRAW_SECONDS) return;
    lastDraw_ = now;
    double speed = rate();
    std::string left;
    if (total > 0 && speed > 0)
        left = formatDuration(static_cast<double>(total - std::min(done, total)) / speed) + " left";
    // \r back to the start, ESC [ K clears what a longer line left.
    out_ << '\r' << render(label_, done, total, speed, left, columns_) << "\x1b[K" << std::flush;
    drawn_ = true;
}

void ProgressMeter::finish(double now, std::string_view outcome) {
    if (!drawn_) return;
    // Over the whole transfer: a fast one may have moved everything between
    // two samples of the window, which would read as no rate at all.
    double elapsed = now - started_;
    double average = elapsed > 0 ? static_cast<double>(done_) / elapsed : 0;
    std::string last = outcome.empty() ? "in " + formatDuration(elapsed) : std::string(outcome);
    out_ << '\r' << render(label_, done_, total_, average, last, columns_) << "\x1b[K\n"
         << std::flush;
    drawn_ = false;
}

std::string ProgressMeter::render(std::string_view label, std::uint64_t done, std::uint64_t total,
                                  double rate, std::string_view last, int columns) {
    // Every field has a fixed width, so the bar keeps its length while the
    // figures change: "1023.9 MiB" is the widest size.
    auto padded = [](std::string text, std::size_t width, bool right) {
        if (text.size() < width) text.insert(right ? 0 : text.size(), width - text.size(), ' ');
        return text;
    };
    const int width = std::max(columns - 1, 20);
    std::string speed = padded(formatBytes(static_cast<std::uint64_t>(rate)) + "/s", 12, true);
    auto figuresWith = [&](bool withTotal) {
        std::string text = padded(formatBytes(done), 10, true);
        if (withTotal) text += " / " + padded(formatBytes(total), 10, true);
        return text + "  " + speed + "  " + std::string(last);
    };
    constexpr int LAST_WIDTH = 12;  // "1:02:03 left"
    constexpr int LABEL_WIDTH = 16;
    constexpr int GOOD_BAR = 20;

    std::string figures = figuresWith(false);
    int shownLabel = std::min(static_cast<int>(label.size()), LABEL_WIDTH);
    int percentWidth = 0, barWidth = 0;
    if (total == 0) {
        int room = width - static_cast<int>(figures.size()) - 2;
        shownLabel = room >= 4 ? std::min(shownLabel, room) : 0;
    } else {
        percentWidth = 5;  // "100% "
        auto barFor = [&](int figuresWidth) {
            int labelPart = shownLabel > 0 ? shownLabel + 2 : 0;
            return width - labelPart - percentWidth - 3 - figuresWidth;
        };
        // The total shows when the bar keeps a good length beside it.
        int fixedPart = static_cast<int>(figuresWith(true).size() - last.size()) + LAST_WIDTH;
        if (barFor(fixedPart) >= GOOD_BAR) {
            figures = figuresWith(true);
            barWidth = barFor(fixedPart);
        } else {
            barWidth = barFor(static_cast<int>(figures.size() - last.size()) + LAST_WIDTH);
        }
        if (barWidth < 10) {
            // Narrow: the bar goes first, then the label.
            barWidth += shownLabel > 0 ? shownLabel + 2 : 0;
            shownLabel = 0;
            if (barWidth < 10) barWidth = 0;
        }
    }

    std::string line;
    if (shownLabel > 0) {
        std::string name(label);
        if (static_cast<int>(name.size()) > shownLabel)
            name = name.substr(0, static_cast<std::size_t>(shownLabel - 3)) + "...";
        line = padded(name, static_cast<std::size_t>(shownLabel), false) + "  ";
    }
    if (total > 0) {
        int share = static_cast<int>(std::min<std::uint64_t>(100, done * 100 / total));
        line += padded(std::to_string(share) + "%", 4, true) + " ";
        if (barWidth > 0) {
            int filled = static_cast<int>(static_cast<double>(barWidth) *
                                          static_cast<double>(std::min(done, total)) /
                                          static_cast<double>(total));
            std::string bar(static_cast<std::size_t>(filled), '=');
            if (filled < barWidth) bar += '>';
            bar.resize(static_cast<std::size_t>(barWidth), ' ');
            line += "[" + bar + "] ";
        }
    }
    line += figures;
    while (!line.empty() && line.back() == ' ') line.pop_back();
    if (static_cast<int>(line.size()) > width) line.resize(static_cast<std::size_t>(width));
    return line;
}

}  // namespace vextora::client
