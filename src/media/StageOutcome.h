#pragma once

#include <string>
#include <utility>

extern "C" {
#include <libavutil/error.h>
}

namespace lento {

// How a stage of an export, or a whole export, ended: succeeded; stopped, because it was asked to
// or because another stage failed first (no failure of its own, so no message); or failed, with
// the code of the error behind it and the message a person reads.
//
// The code is FFmpeg's: a negative errno for the system's errors (AVERROR(ENOSPC),
// AVERROR(EIO)), one of FFmpeg's own (AVERROR_INVALIDDATA), or 0 where the export's own rules
// refused and no library or system call failed.
struct StageOutcome {
    enum class Kind { Succeeded, Stopped, Failed };
    Kind kind = Kind::Succeeded;
    int code = 0;
    std::string message;

    static StageOutcome succeeded() { return {}; }
    static StageOutcome stopped() { return {Kind::Stopped, 0, {}}; }
    static StageOutcome failed(std::string why, int code = 0) {
        return {Kind::Failed, code, std::move(why)};
    }
    static StageOutcome outOfMemory() { return failed("out of memory", AVERROR(ENOMEM)); }

    bool ok() const { return kind == Kind::Succeeded; }
    bool isFailure() const { return kind == Kind::Failed; }
    bool isStop() const { return kind == Kind::Stopped; }
};

} // namespace lento
