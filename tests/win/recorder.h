// Records what a FlashController reports through its sinks, for tests on
// any thread, with waits that end at a deadline.
#ifndef STM32_TESTS_WIN_RECORDER_H
#define STM32_TESTS_WIN_RECORDER_H

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "flash_controller.h"
#include "text.h"

class Recorder {
public:
    void attach(FlashController* controller) {
        setLogSink(controller, this, &Recorder::onLog);
        setStatusSink(controller, this, &Recorder::onStatus);
    }

    // Complete log lines; pieces sent with the no-line-break flag are joined.
    std::vector<std::string> lines() {
        std::lock_guard<std::mutex> guard(mutex_);
        return lines_;
    }
    std::vector<std::string> statuses() {
        std::lock_guard<std::mutex> guard(mutex_);
        return statuses_;
    }
    int targetChanges() {
        std::lock_guard<std::mutex> guard(mutex_);
        return targetChanges_;
    }
    bool hasLine(const std::string& line) {
        std::lock_guard<std::mutex> guard(mutex_);
        for (const auto& l : lines_) {
            if (l == line) return true;
        }
        return false;
    }
    bool hasLineStartingWith(const std::string& prefix) {
        std::lock_guard<std::mutex> guard(mutex_);
        for (const auto& l : lines_) {
            if (l.compare(0, prefix.size(), prefix) == 0) return true;
        }
        return false;
    }
    int countLinesContaining(const std::string& part) {
        std::lock_guard<std::mutex> guard(mutex_);
        int count = 0;
        for (const auto& l : lines_) {
            if (l.find(part) != std::string::npos) ++count;
        }
        return count;
    }
    size_t statusCount() {
        std::lock_guard<std::mutex> guard(mutex_);
        return statuses_.size();
    }
    std::string lastStatus() {
        std::lock_guard<std::mutex> guard(mutex_);
        return statuses_.empty() ? std::string() : statuses_.back();
    }
    void clear() {
        std::lock_guard<std::mutex> guard(mutex_);
        lines_.clear();
        statuses_.clear();
        pending_.clear();
        targetChanges_ = 0;
    }

    // Waits until the condition holds or the deadline passes; the result of the last look.
    bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds deadline = std::chrono::seconds(5)) {
        const auto end = std::chrono::steady_clock::now() + deadline;
        while (!condition()) {
            if (std::chrono::steady_clock::now() >= end) return false;
            std::unique_lock<std::mutex> guard(mutex_);
            changed_.wait_for(guard, std::chrono::milliseconds(20));
        }
        return true;
    }
    bool waitForStatus(const std::string& status, std::chrono::milliseconds deadline = std::chrono::seconds(5)) {
        return waitUntil([&] { return lastStatus() == status; }, deadline);
    }
    bool waitForLine(const std::string& line, std::chrono::milliseconds deadline = std::chrono::seconds(5)) {
        return waitUntil([&] { return hasLine(line); }, deadline);
    }

    static void onTargetChanged(void* userData) {
        auto* self = static_cast<Recorder*>(userData);
        {
            std::lock_guard<std::mutex> guard(self->mutex_);
            ++self->targetChanges_;
        }
        self->changed_.notify_all();
    }

    // Called on the sink's thread after each complete log line is recorded.
    std::function<void(const std::string&)> onLine;
    // Called on the sink's thread for each piece without a line break.
    std::function<void(const std::string&)> onPiece;

private:
    static void onLog(void* userData, const NativeChar* text, int noLineBreak) {
        auto* self = static_cast<Recorder*>(userData);
        const std::string piece = utf8FromNative(text);
        std::string finished;
        bool lineDone = false;
        {
            std::lock_guard<std::mutex> guard(self->mutex_);
            self->pending_ += piece;
            if (noLineBreak == 0) {
                finished = self->pending_;
                self->lines_.push_back(finished);
                self->pending_.clear();
                lineDone = true;
            }
        }
        self->changed_.notify_all();
        if (lineDone && self->onLine) self->onLine(finished);
        if (!lineDone && self->onPiece) self->onPiece(piece);
    }
    static void onStatus(void* userData, const NativeChar* text) {
        auto* self = static_cast<Recorder*>(userData);
        {
            std::lock_guard<std::mutex> guard(self->mutex_);
            self->statuses_.push_back(utf8FromNative(text));
        }
        self->changed_.notify_all();
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> lines_;
    std::vector<std::string> statuses_;
    std::string pending_;
    int targetChanges_ = 0;
};

#endif
