#pragma once

#include "media/Composition.h"
#include "media/ExportPresets.h"
#include "media/MediaTime.h"
#include "media/StageOutcome.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace lento {

// Renders a composition to a movie file with FFmpeg, on worker threads.
//
// Every source frame is kept and retimed; stretched sound keeps its pitch; gaps in the sound
// are silence. The movie is written beside the destination without a name (see OutputFile) and
// takes the destination's place only when the export has succeeded.
//
// Lifetime: the completion is the worker's last touch of the session. It may destroy the
// session (from its own thread, too); otherwise the destructor cancels and waits.
class ExportSession {
public:
    enum class Status { Unknown, Waiting, Exporting, Completed, Failed, Cancelled };

    // Null when `presetName` names no preset.
    static std::unique_ptr<ExportSession>
    exportSessionWithAsset(std::shared_ptr<const Composition> composition,
                           const std::string& presetName);

    ExportSession(std::shared_ptr<const Composition> composition, const ExportPreset& preset);
    // Cancels a running export and waits for its threads.
    ~ExportSession();
    ExportSession(const ExportSession&) = delete;
    ExportSession& operator=(const ExportSession&) = delete;

    const std::string& presetName() const { return m_preset.name; }
    const std::vector<FileType>& supportedFileTypes() const { return m_preset.fileTypes; }

    // The part of the composition to export; an invalid range exports all of it.
    void setTimeRange(const MediaTimeRange& range) { m_timeRange = range; }
    MediaTimeRange timeRange() const { return m_timeRange; }
    void setOutputFileType(FileType type) { m_outputFileType = type; }
    FileType outputFileType() const { return m_outputFileType; }
    void setOutputURL(const std::string& path) { m_outputPath = path; }
    const std::string& outputURL() const { return m_outputPath; }

    // Starts the export. `completion` is called once, on a worker thread (here, when no thread
    // can be started), when the export has ended in any way, and may destroy the session.
    // Calling it again does nothing.
    void exportAsynchronouslyWithCompletionHandler(std::function<void()> completion);
    // Stops a running export promptly; it then ends as cancelled.
    void cancelExport();
    // Blocks until the export has ended and its completion has returned. Not for the interface
    // thread.
    void waitUntilFinished();

    // 0.0 to 1.0; only rises.
    float progress() const { return m_progress.load(); }
    Status status() const { return m_status.load(); }
    // How the export ended, once it has: succeeded, stopped (cancelled) or failed, with the
    // failure's code and message.
    StageOutcome outcome() const;
    // Why a failed export failed; empty otherwise.
    std::string error() const;
    // What the user should know about a successful export, empty when nothing: a damaged
    // source ends the movie where its readable part ends ("clip.mp4 is damaged: readable up to
    // 7.35 s of 20.00 s").
    std::string warning() const;

private:
    // What `waitUntilFinished` waits on; shared with the worker, so that it outlives a session
    // destroyed by its own completion.
    struct Ending {
        std::mutex mutex;
        std::condition_variable signal;
        bool finished = false;
    };

    void run();
    StageOutcome writeMovie();
    // Keeps the outcome and the status it gives.
    void settle(const StageOutcome& outcome);
    void end();
    void raiseProgress(float value);

    std::shared_ptr<const Composition> m_composition;
    ExportPreset m_preset;
    MediaTimeRange m_timeRange;
    FileType m_outputFileType = FileType::QuickTimeMovie;
    std::string m_outputPath;

    std::function<void()> m_completion;
    std::atomic<Status> m_status{Status::Unknown};
    std::atomic<float> m_progress{0.0f};
    std::atomic<bool> m_cancelled{false};
    mutable std::mutex m_outcomeMutex;
    StageOutcome m_outcome;
    std::shared_ptr<Ending> m_ending = std::make_shared<Ending>();
    std::thread m_worker;
};

} // namespace lento
