#pragma once

#include "media/Composition.h"
#include "media/ExportPresets.h"
#include "media/MediaTime.h"

#include <atomic>
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
// are silence. The movie is written next to the destination under a temporary name and moved
// over the destination only when the export has succeeded.
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

    // Starts the export. `completion` is called once, on a worker thread, when the export has
    // ended in any way. Calling it again while an export runs does nothing.
    void exportAsynchronouslyWithCompletionHandler(std::function<void()> completion);
    // Stops a running export promptly; it then ends as cancelled.
    void cancelExport();
    // Blocks until the export has ended and its completion has returned. Not for the interface
    // thread.
    void waitUntilFinished();

    // 0.0 to 1.0; only rises.
    float progress() const { return m_progress.load(); }
    Status status() const { return m_status.load(); }
    // How a failed export failed; empty otherwise.
    std::string error() const;
    // What the user should know about a successful export, empty when nothing: a damaged
    // source ends the movie where its readable part ends ("clip.mp4 is damaged: readable up to
    // 7.35 s of 20.00 s").
    std::string warning() const;

private:
    void run();
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
    std::atomic<bool> m_finished{false};
    mutable std::mutex m_errorMutex;
    std::string m_error;
    std::thread m_worker;
};

} // namespace lento
